#pragma once

#include <cstdint>

namespace karvex {

// One collapse the edge collapse may try: vertex `a` moved onto its
// neighbour `b` at `cost` (quadric error), with the change counts of both
// ends' costs (their quadrics and places) when it was costed. It is current
// while neither has changed since; otherwise a newer entry for the edge has
// been pushed, or the edge is gone.
struct CollapseCandidate {
  double cost = 0.0;
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::uint32_t version_a = 0;
  std::uint32_t version_b = 0;
};

}  // namespace karvex
