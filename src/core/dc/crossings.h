#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/surface_cells.h"
#include "field/field.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/bbox.h"
#include "support/unfilled_allocator.h"
#include "support/vec3.h"

namespace karvex {

struct SharedCrossings;

// A sign-changing cube edge of one surface cell, by reference: its cell, its
// edge and the group of the endpoint whose mask bit is set, in 8 bytes. An
// edge shared by several cells gives one crossing per cell; crossings are
// never merged, but those that are the same edge are located once
// (shared_crossings.h). The corners, the value at u and so every point on the edge
// follow from the cell (crossing_point). Extraction keeps millions of crossings through
// several passes over them, and their memory traffic is what those passes
// cost.
struct CrossingRef {
  std::uint32_t cell = 0;
  std::uint8_t edge = 0;
  std::uint8_t component = 0;
  bool below_at_u = false;  // values[u] - iso_value < 0: the bisection's sign test
};

// The crossings of an extraction, in crossing order. Sized without being
// filled: whoever sizes it writes every element (find_crossing_refs does).
using CrossingRefs = UnfilledVector<CrossingRef>;

// Per sign mask, bit j set when edge j changes sign: its ends' bits in the
// mask differ.
inline constexpr std::array<std::uint16_t, 256> kCrossingEdges = [] {
  std::array<std::uint16_t, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    for (unsigned j = 0; j < CUBE_EDGES.size(); ++j) {
      const CubeEdge& e = CUBE_EDGES[j];
      if (((mask >> e.u) & 1u) != ((mask >> e.v) & 1u)) {
        table[mask] = static_cast<std::uint16_t>(table[mask] | (1u << j));
      }
    }
  }
  return table;
}();

// The sign-changing edges of a cell with this sign mask (kCrossingEdges):
// the passes over millions of cells ask for them once per cell.
inline std::uint16_t crossing_edges(std::uint8_t sign_mask) { return kCrossingEdges[sign_mask]; }

// Per sign mask and cube edge j, how many of the mask's sign-changing edges
// come before j; at j = 12, how many it has in all. Read instead of counting
// the bits of kCrossingEdges: the build targets no particular processor, so
// a count of bits is a library call, and the passes over the cells ask for
// it once or more per cell.
inline constexpr std::array<std::array<std::uint8_t, 13>, 256> kCrossingRanks = [] {
  std::array<std::array<std::uint8_t, 13>, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    for (unsigned j = 0; j < 12; ++j) {
      table[mask][j + 1] =
          static_cast<std::uint8_t>(table[mask][j] + ((kCrossingEdges[mask] >> j) & 1u));
    }
  }
  return table;
}();

// The number of sign-changing edges of a cell with this sign mask.
inline unsigned crossing_count(std::uint8_t sign_mask) { return kCrossingRanks[sign_mask][12]; }

// The place of edge `edge`'s crossing among the crossings of a cell with
// this sign mask (listed by edge number), when that edge changes sign.
inline unsigned crossing_rank(std::uint8_t sign_mask, unsigned edge) {
  return kCrossingRanks[sign_mask][edge];
}

// The crossing of sign-changing edge `edge` of cell `cell`, whose sign mask
// is `sign_mask`: the group of the endpoint that is below the level. f_u < 0,
// with f_u = values[u] - iso_value, is mask bit u: for a finite level the
// difference is negative exactly when values[u] < iso_value (it is never
// rounded to zero, and NaN stays not below).
inline CrossingRef crossing_of_edge(std::uint32_t cell, std::uint8_t sign_mask,
                                    std::uint8_t edge) {
  const CubeEdge& e = CUBE_EDGES[edge];
  const bool below_u = ((sign_mask >> e.u) & 1u) != 0;
  return {cell, edge, COMPONENT_TABLE[sign_mask][below_u ? e.u : e.v], below_u};
}

// Every sign-changing edge of every cell, ordered by cell index and within a
// cell by edge number: the crossing order of every later array. An edge
// crosses when (values[u] < iso_value) differs from (values[v] < iso_value)
// for the cell's corner values, which its sign mask tells (a NaN value
// counts as not below); the level is finite. Runs on `pool`. More than
// 2^32 - 1 cells is an invariant failure.
CrossingRefs find_crossing_refs(WorkerPool& pool, const std::vector<SurfaceCell>& cells);

// The point at parameter t of the edge from p_u to p_v: (p_v - p_u) * t + p_u
// per axis, in that order.
inline Vec3 edge_point(const Vec3& p_u, const Vec3& p_v, double t) {
  return {(p_v.x - p_u.x) * t + p_u.x, (p_v.y - p_u.y) * t + p_u.y, (p_v.z - p_u.z) * t + p_u.z};
}

// The point at parameter t of a crossing's edge, its corners placed from the
// cell.
inline Vec3 crossing_point(const SurfaceCell& cell, const CrossingRef& c, double t) {
  const CubeEdge& e = CUBE_EDGES[c.edge];
  return edge_point(cell.corner(e.u), cell.corner(e.v), t);
}

// Locates the surface on every crossing by eight bisection steps, each one
// field call with all crossings in order (found with the same iso_value):
// starts at the midpoint of the edge and keeps the half whose ends differ in
// sign (NaN counts as not below). Returns, per crossing, the final bracket's
// lower end in units of 1/256 of the edge: the located point, the midpoint of
// that bracket, is crossing_point(cell, c, located_parameter(lower end)); it
// is not evaluated. Field errors propagate; too few values fail with the
// index-out-of-bounds invariant failure.
std::vector<std::uint8_t> locate_crossing_refs(Field& field,
                                               const CrossingRefs& crossings,
                                               const std::vector<SurfaceCell>& cells,
                                               double iso_value);

// The same for crossings that share (shared_crossings.h): each batch holds
// one point per distinct crossing, that of its first crossing, in the order
// of the distinct crossings, and the result has one lower end per distinct
// crossing. Too few values fail as above, counting distinct crossings. The
// points are written and the values read on `pool`.
std::vector<std::uint8_t> locate_crossing_refs(WorkerPool& pool, Field& field,
                                               const CrossingRefs& crossings,
                                               const SharedCrossings& shared,
                                               const std::vector<SurfaceCell>& cells,
                                               double iso_value);

// The edge parameter of the located point: the midpoint of the final bracket
// [lower, lower + 1] / 256, exactly as (lo + hi) * 0.5 computes it.
inline double located_parameter(std::uint8_t lower) {
  return static_cast<double>(2u * lower + 1u) * (1.0 / 512.0);
}

// The unit normal of a gradient whose length is not a finite double (see
// normal_from_gradient); every component is a number or an infinity, none NaN.
Vec3 normal_from_unbounded_gradient(const Vec3& g);

// The unit normal of one gradient: g / |g|, or (0, 0, 1) for a gradient no
// longer than 1e-12 (or with a NaN component). When |g| overflows (a
// component infinite, or the squares beyond the largest double), dividing by
// it would give zeros or NaN; the gradient is then scaled by its largest
// component magnitude before normalising, and infinite components stand for
// their sign (normal_from_unbounded_gradient). Every result is finite.
inline Vec3 normal_from_gradient(const Vec3& g) {
  const double length = std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z);
  if (std::isinf(length)) return normal_from_unbounded_gradient(g);
  return length > 1e-12 ? Vec3{g.x / length, g.y / length, g.z / length} : Vec3{0.0, 0.0, 1.0};
}

// The finite-difference step of extraction: (size / 2^max_depth) * 0.01,
// 2^max_depth formed as a 32-bit unsigned integer.
double gradient_step(const Octree& tree);

}  // namespace karvex
