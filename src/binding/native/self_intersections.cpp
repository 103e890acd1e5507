// karvex._native.self_intersections, is_one_sheet, clean_check, relax_folds,
// bad_faces_near and undone_steps: the core's exact self-intersection test
// (whole, or round a few triangles), its one-sheet test, both in one call, its
// relaxation of folds and the undoing of steps onto the surface that fold the
// mesh again, over NumPy arrays, for Mesh.check(), Mesh.self_intersections()
// and the repair after extraction.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/args.h"
#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "common/py/ref.h"
#include "native/functions.h"
#include "native/mesh_arrays.h"
#include "pool/worker_pool.h"
#include "validity/clean_check.h"
#include "validity/fold_region.h"
#include "validity/repair.h"
#include "validity/self_intersections.h"
#include "validity/sheets.h"
#include "validity/undone_steps.h"

namespace karvex::py {

namespace {

[[noreturn]] void value_error(const std::string& message) { throw PythonError::make(PyExc_ValueError, message); }

// A new int64 array holding `faces`.
Ref face_array(const std::vector<std::int64_t>& faces) {
  npy_intp dims[1] = {static_cast<npy_intp>(faces.size())};
  Ref out = Ref::steal(PyArray_SimpleNew(1, dims, NPY_INT64));
  if (!out) throw_fetched();
  auto* data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  std::copy(faces.begin(), faces.end(), data);
  return out;
}

// A new bool array holding `flags` (each 0 or 1).
Ref flag_array(const std::vector<std::uint8_t>& flags) {
  npy_intp dims[1] = {static_cast<npy_intp>(flags.size())};
  Ref out = Ref::steal(PyArray_SimpleNew(1, dims, NPY_BOOL));
  if (!out) throw_fetched();
  std::copy(flags.begin(), flags.end(), static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()))));
  return out;
}

// A new float64 array of shape (n, 3) holding `rows` (3 values a row).
Ref row_array(const std::vector<double>& rows) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows.size() / 3), 3};
  Ref out = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
  if (!out) throw_fetched();
  std::copy(rows.begin(), rows.end(), static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()))));
  return out;
}

// A position list from Python: float64 of shape (count, 3), every value
// finite; ValueError naming the argument otherwise.
Ref finite_rows(PyObject* value, std::size_t count, const char* name) {
  Ref array = as_array(value, NPY_FLOAT64, 3, name);
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const auto* data = static_cast<const double*>(PyArray_DATA(a));
  if (static_cast<std::size_t>(PyArray_DIM(a, 0)) != count) {
    value_error(std::string(name) + " must hold one row per stepped vertex");
  }
  if (!std::all_of(data, data + 3 * count, [](double x) { return std::isfinite(x); })) {
    value_error(std::string(name) + " must be finite; found NaN or infinity");
  }
  return array;
}

}  // namespace

PyObject* karvex_native_self_intersections(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    ensure_numpy_api();
    if (nargs != 3) {
      throw PythonError::make(PyExc_TypeError, "self_intersections(vertices, faces, subset) takes 3 arguments");
    }
    Ref vertices = as_array(args[0], NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(args[1], NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    Ref subset_array;
    const std::uint8_t* subset = nullptr;
    if (args[2] != Py_None) {
      subset_array = as_array(args[2], NPY_BOOL, 0, "subset");
      auto* s = reinterpret_cast<PyArrayObject*>(subset_array.get());
      if (static_cast<std::size_t>(PyArray_DIM(s, 0)) != mesh.face_count) {
        value_error("subset must hold one flag per face");
      }
      subset = static_cast<const std::uint8_t*>(PyArray_DATA(s));
    }
    validity::SelfIntersections found = validity::find_self_intersections(mesh, subset, global_pool());
    std::vector<std::int64_t> flat;
    flat.reserve(2 * found.pairs.size());
    for (const auto& pair : found.pairs) flat.insert(flat.end(), pair.begin(), pair.end());
    npy_intp pair_dims[2] = {static_cast<npy_intp>(found.pairs.size()), 2};
    Ref pairs = Ref::steal(PyArray_SimpleNew(2, pair_dims, NPY_INT64));
    if (!pairs) throw_fetched();
    std::copy(flat.begin(), flat.end(), static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(pairs.get()))));
    npy_intp face_dims[1] = {static_cast<npy_intp>(mesh.face_count)};
    Ref zero_area = Ref::steal(PyArray_SimpleNew(1, face_dims, NPY_BOOL));
    if (!zero_area) throw_fetched();
    std::copy(found.zero_area.begin(), found.zero_area.end(),
              static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(zero_area.get()))));
    return checked(PyTuple_Pack(2, pairs.get(), zero_area.get()));
  });
}

