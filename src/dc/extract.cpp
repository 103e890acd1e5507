#include "dc/extract.h"

namespace karvex {

// Placeholder until dual contouring lands.
Mesh extract_surface(const Octree&, Field&, double) { return {}; }

}  // namespace karvex
