#pragma once
// SHA-1 (FIPS 180-4) of a short text, for name-based UUIDs (RFC 4122 4.3):
// never for anything that must resist an attacker.

#include <cstddef>
#include <cstdint>

constexpr size_t kSha1DigestSize = 20;

class CSha1
{
public:
    void Add(const void* data, size_t length);
    // The digest of everything added; the object is spent afterwards.
    void Finish(uint8_t digest[kSha1DigestSize]);

private:
    void Block(const uint8_t* block);

    uint32_t m_State[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    uint8_t m_Pending[64] = {};  // bytes of the block being filled
    size_t m_nPending = 0;
    uint64_t m_nTotal = 0;       // bytes added
};
