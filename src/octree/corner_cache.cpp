#include "octree/corner_cache.h"

namespace karvex {
// Filled in with construction.
}  // namespace karvex
