#include "http/NetworkAllowList.h"

namespace {

constexpr uint32_t Mask(int prefixLength)
{
    return prefixLength == 0 ? 0u : 0xFFFFFFFFu << (32 - prefixLength);
}

template <class Char>
bool IsBlank(Char c)
{
    return c == ' ' || c == '\t';
}

template <class Char>
bool IsDigit(Char c)
{
    return c >= '0' && c <= '9';
}

// A decimal number of 1..maxDigits digits without a leading zero (so that
// no reader could take "010" for octal), at most `high`.
template <class Char>
bool ReadNumber(const Char*& at, const Char* end, int maxDigits, uint32_t high, uint32_t& value)
{
    const Char* begin = at;
    value = 0;
    while (at < end && IsDigit(*at) && at - begin < maxDigits)
        value = value * 10 + static_cast<uint32_t>(*at++ - '0');
    const long digits = static_cast<long>(at - begin);
    if (digits == 0 || (digits > 1 && *begin == '0') || value > high)
        return false;
    return at == end || !IsDigit(*at);
}

// "a.b.c.d" or "a.b.c.d/len" filling exactly [begin, end).
template <class Char>
bool ReadNetwork(const Char* begin, const Char* end, uint32_t& address, uint32_t& mask)
{
    const Char* at = begin;
    address = 0;
    for (int part = 0; part < 4; ++part)
    {
        uint32_t octet;
        if (part > 0 && (at == end || *at++ != '.'))
            return false;
        if (!ReadNumber(at, end, 3, 255, octet))
            return false;
        address = address << 8 | octet;
    }
    uint32_t prefixLength = 32;
    if (at < end && *at == '/')
    {
        ++at;
        if (!ReadNumber(at, end, 2, 32, prefixLength))
            return false;
    }
    if (at != end)
        return false;
    mask = Mask(static_cast<int>(prefixLength));
    address &= mask;
    return true;
}

} // namespace

CNetworkAllowList::CNetworkAllowList()
{
    static const struct
    {
        uint32_t Address;
        int PrefixLength;
    } kPrivateNetworks[] = {
        {0x7F000000u, 8},  // 127.0.0.0/8 loopback
        {0x0A000000u, 8},  // 10.0.0.0/8
        {0xAC100000u, 12}, // 172.16.0.0/12
        {0xC0A80000u, 16}, // 192.168.0.0/16
        {0xA9FE0000u, 16}, // 169.254.0.0/16 link-local
    };
    for (const auto& network : kPrivateNetworks)
        m_Networks[m_nNetworks++] = {network.Address, Mask(network.PrefixLength)};
}

template <class Char>
int CNetworkAllowList::ParseText(const Char* text)
{
    m_nNetworks = 0;
    int skipped = 0;
    if (text == nullptr)
        return 0;
    const Char* entry = text;
    for (;;)
    {
        const Char* end = entry;
        while (*end != 0 && *end != ',')
            ++end;
        const Char* begin = entry;
        const Char* last = end;
        while (begin < last && IsBlank(*begin))
            ++begin;
        while (last > begin && IsBlank(last[-1]))
            --last;
        if (begin < last)
        {
            uint32_t address, mask;
            if (m_nNetworks < kMaxAllowedNetworks && ReadNetwork(begin, last, address, mask))
                m_Networks[m_nNetworks++] = {address, mask};
            else
                ++skipped;
        }
        if (*end == 0)
            break;
        entry = end + 1;
    }
    return skipped;
}

int CNetworkAllowList::Parse(const char* text) { return ParseText(text); }
int CNetworkAllowList::Parse(const wchar_t* text) { return ParseText(text); }

bool CNetworkAllowList::Contains(uint32_t address) const
{
    for (int i = 0; i < m_nNetworks; ++i)
        if ((address & m_Networks[i].Mask) == m_Networks[i].Address)
            return true;
    return false;
}
