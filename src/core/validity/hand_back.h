#pragma once

// The validity steps over a large mesh free tables of tens of megabytes when
// they return (vertex stars, the pair sweep's slices, the relaxation's
// region). Carved from the heaps, those pages would stay resident under the
// next step's own tables, or under the caller's arrays: they are handed back
// as each step returns. The walk over the heaps costs about half a
// millisecond, so smaller meshes, whose tables are a few megabytes, skip it.

#include <cstddef>

#include "platform/platform.h"

namespace karvex::validity {

// Triangles from which a step's freed tables are handed back: about 20 MB
// of tables at 40 bytes a triangle.
constexpr std::size_t kHandBackFaces = std::size_t{1} << 19;

inline void hand_back_freed(std::size_t face_count) noexcept {
  if (face_count >= kHandBackFaces) platform::release_free_memory();
}

}  // namespace karvex::validity
