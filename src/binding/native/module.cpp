// The module entry of karvex._native, the karvex package's private extension:
// PyInit__native creates the module once per process with its one function
// and its PanicException attribute. It shares the binding and the core with
// _karvex_rs (both are built from the same sources) and raises the same
// PanicException class, which the package catches by type.
#include <Python.h>

#include <string>

#include "common/py/errors.h"
#include "common/py/module_once.h"
#include "common/py/ref.h"
#include "native/functions.h"
#include "native/messages.h"

namespace karvex::py {

namespace {

// What extract_mesh does; its first line, the text signature, is made from
// the parameter table (native_extract_mesh_signature).
constexpr const char* kExtractMeshDoc =
    "\n--\n\n"
    "Mesh the level set `level` of field inside the box.\n\n"
    "As _karvex_rs.extract_mesh (whose iso_value is level and angle_threshold_deg\n"
    "sharp_angle), and: keep_all keeps every connected piece instead of the largest;\n"
    "simplify, when not None, collapses cells whose merged quadratic error stays within\n"
    "that distance; find_small tests the cells of the initial grid that have no sign\n"
    "change for surface hidden between their corners; lean_sampling locates crossings by\n"
    "regula falsi, takes their normals from four-point stencils and projects vertices by\n"
    "secant steps (False: the low-level module's bisection and central differences);\n"
    "workers, when not None, runs the\n"
    "call on that many threads of its own (0 or None: the process-wide pool); progress,\n"
    "when not None, is called as progress(stage, done, total) on the calling thread\n"
    "between chunks of work; bounds is the box as the caller wrote it, shown in\n"
    "messages; volume, when not None, is (array, spacing, origin, inside_above), a 3-D\n"
    "uint8, uint16, int16, float32 or float64 array sampled natively in place of the\n"
    "field (which is None then) and capped by the box; tile, when not None, is the block\n"
    "(x0, y0, z0, x1, y1, z1) of finest cells that one tile of a tiled run meshes. Ctrl-C\n"
    "ends the call with KeyboardInterrupt. Returns (vertices float64 (V, 3), faces int64\n"
    "(F, 3)), with volume a third item (low, high): the range of the volume's values in\n"
    "the box, and with tile a last item, the vertices' keys uint64 (V, 2): each vertex's\n"
    "cell and its sheet in it, alike in every tile that makes the vertex.";

constexpr const char* kSelfIntersectionsDoc =
    "self_intersections(vertices, faces, subset)\n--\n\n"
    "The pairs (i < j) of triangles that meet other than at the vertices and edge\n"
    "they share, decided exactly, as int64 (m, 2) in increasing order, and a bool\n"
    "(F,) array marking the triangles of zero area (three distinct collinear\n"
    "corners). Triangles with a repeated index or zero area take no part in the\n"
    "pairs. subset, None or one bool per face, limits the pairs to those with a\n"
    "marked face. vertices must be finite and faces in range (ValueError).";

constexpr const char* kIsOneSheetDoc =
    "is_one_sheet(vertices, faces)\n--\n\n"
    "True when every edge is in at most two triangles, wound opposite ways when in\n"
    "two, no triangle repeats a vertex and the triangles round each vertex form one\n"
    "fan; boundary edges are allowed. Arrays as for self_intersections.";

constexpr const char* kBadFacesNearDoc =
    "bad_faces_near(vertices, faces, named)\n--\n\n"
    "The faces of named (int64, increasing, each in range) of zero area and both\n"
    "faces of every pair meeting improperly with one of them, as int64 in\n"
    "increasing order: what self_intersections with named as its subset finds,\n"
    "tested over the faces near them only. Arrays as for self_intersections.";

constexpr const char* kUndoneStepsDoc =
    "undone_steps(vertices, faces, stepped, repaired)\n--\n\n"
    "The vertices of stepped (int64, increasing) to put back at their rows of\n"
    "repaired (float64, one row per stepped vertex, in the same order), as\n"
    "int64 in increasing order: rounds of\n"
    "bad_faces_near over the faces with a stepped corner not yet put back, each\n"
    "putting back such corners of the bad faces, until one puts back none; one\n"
    "scan of the mesh for all rounds. Arrays as for self_intersections.";

constexpr const char* kCleanCheckDoc =
    "clean_check(vertices, faces, list_bad=False)\n--\n\n"
    "(one_sheet, bad): one_sheet as is_one_sheet returns it; when True, bad says\n"
    "whether any triangle has zero area or is in a pair that self_intersections\n"
    "finds (the search stops at the first), else bad is False (not tested).\n"
    "Cheaper than the two calls: each vertex's triangles are chained once for\n"
    "both. With list_bad true, (one_sheet, bad, faces, broken, certified): the\n"
    "search runs to its end and faces (int64, increasing; None when not one sheet)\n"
    "are the bad triangles, ready for relax_folds(bad=faces); when not one sheet,\n"
    "broken (int64, increasing) lists every vertex whose triangles are not one\n"
    "fan, ready for sheet_copies(broken=broken), and certified (bool, one per\n"
    "vertex) marks those whose triangles pairwise meet only where they share,\n"
    "for relax_folds(certified=...) once the flags of every vertex the split\n"
    "changes are cleared; both None when one sheet. Arrays as for self_intersections.";

constexpr const char* kRelaxFoldsDoc =
    "relax_folds(vertices, faces, /, *, rounds, first=None, max_move=None, bad=None,\n"
    "            in_place=False, certified=None)\n--\n\n"
    "Move the vertices of intersecting and zero-area triangles towards their\n"
    "neighbours' mean, in growing steps, testing again only round moved vertices,\n"
    "until no triangle is bad or `rounds` have passed. first, None or one bool per\n"
    "vertex, marks vertices moved before the other corners of their bad triangles;\n"
    "max_move, None or a float >= 0, bounds each vertex's distance from where it\n"
    "started. bad, None or the mesh's bad triangles (int64, increasing) as\n"
    "clean_check(list_bad=True) lists them, spares the first test of the whole mesh.\n"
    "certified, None or one bool per vertex set only where clean_check certifies\n"
    "(clear where in doubt), spares that first test the chaining of every star.\n"
    "With in_place true, vertices (then a writable C-contiguous float64 array)\n"
    "are moved themselves instead of a copy. Arrays as for self_intersections.\n"
    "Returns (vertices float64 (V, 3), vertices moved, triangles still bad, the\n"
    "vertices whose positions changed as int64, increasing, and where each of\n"
    "them started, float64 (C, 3)); the result does not depend on the number\n"
    "of workers.";

constexpr const char* kSheetCopiesDoc =
    "sheet_copies(vertices, faces, /, *, broken=None)\n--\n\n"
    "One vertex per fan: where the triangles round a vertex form several fans\n"
    "(joined across edges that continue one sheet), the fan holding the vertex's\n"
    "first corner keeps it and every other fan gets a copy at the same place,\n"
    "numbered after the input's vertices in order of (vertex, first corner).\n"
    "Arrays as for self_intersections. Returns (originals, corners, taken, crowded):\n"
    "copy k is made of vertex originals[k], and flat corner corners[n] (3f + k,\n"
    "increasing) of faces takes vertex taken[n]; crowded lists the directed edges\n"
    "(3f + k, increasing) of every edge in more than two faces, the only ones that\n"
    "can be crowded after the split. int64 arrays; the mesh itself is not copied.\n"
    "broken, None or the vertices clean_check(list_bad=True) lists (int64,\n"
    "increasing; any superset of them will do), limits the search to those\n"
    "vertices' triangles: the same result without tables of the whole mesh.";

constexpr const char* kPartSharedEdgesDoc =
    "part_shared_edges(vertices, faces, /)\n--\n\n"
    "Give every sheet but one its own copy of an edge used by more than two\n"
    "triangles (as often each way): each extra pair of triangles round it is split\n"
    "at a new vertex at the edge's midpoint. Arrays as for self_intersections.\n"
    "Returns (vertices float64 (V', 3), faces int64 (F', 3), vertices added): the\n"
    "arrays given (as converted) when no edge is crowded.";

PyMethodDef g_functions[] = {
    {"extract_mesh", fastcall(karvex_native_extract_mesh), METH_FASTCALL | METH_KEYWORDS,
     nullptr},  // the docstring is set at the first import
    {"sample_volume", fastcall(karvex_native_sample_volume), METH_FASTCALL | METH_KEYWORDS,
     "sample_volume(volume, points, /)\n--\n\nThe volume field of extract_mesh's volume= at\n"
     "float64 (N, 3) points, uncapped: (values (N,), gradients (N, 3))."},
    {"self_intersections", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(karvex_native_self_intersections)),
     METH_FASTCALL, kSelfIntersectionsDoc},
    {"is_one_sheet", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(karvex_native_is_one_sheet)),
     METH_FASTCALL, kIsOneSheetDoc},
    {"bad_faces_near", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(karvex_native_bad_faces_near)),
     METH_FASTCALL, kBadFacesNearDoc},
    {"undone_steps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(karvex_native_undone_steps)),
     METH_FASTCALL, kUndoneStepsDoc},
    {"clean_check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(karvex_native_clean_check)),
     METH_FASTCALL, kCleanCheckDoc},
    {"relax_folds", fastcall(karvex_native_relax_folds), METH_FASTCALL | METH_KEYWORDS, kRelaxFoldsDoc},
    {"sheet_copies", fastcall(karvex_native_sheet_copies), METH_FASTCALL | METH_KEYWORDS, kSheetCopiesDoc},
    {"part_shared_edges", fastcall(karvex_native_part_shared_edges), METH_FASTCALL | METH_KEYWORDS,
     kPartSharedEdgesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "karvex._native",
    "Native meshing for the karvex package (private: use karvex.mesh).",
    0,  // no per-module state; one module per process
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// As in _karvex_rs: the core's process-wide state (the worker pool, the
// exception type) belongs to the first interpreter that imports the module.
ModuleOnce g_once;

// The exception the module raises when its native code fails an internal
// check, so that callers can catch it by type.
void add_panic_type(PyObject* module) {
  PyObject* type = panic_exception_type();
  if (PyModule_AddObjectRef(module, "PanicException", type) < 0) throw_fetched();
}

}  // namespace

}  // namespace karvex::py

PyMODINIT_FUNC PyInit__native(void) {
  return karvex::py::guarded([] {
    using namespace karvex::py;
    // Made once, before the module, and kept for the life of the process.
    static const std::string doc = native_extract_mesh_signature() + kExtractMeshDoc;
    g_functions[0].ml_doc = doc.c_str();
    return module_once(g_once, g_module_def, native_messages::kSubinterpreter, add_panic_type);
  });
}
