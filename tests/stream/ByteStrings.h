#pragma once
// Byte strings for the tests that cut a stream into the host's blocks, and
// the seed of their random cases.

#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <vector>

namespace bytes {

using Bytes = std::vector<unsigned char>;

inline Bytes Slice(const Bytes& bytes, size_t from, size_t length)
{
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + length));
}

inline Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Base seed of the random tests: `fallback` unless TOVRIN_TEST_SEED replays
// another run.
inline unsigned BaseSeed(unsigned fallback)
{
    const char* text = std::getenv("TOVRIN_TEST_SEED");
    return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

}  // namespace bytes
