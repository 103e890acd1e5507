#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "dc/vertex_placement.h"
#include "field/field.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/unfilled_allocator.h"
#include "support/vec3.h"

namespace karvex {

// Points per vertex the projection asked the field for, per round.
struct ProjectionCount {
  std::uint64_t samples = 0;
  int rounds = 0;
};

// Pulls the vertices onto the level set iso_value of the octree, sampling
// only the vertices still off it. The first round samples every vertex.
//
// When the field returns gradients, each round is a Newton step
// x <- x - ((f(x) - iso) / |g|^2) g clamped into the vertex's box; a vertex
// stops when |f - iso| <= tolerance * |g| (it stays where it was sampled) or
// after a step shorter than the stop step (taken unsampled: Newton's error
// after it is of the order of its square), at most three rounds.
//
// Without gradients a vertex moves on the line through it along `guides[i]`
// (an estimate of the gradient there, typically the mean of its slot's
// crossing gradients; a zero or non-finite guide is replaced by the
// tetrahedral estimate at the vertex, one field call for all such). The
// first step is Newton's with the guide's length as slope, the later ones
// secants through the last two samples on the line, each clamped into the
// box; a vertex stops when its sample is within tolerance (as above, with
// the guide's length) or after a step shorter than the stop step, at most
// six rounds; it ends at its best sample (least |f - iso|) unless the last
// step was the short one.
//
// tolerance is 1e-10 * tree.size, and so is the stop step. A vertex with no usable slope keeps its position. Field errors
// propagate; short values or gradients fail with the index-out-of-bounds
// invariant failure, a crossed or NaN box with the clamp failure.
ProjectionCount project_vertices_lean(WorkerPool& pool, Field& field, std::vector<Vec3>& positions,
                                      std::vector<VertexBox> boxes, UnfilledVector<Vec3> guides,
                                      const Octree& tree);

// Vertices projected together by the sliced form: its scratch arrays and
// field batches are a few megabytes.
inline constexpr std::size_t kProjectionSlice = std::size_t{1} << 14;

// Writes the clamp boxes of vertices [first, first + out.size()).
using SliceBoxes = std::function<void(std::size_t first, std::span<VertexBox> out)>;

// project_vertices_lean a slice of `slice` (at least 1) vertices at a time,
// for a pointwise field (Field::pointwise): each slice's boxes are made by
// `boxes` when it starts and its rounds are field calls on its own
// vertices, so no box, scratch array or batch exists for every vertex at
// once, and a field that answers each point alone gives the same positions.
// Empty `guides` stand for zero guides (used only by a field without
// gradients). The samples add up over the slices; the rounds are the most
// any slice took.
ProjectionCount project_vertices_lean_in_slices(WorkerPool& pool, Field& field,
                                                std::vector<Vec3>& positions,
                                                const SliceBoxes& boxes, UnfilledVector<Vec3> guides,
                                                const Octree& tree,
                                                std::size_t slice = kProjectionSlice);

}  // namespace karvex
