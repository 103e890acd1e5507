#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dc/cell_corner_values.h"
#include "dc/crossings.h"
#include "dc/edge_normals.h"
#include "dc/shared_crossings.h"
#include "dc/surface_cells.h"
#include "field/field.h"
#include "pool/worker_pool.h"
#include "support/vec3.h"

namespace karvex {

// The accuracy the root finding guarantees, in units of the edge: the
// located parameter lies within this distance of a parameter where the
// field's sign changes (half of 1/256, the bound of eight bisection steps).
inline constexpr double kRootTolerance = 1.0 / 512.0;

// The search on one edge, parameter t in [0, 1]: a bracket [a, b] whose ends'
// values (field minus level) differ in sign, narrowed by Anderson-Bjorck
// regula falsi, Newton steps where a sample came with a derivative, and
// bisection when two steps in a row did not halve the bracket. A proposed
// point is kept at least kRootTolerance / 2 inside the bracket, so that a
// point landing close to the root closes the bracket on the next sample.
// NaN counts as not below, as in every sign test of contouring.
struct EdgeRootSearch {
  double a = 0.0, b = 1.0;    // the bracket
  double fa = 0.0, fb = 0.0;  // its ends' values, fa scaled by Anderson-Bjorck
  double ra = 0.0, rb = 0.0;  // its ends' values as sampled (never scaled)
  double t = 0.5;             // the last sample (or the located point when done)
  double newton = 0.0;        // the Newton target from the last sample (NaN: none)
  double reference = 1.0;     // the bracket width the next halving is measured against
  // The small fields last, packed (one search per distinct crossing, held
  // through every round: 80 bytes instead of 88).
  bool below_a = false;       // fa < 0 at the start: the sign test of end a
  std::uint8_t stalls = 0;    // samples since the bracket last halved
  std::int8_t side = 0;       // which end the last sample replaced: -1 a, +1 b
  bool done = false;
  bool hit_zero = false;      // done on a sample whose value was exactly zero

  // Starts on an edge whose ends have values fa, fb (of different sign).
  static EdgeRootSearch start(double fa, double fb);
  // The next parameter to sample; only when not done.
  double propose() const;
  // Takes the sample f (field minus level) at t = propose(). `slope`, when
  // finite, is df/dt there (a gradient dotted with the edge). Sets done when
  // the located point is known: then t is it (for a search with slopes, the
  // last sample, whose gradient is the normal there).
  void take(double t_sampled, double f, double slope);
  // The located parameter once done: for a search without slopes the
  // regula falsi point of the final bracket (not sampled).
  double located() const { return t; }
  // Once done without slopes, df/dt at the located point and the value
  // there, from what the search sampled: on a bracket at most kRootTolerance
  // wide the secant through its ends; where a sample hit zero inside a wider
  // bracket, the parabola through the ends and that sample, when the slopes
  // of the two halves agree to 1e-6 (the field is linear along the edge, as
  // on a plane, where the regula falsi point lands on the root exactly).
  // False otherwise (a curved field hit exactly, or a search that ran out of
  // rounds, leaves a wide bracket that gives no slope at the point).
  bool slope_at_located(double& slope, double& value) const;
};

// The crossings located: one parameter per distinct crossing and, when the
// field returned gradients with its last sample there, that gradient;
// otherwise, when its final bracket is narrow, the slope df/dt across it and
// the value (field minus level) at t on the secant through its ends, which
// give the normal its component along the edge without another sample.
struct EdgeRoots {
  std::vector<double> t;
  std::vector<double> slope;            // per distinct crossing, NaN when none
  std::vector<double> value;            // per distinct crossing, with slope
  std::vector<Vec3> gradients;          // per distinct crossing, when has_gradient
  std::vector<std::uint8_t> has_gradient;
  std::uint64_t samples = 0;            // points the field was asked for
  // Set by locate_edge_roots_in_slices when the field's answers came with
  // gradients.
  bool sampled_gradients = false;
};

// The search of crossing `c` (of `cells`) from its cell's corner `values`.
EdgeRootSearch start_edge_search(const CrossingRef& c, const std::vector<SurfaceCell>& cells,
                                 const CellCornerValues& values, double iso_value);

// The rounds of the root search for `search`, search i on crossing
// `edges[i]` (of `cells`): each round is one field call on the points the
// unfinished ones propose, in their order, written and read on `pool`, each
// search on its own; at most 64 rounds. Where a round's answer carries
// gradients, a search's gradient and its has_gradient flag (indexed like
// `search`) are set, else the flag is cleared. Returns the points the field
// was asked for. Errors as for locate_edge_roots.
std::uint64_t run_root_rounds(WorkerPool& pool, Field& field, std::span<const CrossingRef> edges,
                              const std::vector<SurfaceCell>& cells,
                              std::span<EdgeRootSearch> search, double iso_value,
                              std::span<Vec3> gradients, std::span<std::uint8_t> has_gradient);

// What a search leaves for its crossing (EdgeRoots' fields): the located
// parameter (the bracket's midpoint for a search still open), the flag
// cleared when open, and the slope and value (NaN unless it has no
// gradient and slope_at_located gives them).
void finish_root(const EdgeRootSearch& s, double& t, std::uint8_t& has_gradient, double& slope,
                 double& value);

// The query estimate_edge_normals takes for crossing `c` of `cell` located
// at parameter t, with what its search left (finish_root).
EdgeNormalQuery edge_normal_query(const SurfaceCell& cell, const CrossingRef& c, double t,
                                  double slope, double value);

// Locates the surface on every distinct crossing (shared_crossings.h) by
// EdgeRootSearch: each round is one field call on the unfinished crossings'
// proposed points, in order of distinct crossing; the points are written and
// the values read on `pool`, each crossing on its own (no dependence on the
// worker count). The searches start from the cells' corner `values`, which
// are taken and freed once every search has started (before the first field
// call). Field errors propagate; too few values or gradient rows fail with
// the index-out-of-bounds invariant failure.
EdgeRoots locate_edge_roots(WorkerPool& pool, Field& field,
                            const CrossingRefs& crossings,
                            const SharedCrossings& shared, const std::vector<SurfaceCell>& cells,
                            CellCornerValues values, double iso_value);

}  // namespace karvex
