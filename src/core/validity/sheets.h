#pragma once

// Whether a triangle mesh is one sheet everywhere: every edge used by at most
// two triangles, wound in opposite directions when two, no triangle using a
// vertex twice, and the triangles round every vertex one fan (joined across
// the edges at the vertex that two triangles share). Boundary edges (used
// once) are allowed. A mesh that passes has nothing for the package's sheet
// split to do; one that fails goes to that split, which finds what to copy.

#include "validity/self_intersections.h"

namespace karvex::validity {

// Linear in the mesh's size (edges bucketed by their lower vertex, fans by
// union-find over corners); single-threaded, so nothing depends on workers.
bool is_one_sheet(const MeshView& mesh);

}  // namespace karvex::validity
