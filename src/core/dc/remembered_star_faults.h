#pragma once

#include <vector>

#include "dc/cell_pass_changes.h"
#include "dc/merge_topology.h"
#include "dc/mesh.h"
#include "dc/minimal_edge_faces.h"

namespace karvex {

// The star faults of the cell merges' passes (star_faults on every vertex),
// told again only for the stars a pass changed.
//
// The polygons of a pass are the last ones renumbered (cell_pass_changes.h)
// but for those on the minimal edges at a cell refused since: before, they
// hold the refused cell's vertex (gone now); after, a vertex of one of its
// children (appeared now). A quad is split as before where its corners
// are the same (the same keys at the same points), but one of its two
// triangles may miss the changed corner: the changes are told by polygon.
// A star none of whose polygons, then or now, holds a vertex gone or
// appeared is the same star with its vertices renumbered in the same
// order, and its fault is the last one renumbered.
class RememberedStarFaults {
 public:
  // star_faults(triangles) in some order, `triangles` split from
  // `polygons`, those of the cells `changes` was last advanced to, when the
  // last call's were those of the cells it was advanced to before.
  std::vector<StarFault> faults(const std::vector<EdgePolygon>& polygons,
                                const std::vector<Triangle>& triangles,
                                const CellPassChanges& changes);

 private:
  bool any_ = false;
  std::vector<EdgePolygon> polygons_;
  std::vector<StarFault> faults_;
};

}  // namespace karvex
