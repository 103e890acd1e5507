#pragma once

#include <array>
#include <cstdint>

namespace karvex {

// Cell codes interleave the three coordinates' bits of a cell at max_depth
// (x lowest, 21 bits per coordinate), so sorted codes are the depth-first
// order of the tree, octant by octant.

// Every third bit of x, from the lowest, gathered into the low 21 bits.
inline std::uint32_t gather_code_bits(std::uint64_t x) {
  x &= 0x1249249249249249ULL;
  x = (x | x >> 2) & 0x10c30c30c30c30c3ULL;
  x = (x | x >> 4) & 0x100f00f00f00f00fULL;
  x = (x | x >> 8) & 0x1f0000ff0000ffULL;
  x = (x | x >> 16) & 0x1f00000000ffffULL;
  x = (x | x >> 32) & 0x1fffffULL;
  return static_cast<std::uint32_t>(x);
}

// The coordinates of a code.
inline std::array<std::uint32_t, 3> decode_cell_code(std::uint64_t code) {
  return {gather_code_bits(code), gather_code_bits(code >> 1), gather_code_bits(code >> 2)};
}

}  // namespace karvex