PyObject* karvex_native_is_one_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    ensure_numpy_api();
    if (nargs != 2) throw PythonError::make(PyExc_TypeError, "is_one_sheet(vertices, faces) takes 2 arguments");
    Ref vertices = as_array(args[0], NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(args[1], NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    return checked(PyBool_FromLong(validity::is_one_sheet(mesh, global_pool()) ? 1 : 0));
  });
}

PyObject* karvex_native_clean_check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    ensure_numpy_api();
    if (nargs != 2 && nargs != 3) {
      throw PythonError::make(PyExc_TypeError,
                              "clean_check(vertices, faces, list_bad=False) takes 2 or 3 arguments");
    }
    Ref vertices = as_array(args[0], NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(args[1], NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    bool list_bad = false;
    if (nargs == 3) {
      const int truth = PyObject_IsTrue(args[2]);
      if (truth < 0) throw_fetched();
      list_bad = truth != 0;
    }
    const validity::CleanCheck verdict = validity::clean_check(mesh, global_pool(), list_bad);
    if (!list_bad) {
      return checked(Py_BuildValue("(NN)", PyBool_FromLong(verdict.one_sheet ? 1 : 0),
                                   PyBool_FromLong(verdict.bad ? 1 : 0)));
    }
    Ref listed = verdict.one_sheet ? face_array(verdict.bad_faces) : Ref::borrow(Py_None);
    Ref broken = verdict.one_sheet ? Ref::borrow(Py_None) : face_array(verdict.broken);
    Ref certified = verdict.one_sheet ? Ref::borrow(Py_None) : flag_array(verdict.certified);
    return checked(Py_BuildValue("(NNOOO)", PyBool_FromLong(verdict.one_sheet ? 1 : 0),
                                 PyBool_FromLong(verdict.bad ? 1 : 0), listed.get(), broken.get(),
                                 certified.get()));
  });
}

namespace {

constexpr std::string_view kRelaxNames[] = {"vertices", "faces", "rounds",   "first",
                                            "max_move", "bad",   "in_place", "certified"};
constexpr Signature kRelaxSignature{"relax_folds", kRelaxNames, 3, 2, 2};

}  // namespace

