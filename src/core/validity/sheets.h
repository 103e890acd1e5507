#pragma once

// Whether a triangle mesh is one sheet everywhere: every edge used by at most
// two triangles, wound in opposite directions when two, no triangle using a
// vertex twice, and the triangles round every vertex one fan (joined across
// the edges at the vertex that two triangles share). Boundary edges (used
// once) are allowed. A mesh that passes has nothing for the package's sheet
// split to do; one that fails goes to that split, which finds what to copy.

#include "validity/self_intersections.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

// Linear in the mesh's size for stars of bounded size (each vertex's star
// checked on its own, on the pool); the answer does not depend on the
// number of workers.
bool is_one_sheet(const MeshView& mesh, WorkerPool& pool);

}  // namespace karvex::validity
