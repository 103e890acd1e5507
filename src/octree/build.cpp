#include "octree/build.h"

namespace karvex {

// Placeholder until construction lands.
BuildResult build_octree(Field&, const BBox& box, const BuildOptions& options) {
  return {make_octree(box, options.min_depth, options.max_depth, options.iso_value), 0};
}

}  // namespace karvex
