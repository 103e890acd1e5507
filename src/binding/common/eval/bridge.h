#pragma once

#include <Python.h>

#include <span>

#include "field/field.h"
#include "support/vec3.h"

namespace karvex::py {

// The field given by the user's Python callable `eval_fn`: the only place
// native code calls it. Each evaluate() makes exactly one call,
// eval_fn(points), with a new float64 (N, 3) C-contiguous array, and reads the
// returned pair R as values = R[0] (a contiguous 1-D float64 array, copied)
// and gradients = R[1] (None, or a 2-D float64 array of any strides; the
// first three columns of each row are copied). Lengths are not checked
// against N.
//
// Failures: an exception raised by eval_fn or by the item access is thrown
// unchanged as py::PythonError; a malformed R[0] or R[1] throws TypeError
// ("'<type>' object cannot be converted to 'PyArray<T, D>'", or "The given
// array is not contiguous"); a gradient array with rows but fewer than three
// columns is InvariantFailure("ndarray: index out of bounds"). A
// PanicException raised by eval_fn is reported on stderr and continued as an
// InvariantFailure with its message.
//
// Holds only a borrowed reference: the caller keeps eval_fn alive. Use on the
// thread holding the interpreter lock.
class PythonField final : public Field {
 public:
  explicit PythonField(PyObject* eval_fn) : eval_fn_(eval_fn) {}

  EvalResult evaluate(std::span<const Vec3> points) override;
  // The same call; the values and gradient rows are handed to `consume`
  // where NumPy holds them (an unaligned value block is copied first).
  void evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) override;
  // The same call; the points are written straight into the array passed to
  // eval_fn.
  void evaluate_written(std::size_t count, const PointWriter& write,
                        const EvalConsumer& consume) override;

 private:
  PyObject* eval_fn_;
};

}  // namespace karvex::py
