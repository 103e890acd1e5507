#pragma once

#include <vector>

#include "dc/qef.h"
#include "dc/simplify.h"
#include "field/field.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/vec3.h"

namespace karvex {

// simplify_cells, with every collapse checked against the field itself.
//
// The merge test of simplify_cells bounds a collapsed vertex against the
// tangent planes at its cell's crossings. On a curved surface that is not
// enough: two leaves on a rounded edge give two planes that meet in a line
// off the surface, with no error at all. So each collapsed cell is then
// sampled, one field call for all of them (but those that passed in an
// earlier pass, which pass again: passed_checks.h):
//  - its vertex must lie within `tolerance` of the surface (|f - iso| / |g|)
//    beyond the farthest of its children's vertices, which are off the
//    surface by what solving left before projection; its projection box
//    becomes that reach per axis around it, enough for Newton steps to
//    take it onto the surface and no more;
//  - for each child's vertex at least a quarter side away, the sag of the
//    chord to it (the distance at its midpoint less the mean of the
//    distances at its ends) times (side / l)^2, l the chord's length, must
//    be within `tolerance`: a chord's sag grows with its length squared,
//    and the collapsed vertex's triangles reach about `side` across.
// When every collapsed cell passes, the triangles of the simplified cells
// (at the vertices before projection) are checked: a collapsed cell is
// refused when its vertex is not one fan of triangles or next to a kept
// vertex that is not, the largest collapsed cells are refused whose
// triangles pass through others (the exact test of validity/, on the
// vertices before projection), and the
// largest collapsed cell of a triangle whose edges' midpoints or centroid
// lie farther than `tolerance` from the surface beyond its corners' mean. A cell that
// fails is refused and the collapse is run again, keeping its children;
// that repeats until every collapsed cell passes every check. Should the
// result then differ from the unsimplified triangles in Euler
// characteristic or pieces (a handle closed or a piece dropped, which no
// check of a single cell sees), the collapse is run again with Ju's sign
// test alone (simplify_cells without `oblique`), whose collapses keep the
// topology. Last, the vertices are projected and the fold test runs again
// on the triangles made there (vertices that a crease pins down lie along
// it only once projected, and a fold beside it may clear its neighbour
// before by no more than what solving left); a refusal there starts the
// checks again. Gradients are the field's, or central differences
// with step gradient_step(tree) when it returns none. A point whose gradient
// is zero or not finite fails. The result is the one simplify_cells gives
// for the final set of refusals, so it stays independent of workers; when
// anything collapsed, its vertices are already projected (`projected`).
SimplifiedCells simplify_within_tolerance(WorkerPool& pool, Field& field, const Octree& tree,
                                          const std::vector<SurfaceCell>& cells,
                                          const VertexSlots& slots, const std::vector<Qef>& qefs,
                                          const std::vector<VertexSolution>& solutions,
                                          double tolerance);

}  // namespace karvex
