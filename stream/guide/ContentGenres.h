#pragma once
// Names of the content descriptor's genres as EN 300 468 (table 28) gives
// them, for the guide's categories.

#include <cstdint>

// The name of content nibbles (level 1 << 4 | level 2): level 2's own name,
// else level 1's general one; null for undefined, special characteristics
// and user-defined values, which name no genre.
const char* ContentGenreName(uint8_t nibbles);
