#include "discovery/Sha1.h"

#include <cstring>

namespace {
uint32_t Rotate(uint32_t value, int bits)
{
    return value << bits | value >> (32 - bits);
}
} // namespace

void CSha1::Block(const uint8_t* block)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = m_State[0], b = m_State[1], c = m_State[2], d = m_State[3], e = m_State[4];
    for (int i = 0; i < 80; ++i)
    {
        uint32_t f, k;
        if (i < 20)
            f = (b & c) | (~b & d), k = 0x5A827999u;
        else if (i < 40)
            f = b ^ c ^ d, k = 0x6ED9EBA1u;
        else if (i < 60)
            f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDCu;
        else
            f = b ^ c ^ d, k = 0xCA62C1D6u;
        const uint32_t next = Rotate(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = Rotate(b, 30);
        b = a;
        a = next;
    }
    m_State[0] += a;
    m_State[1] += b;
    m_State[2] += c;
    m_State[3] += d;
    m_State[4] += e;
}

void CSha1::Add(const void* data, size_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    m_nTotal += length;
    while (length > 0)
    {
        const size_t take = length < sizeof m_Pending - m_nPending ? length : sizeof m_Pending - m_nPending;
        std::memcpy(m_Pending + m_nPending, bytes, take);
        m_nPending += take;
        bytes += take;
        length -= take;
        if (m_nPending == sizeof m_Pending)
        {
            Block(m_Pending);
            m_nPending = 0;
        }
    }
}

void CSha1::Finish(uint8_t digest[kSha1DigestSize])
{
    const uint64_t bits = m_nTotal * 8;
    const uint8_t one = 0x80;
    Add(&one, 1);
    const uint8_t zero = 0;
    while (m_nPending != 56)
        Add(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Add(length, sizeof length);
    for (int i = 0; i < 20; ++i)
        digest[i] = static_cast<uint8_t>(m_State[i / 4] >> (24 - 8 * (i % 4)));
}
