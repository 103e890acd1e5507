#pragma once

#include <optional>

#include "octree/octree.h"
#include "support/bbox.h"
#include "support/meshing_options.h"
#include "volume/volume_field.h"

namespace karvex {

// The octree of a volume whose samples are the finest lattice's points,
// built from the samples themselves: one pass over the voxels in the box
// finds every finest cell whose corners lie on both sides of the level, and
// the tree is assembled from those leaves upwards (regions without any are
// single Empty or Full nodes, as shallow as they can be). No field batch is
// sampled; the leaves' signs, read in that pass, are those of the field's
// own numbers at their corners (VolumeField::capped_at), so every leaf is
// the one that sampling the field would make. The tree keeps no leaf
// records: its nodes carry the leaves' masks, and Octree::lattice_value
// reads a corner's value from the samples when extraction wants it (the
// field must outlive the tree). The tree is the non-adaptive one: every surface cell
// at max_depth, and, since every sign-changing cell of the lattice is found,
// no surface missed between coarser samples.
//
// Returns nothing, and the caller builds by sampling, where this does not
// apply: a lattice point strictly inside the box that is not a sample (other
// spacing or offset, or beyond the volume), a sample that is not finite
// where the field reads it (interpolation would spread it), a field that
// holds only a window of its volume, or max_depth above 21. Memory beyond the
// tree: per-surface-cell codes and masks and one brick of voxel signs per
// task, never a per-voxel array. The result does not depend
// on the number of workers. Records the range of the values read in the
// field (VolumeField::note_range).
std::optional<Octree> build_dense_volume_octree(VolumeField& field, const BBox& box,
                                                const MeshingOptions& options);

}  // namespace karvex
