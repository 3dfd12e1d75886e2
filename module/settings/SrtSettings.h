#pragma once
// What an SRT output is set to: who connects (it calls a receiver, or
// receivers call it), its passphrase and key length, the latency and the
// stream ID, as an Output key's words give them:
//
//   Output5=203.0.113.7:9000 protocol=srt mode=caller passphrase=... pbkeylen=32 latency=400
//   Output6=0.0.0.0:9000 protocol=srt mode=listener streamid=#!::r=live/tv,m=publish
//
// The texts are printable ASCII without blanks (the key's words are
// separated by blanks), so that the 8-bit and the wide INI read them alike
// and libsrt gets the bytes the user typed. The passphrase is never quoted
// in a reason: reasons go to the log. Portable, for the sanitizers and the
// fuzzer.

#include <cstdint>

enum class ESrtMode : int32_t
{
    None,      // not an SRT output
    Caller,    // connects to a listener at the address
    Listener,  // receivers connect to it at the address (0.0.0.0: every adapter)
};

// libsrt's bounds for a passphrase (SRTO_PASSPHRASE).
constexpr int kMinSrtPassphrase = 10;
constexpr int kMaxSrtPassphrase = 79;
// The stream ID a media server reads ("#!::r=live/tv,m=publish"); libsrt
// takes up to 512, a key's line has room for this many.
constexpr int kMaxSrtStreamId = 128;
// Receive latency (SRTO_LATENCY) in ms: libsrt's default, and the range taken.
constexpr int32_t kDefaultSrtLatency = 120;
constexpr int32_t kMinSrtLatency = 20;
constexpr int32_t kMaxSrtLatency = 8000;
// AES key length in bytes when a passphrase is given and pbkeylen is not.
constexpr int32_t kDefaultSrtKeyLength = 16;

struct SSrtSettings
{
    ESrtMode Mode = ESrtMode::None;
    char Passphrase[kMaxSrtPassphrase + 1] = {};  // empty: no encryption
    int32_t KeyLength = 0;                        // 16, 24 or 32 with a passphrase; 0 without
    int32_t Latency = kDefaultSrtLatency;         // ms
    char StreamId[kMaxSrtStreamId + 1] = {};      // empty: none
};

namespace SrtText
{
// `begin`..`end` as printable ASCII without blanks into `out` (capacity
// `high` characters and a terminator); false when it does not fit or holds
// anything else.
template <class Char>
bool CopyPrintable(const Char* begin, const Char* end, char* out, int high)
{
    if (end - begin > high)
        return false;
    int n = 0;
    for (; begin != end; ++begin)
    {
        if (*begin < 0x21 || *begin > 0x7E)
            return false;
        out[n++] = static_cast<char>(*begin);
    }
    out[n] = 0;
    return true;
}

// "caller" or "listener", lower case as the key is written.
template <class Char>
ESrtMode ParseMode(const Char* begin, const Char* end)
{
    auto is = [&](const char* word) {
        const Char* c = begin;
        for (; c != end && *word != 0; ++c, ++word)
            if (*c != static_cast<Char>(*word))
                return false;
        return c == end && *word == 0;
    };
    if (is("caller"))
        return ESrtMode::Caller;
    if (is("listener"))
        return ESrtMode::Listener;
    return ESrtMode::None;
}
}  // namespace SrtText
