#pragma once

#include <cstdint>
#include <optional>

#include "support/bbox.h"
#include "support/lattice_block.h"

namespace karvex {

class WorkerPool;
class RunHooks;
struct ExtractTimings;

// The deepest octree level: the lattice coordinates of a cell at that depth
// still fit 32 bits.
inline constexpr std::int64_t kDeepestDepth = 31;
// A finest cell must span at least this many float64 steps at the cube's
// coordinates: below it, vertices placed inside a cell and crossings found
// along its edges collapse onto a few representable positions, and the mesh
// fills with faces of zero area.
inline constexpr double kMinCellSteps = 1024.0;

// Two normals further apart than this many degrees make a sharp feature.
inline constexpr double kDefaultSharpAngle = 30.0;

// Everything one meshing run takes, construction and extraction alike. Each
// default is declared here once; both extension modules fill this record
// from their own argument names.
struct MeshingOptions {
  // --- What the mesh is (each of these can change the result) -------------
  // Depth of the initial grid and the finest depth, 0 <= min_depth <=
  // max_depth <= kDeepestDepth (check_meshing_options). Wide and signed so
  // that the check sees the value the caller passed.
  std::int64_t min_depth = 3;
  std::int64_t max_depth = 7;
  double level = 0.0;  // the surface is field == level
  double sharp_angle = kDefaultSharpAngle;  // degrees between normals that make a bend
  // true: balance the octree after refinement (coarse where the surface is
  // flat); false: refine every surface leaf to max_depth.
  bool adaptive = false;
  // true: every connected piece is kept (unused vertices dropped, the others
  // renumbered in order); false: the largest piece only.
  bool keep_all = false;
  // Above 0: cells are collapsed while their merged quadratic error stays
  // within this distance in world units, and faces are made on minimal
  // edges; 0 (or less, or NaN): no simplification.
  double simplify = 0.0;
  // true: a min_depth cell without a sign change is kept apart from its
  // collapsed neighbours when its samples cannot rule the surface out, so
  // that refinement tests it: a feature between the samples of the initial
  // grid is then found. false: regions of the initial grid wholly on one
  // side collapse untested.
  bool find_small = false;
  // true: fewer field samples in contouring. Crossings are located by
  // regula falsi (Newton steps where the field gives gradients), their
  // normals come from four-point tetrahedral stencils or the gradient of the
  // last root-finding sample, and vertices are pulled onto the surface by
  // secant steps along one gradient estimate, only while they are off it.
  // false: eight bisection steps, central differences and three Newton
  // steps (one without gradients), the form of the low-level module.
  bool lean_sampling = false;
  // Set: mesh one tile of the cube. Only cells within kTileMargin cells of
  // their own size of the tile are split, and only the faces round edges that leave a
  // minimum corner inside the tile are made, so the tiles of a partition of
  // the cube give between them exactly the faces of the whole run, with
  // vertices computed by the same operations (uniform mode). In adaptive
  // mode the surface cells touching a seam of the partition (a plane at a
  // multiple of the tile's side) are first refined to max_depth, so that
  // the tiles agree along their seams. Simplification collapses no cell
  // touching a seam, and a tile makes the faces of the minimal edges whose
  // lower end lies in it.
  std::optional<LatticeBlock> tile;

  // --- How the run goes (none of these changes the result) ----------------
  struct Run {
    // The pool for the per-cell work of construction, balancing and
    // contouring (null: the process-wide pool). The field is only ever
    // called on the calling thread.
    WorkerPool* pool = nullptr;
    // Progress of the stages and polls for cancellation (see RunMonitor);
    // null: none, unless the caller already runs a RunMonitor of its own.
    RunHooks* hooks = nullptr;
    // Seconds per stage of the extraction, filled when not null.
    ExtractTimings* timings = nullptr;
  } run;
};

// The rules a meshing run's options and box must meet, each declared once.
enum class OptionRule : std::uint8_t {
  kBoxNotFinite,    // a corner coordinate is NaN or infinite
  kBoxFlat,         // (every_axis_positive) bbox_max <= bbox_min on `axis`
  kBoxEmpty,        // the cube has no positive side
  kBoxTooLarge,     // the corners are so far apart that the extent overflows
  kBoxInverted,     // bbox_max < bbox_min on `axis`
  kDepthRange,      // a depth outside 0..kDeepestDepth
  kDepthOrder,      // min_depth > max_depth
  kNotFinite,       // sharp_angle or level is NaN or infinite
  kAngleRange,      // (angle_within_half_turn) sharp_angle outside 0..180
  kCellsTooFine,    // (cells_resolved) finest cells below kMinCellSteps float64 steps
};

// The option a fault is about.
enum class OptionArgument : std::uint8_t {
  kBox,
  kMinDepth,
  kMaxDepth,
  kSharpAngle,
  kLevel,
};

// The first rule an options record and box break: which rule, which option,
// and the offending value (the depth or the number; the box's corners are
// the caller's own). axis is 0, 1 or 2 for the per-axis box rules, else -1.
struct OptionFault {
  OptionRule rule;
  OptionArgument argument;
  double value = 0.0;
  std::int64_t depth = 0;
  int axis = -1;
  // kCellsTooFine: value is the finest cell's side, depth the deepest
  // max_depth whose cells are resolved (-1: none), reach the largest
  // coordinate of the cube and step float64's spacing there.
  double reach = 0.0;
  double step = 0.0;
};

// Rules beyond the ones every run needs, which a caller can ask for.
struct StrictRules {
  // Refuse a box that is flat or reversed on any axis (without it a flat
  // axis is allowed: the cube takes its side from the others).
  bool every_axis_positive = false;
  // Refuse a sharp_angle outside 0..180 degrees.
  bool angle_within_half_turn = false;
  // Refuse a box whose finest cells span fewer than kMinCellSteps float64
  // steps at the cube's largest coordinate.
  bool cells_resolved = false;
};

// Checks the box, then min_depth and max_depth against kDeepestDepth, their
// order, (cells_resolved) the finest cells against float64's resolution,
// then sharp_angle and level, and returns the first fault (nullopt:
// the run may start). The box rules go: every coordinate finite; with
// every_axis_positive, max > min on every axis; a cube of positive side (so
// a box reversed on every axis is called empty); an extent that is a finite
// number; max not below min on any axis.
std::optional<OptionFault> check_meshing_options(const MeshingOptions& options, const BBox& box,
                                                 StrictRules strict = {});

// A simplification tolerance the caller gave is a positive finite distance.
bool is_tolerance(double value);

}  // namespace karvex
