#pragma once
// The IPv4 networks whose clients the HTTP server answers. Anyone else gets
// 403: a TV stream must not reach the internet because a PC has a public
// address.
//
// The text is a comma-separated list of "a.b.c.d/len" (len 0..32) or
// "a.b.c.d" (a single host, /32); blanks around entries are ignored, empty
// entries skipped. Host bits beyond the prefix are cleared ("192.168.1.7/24"
// is 192.168.1.0/24). An entry that is not such a text is skipped and
// counted: skipping only narrows the list, so a typo never lets more in.
// A text with no valid entry allows nobody (it never falls back to the
// default, which would widen what the user wrote).

#include <cstddef>
#include <cstdint>

constexpr int kMaxAllowedNetworks = 32;

class CNetworkAllowList
{
public:
    // Loopback and the private networks: 127/8, 10/8, 172.16/12,
    // 192.168/16, 169.254/16.
    CNetworkAllowList();

    // Replaces the list with the networks in `text` (NUL-terminated; char or
    // wchar_t). Returns the number of entries skipped as invalid (or beyond
    // kMaxAllowedNetworks), for the log.
    int Parse(const char* text);
    int Parse(const wchar_t* text);

    // `address` in host byte order (a.b.c.d = a<<24 | b<<16 | c<<8 | d).
    bool Contains(uint32_t address) const;

    int Count() const { return m_nNetworks; }

private:
    struct SNetwork
    {
        uint32_t Address; // host bits cleared
        uint32_t Mask;
    };
    template <class Char>
    int ParseText(const Char* text);

    SNetwork m_Networks[kMaxAllowedNetworks];
    int m_nNetworks = 0;
};
