#include "octree/balance.h"

namespace karvex {

// Placeholder until balancing lands.
std::uint64_t balance_octree(Octree&, CornerCache&, Field&) { return 0; }
std::uint64_t close_sign_changing_edges(Octree&, CornerCache&, Field&) { return 0; }

}  // namespace karvex
