#include "common/py/module_once.h"

#include "common/py/errors.h"

namespace karvex::py {

namespace {

constexpr int kApiVersion = 1013;  // PYTHON_API_VERSION

}  // namespace

Ref module_once(ModuleOnce& once, PyModuleDef& def, std::string_view subinterpreter_message,
                void (*fill)(PyObject* module)) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_fetched();

  std::int64_t owner = -1;
  if (!once.owner.compare_exchange_strong(owner, id, std::memory_order_seq_cst) && owner != id) {
    throw_error(PyExc_ImportError, subinterpreter_message);
  }

  if (once.module != nullptr) return Ref::borrow(once.module);

  Ref module = checked(PyModule_Create2(&def, kApiVersion));
  if (fill != nullptr) fill(module.get());
  // Initialisation never re-enters itself here, so the cell is still empty;
  // should it ever be filled meanwhile, the stored module wins.
  if (once.module == nullptr) once.module = Ref::borrow(module.get()).release();
  return Ref::borrow(once.module);
}

}  // namespace karvex::py
