#include "sap/SapAnnouncement.h"

#include <cstdio>
#include <cstring>

namespace
{
constexpr char kPayloadType[] = "application/sdp";
constexpr char kModuleName[] = "Tovrin TS Streamer";
constexpr int kSapHeaderSize = 8;
constexpr uint32_t kSapBitsPerSecond = 3000;  // RFC 2974 allows 4000 per scope

// Appends like snprintf; false once the text no longer fits.
class CText
{
public:
    CText(char* out, int capacity) : m_Out(out), m_nCapacity(capacity) {}

    template <class... Args>
    void Add(const char* format, Args... args)
    {
        if (!m_bFits)
            return;
        const int n = std::snprintf(m_Out + m_nLength, static_cast<size_t>(m_nCapacity - m_nLength), format, args...);
        if (n < 0 || n >= m_nCapacity - m_nLength)
        {
            m_bFits = false;
            return;
        }
        m_nLength += n;
    }
    int Length() const { return m_bFits ? m_nLength : 0; }

private:
    char* m_Out;
    int m_nCapacity;
    int m_nLength = 0;
    bool m_bFits = true;
};

// A text for one SDP line: cut at its end or at the first control character.
void LineText(const char* text, char (&out)[kSapTextCapacity])
{
    int i = 0;
    for (; i < kSapTextCapacity - 1 && text[i] != 0 && static_cast<unsigned char>(text[i]) >= 0x20 &&
           text[i] != 0x7F;
         ++i)
        out[i] = text[i];
    out[i] = 0;
}

uint16_t Hash16(const char* text, int length)
{
    // FNV-1a folded to 16 bits; 0 is not used, as some receivers take it for
    // "no hash".
    uint32_t h = 2166136261u;
    for (int i = 0; i < length; ++i)
        h = (h ^ static_cast<unsigned char>(text[i])) * 16777619u;
    const uint16_t folded = static_cast<uint16_t>(h ^ (h >> 16));
    return folded != 0 ? folded : 1;
}
}  // namespace

bool SapGroupFor(const uint8_t (&group)[4], uint8_t (&sapGroup)[4])
{
    if ((group[0] & 0xF0) != 0xE0)
        return false;
    static const uint8_t kLocalScope[4] = {239, 255, 255, 255};
    static const uint8_t kGlobalScope[4] = {224, 2, 127, 254};
    std::memcpy(sapGroup, group[0] == 239 && group[1] == 255 ? kLocalScope : kGlobalScope, 4);
    return true;
}

int WriteSessionDescription(const SSapSession& s, char* out, int capacity)
{
    char name[kSapTextCapacity];
    char provider[kSapTextCapacity];
    LineText(s.Name[0] != 0 ? s.Name : kModuleName, name);
    LineText(s.Provider, provider);
    const int ttl = s.Ttl > 0 ? s.Ttl : 1;  // the system's default for multicast
    CText text(out, capacity);
    text.Add("v=0\r\n");
    text.Add("o=- %lu %lu IN IP4 %u.%u.%u.%u\r\n", static_cast<unsigned long>(s.SessionId),
             static_cast<unsigned long>(s.Version), s.Origin[0], s.Origin[1], s.Origin[2], s.Origin[3]);
    text.Add("s=%s\r\n", name);
    if (provider[0] != 0)
        text.Add("i=%s\r\n", provider);
    // A TTL belongs to a multicast group only (RFC 4566 5.7): the
    // description of a unicast or broadcast output names its receiver alone.
    if ((s.Group[0] & 0xF0) == 0xE0)
        text.Add("c=IN IP4 %u.%u.%u.%u/%d\r\n", s.Group[0], s.Group[1], s.Group[2], s.Group[3], ttl);
    else
        text.Add("c=IN IP4 %u.%u.%u.%u\r\n", s.Group[0], s.Group[1], s.Group[2], s.Group[3]);
    text.Add("t=0 0\r\n");
    text.Add("a=tool:%s\r\n", kModuleName);
    if (s.Rtp)
    {
        text.Add("m=video %u RTP/AVP 33\r\n", static_cast<unsigned>(s.Port));
        text.Add("a=rtpmap:33 MP2T/90000\r\n");
    }
    else
    {
        text.Add("m=video %u udp MP2T\r\n", static_cast<unsigned>(s.Port));
    }
    if (s.Fec)
    {
        text.Add("a=x-fec-column-port:%u\r\n", static_cast<unsigned>(s.Port + 2));
        text.Add("a=x-fec-row-port:%u\r\n", static_cast<unsigned>(s.Port + 4));
    }
    return text.Length();
}

bool RenameSession(SSapSession& session, const char* name, const char* provider)
{
    char nextName[kSapTextCapacity];
    char nextProvider[kSapTextCapacity];
    std::strncpy(nextName, name, sizeof nextName - 1);
    nextName[sizeof nextName - 1] = 0;
    std::strncpy(nextProvider, provider, sizeof nextProvider - 1);
    nextProvider[sizeof nextProvider - 1] = 0;
    if (std::strcmp(nextName, session.Name) == 0 && std::strcmp(nextProvider, session.Provider) == 0)
        return false;
    std::memcpy(session.Name, nextName, sizeof nextName);
    std::memcpy(session.Provider, nextProvider, sizeof nextProvider);
    ++session.Version;
    return true;
}

int WriteSapPacket(const SSapSession& session, bool deletion, unsigned char* out, int capacity)
{
    const int head = kSapHeaderSize + static_cast<int>(sizeof kPayloadType);
    if (capacity <= head)
        return 0;
    char* sdp = reinterpret_cast<char*>(out + head);
    const int length = WriteSessionDescription(session, sdp, capacity - head);
    if (length == 0)
        return 0;
    const uint16_t hash = Hash16(sdp, length);
    out[0] = static_cast<unsigned char>(0x20 | (deletion ? 0x04 : 0));  // V=1, IPv4, T
    out[1] = 0;                                                          // no authentication
    out[2] = static_cast<unsigned char>(hash >> 8);
    out[3] = static_cast<unsigned char>(hash);
    std::memcpy(out + 4, session.Origin, 4);
    std::memcpy(out + kSapHeaderSize, kPayloadType, sizeof kPayloadType);  // with its NUL
    return head + length;
}

uint32_t SapIntervalMs(int totalBytesPerRound)
{
    if (totalBytesPerRound < 0)
        totalBytesPerRound = 0;
    const uint64_t ms = static_cast<uint64_t>(totalBytesPerRound) * 8u * 1000u / kSapBitsPerSecond;
    return ms > kSapMinIntervalMs ? static_cast<uint32_t>(ms) : kSapMinIntervalMs;
}