PyObject* karvex_native_relax_folds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    ensure_numpy_api();
    const Arguments a(kRelaxSignature, args, nargs, kwnames);
    const bool in_place = a.flag(6, false);
    Ref vertices = as_array(a.object(0).get(), NPY_FLOAT64, 3, "vertices");
    if (in_place && (vertices.get() != a.object(0).get() ||
                     !PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(vertices.get())))) {
      value_error("in_place needs vertices as a writable C-contiguous float64 array");
    }
    Ref faces = as_array(a.object(1).get(), NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    validity::RelaxOptions options;
    const std::uint32_t rounds = a.u32(2);
    if (rounds > 1000000) value_error("rounds must be at most 1000000; found " + std::to_string(rounds));
    options.rounds = static_cast<int>(rounds);
    Ref first_array;
    if (a.given(3) && a.object(3).get() != Py_None) {
      first_array = as_array(a.object(3).get(), NPY_BOOL, 0, "first");
      auto* f = reinterpret_cast<PyArrayObject*>(first_array.get());
      if (static_cast<std::size_t>(PyArray_DIM(f, 0)) != mesh.vertex_count) {
        value_error("first must hold one flag per vertex");
      }
      options.first = static_cast<const std::uint8_t*>(PyArray_DATA(f));
    }
    if (a.given(4) && a.object(4).get() != Py_None) {
      options.bounded = true;
      options.max_move = a.real(4);
      if (!(options.max_move >= 0.0) || !std::isfinite(options.max_move)) {
        value_error("max_move must be a finite number >= 0 or None");
      }
    }
    // The whole mesh tested first, so that its tables are gone before the
    // copy of the positions is made; or its bad triangles as the caller
    // found them already (clean_check with list_bad).
    std::optional<std::vector<std::uint8_t>> certified;
    if (a.given(7) && a.object(7).get() != Py_None) {
      Ref flags = as_array(a.object(7).get(), NPY_BOOL, 0, "certified");
      auto* f = reinterpret_cast<PyArrayObject*>(flags.get());
      if (static_cast<std::size_t>(PyArray_DIM(f, 0)) != mesh.vertex_count) {
        value_error("certified must hold one flag per vertex");
      }
      const auto* first = static_cast<const std::uint8_t*>(PyArray_DATA(f));
      certified.emplace(first, first + mesh.vertex_count);
    }
    std::vector<std::int64_t> bad = a.given(5) && a.object(5).get() != Py_None
                                        ? increasing_numbers(a.object(5).get(), mesh.face_count, "bad", "face")
                                        : validity::all_bad_faces(mesh, global_pool(), certified ? &*certified : nullptr);
    certified.reset();
    // The result is the input itself, or starts as a copy of the positions;
    // only moved vertices are written to it.
    Ref out = Ref::borrow(vertices.get());
    if (!in_place) {
      npy_intp dims[2] = {static_cast<npy_intp>(mesh.vertex_count), 3};
      out = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
      if (!out) throw_fetched();
      std::copy(mesh.vertices, mesh.vertices + 3 * mesh.vertex_count,
                static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()))));
    }
    auto* positions = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const validity::RelaxStats relaxed = validity::relax_folds_from(mesh, std::move(bad), options, global_pool(), positions);
    const Ref changed = face_array(relaxed.changed);
    const Ref starts = row_array(relaxed.starts);
    return checked(Py_BuildValue("(OnnOO)", out.get(), static_cast<Py_ssize_t>(relaxed.moved),
                                 static_cast<Py_ssize_t>(relaxed.unresolved), changed.get(), starts.get()));
  });
}

PyObject* karvex_native_bad_faces_near(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    ensure_numpy_api();
    if (nargs != 3) {
      throw PythonError::make(PyExc_TypeError, "bad_faces_near(vertices, faces, named) takes 3 arguments");
    }
    Ref vertices = as_array(args[0], NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(args[1], NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    const std::vector<std::int64_t> named = increasing_numbers(args[2], mesh.face_count, "named", "face");
    return face_array(validity::bad_faces_near(mesh, named, global_pool()));
  });
}

PyObject* karvex_native_undone_steps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    ensure_numpy_api();
    if (nargs != 4) {
      throw PythonError::make(PyExc_TypeError, "undone_steps(vertices, faces, stepped, repaired) takes 4 arguments");
    }
    Ref vertices = as_array(args[0], NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(args[1], NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    Ref stepped_array = as_array(args[2], NPY_INT64, 0, "stepped");
    auto* s = reinterpret_cast<PyArrayObject*>(stepped_array.get());
    const auto* stepped = static_cast<const std::int64_t*>(PyArray_DATA(s));
    const auto count = static_cast<std::size_t>(PyArray_DIM(s, 0));
    for (std::size_t k = 0; k < count; ++k) {
      const bool in_range = stepped[k] >= 0 && static_cast<std::size_t>(stepped[k]) < mesh.vertex_count;
      if (!in_range || (k > 0 && stepped[k] <= stepped[k - 1])) {
        value_error("stepped must hold vertex numbers in increasing order, each below the number of vertices");
      }
    }
    Ref repaired = finite_rows(args[3], count, "repaired");
    const auto* places = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(repaired.get())));
    return face_array(validity::undone_steps(mesh, {stepped, count}, places, global_pool()));
  });
}

}  // namespace karvex::py
