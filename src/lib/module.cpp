// The module's init function: one module at a time per process, owned by the first interpreter that
// imports it until that interpreter is finalized.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "guard.hpp"
#include "match_type.hpp"
#include "messages.hpp"
#include "name_strings.hpp"
#include "panic.hpp"
#include "processor_type.hpp"
#include "py_ref.hpp"
#include "type_cell.hpp"

namespace wordsieve::py {

namespace {

// The classes and the type objects are process-wide, so a second interpreter would share objects
// that belong to the first one; it is refused instead.
//
// A program that embeds Python may finalize the interpreter and initialize a new one, which has the
// same id. Everything the module keeps from call to call (the module, its classes, the exception
// type, the recent names' strs) belongs to the interpreter that made it, so it is all forgotten
// when that interpreter is finalized, and the next one to import the module owns a fresh one.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_cell = nullptr;
bool forgets_at_exit = false;  // forget_interpreter is registered with the owner's finalization

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "wordsieve", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The classes the module exposes, in the order they are added and listed in __all__.
using ClassCell = TypeCell& (*)() noexcept;
constexpr ClassCell kClasses[] = {
    processor_type_cell,
    match_type_cell,
};

constexpr const char kSubinterpreterMessage[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/wordsieve/wordsieve/issues";

// Run by Py_FinalizeEx once the interpreter is gone, so nothing of Python may be touched: the
// pointers are dropped, and whatever finalization did not free stays allocated until the process
// ends (a few objects per interpreter).
void forget_interpreter() noexcept {
  module_cell = nullptr;
  for (ClassCell class_cell : kClasses) class_cell().forget();
  forget_panic_exception_type();
  forget_recent_names();
  forgets_at_exit = false;  // finalization has consumed the registration
  owning_interpreter.store(-1);
}

// The module's __all__, created empty when the module has none yet; null with the error set.
PyRef all_list(PyObject* module) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      propagate_python_error();
      return all;
    }
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      propagate_python_error();
      return PyRef();
    }
  }
  if (!PyList_Check(all.get())) {
    raise_cannot_convert(all.get(), "PyList");
    return PyRef();
  }
  return all;
}

bool add_class(PyObject* module, TypeCell& cell) {
  PyObject* type = cell.get_or_create();
  if (type == nullptr) return false;
  PyRef all = all_list(module);
  if (!all) return false;
  PyRef name(PyUnicode_FromString(cell.class_name()));
  if (!name || PyList_Append(all.get(), name.get()) < 0 ||
      PyObject_SetAttr(module, name.get(), type) < 0) {
    propagate_python_error();
    return false;
  }
  return true;
}

PyObject* initialise() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    propagate_python_error();
    return nullptr;
  }
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
    return nullptr;
  }
  // Before anything is kept. Without the registration a later interpreter would be handed objects
  // of a finalized one, so the import fails instead (only when 32 exit functions are registered).
  if (!forgets_at_exit) {
    if (Py_AtExit(&forget_interpreter) < 0) {
      PyErr_SetString(PyExc_ImportError,
                      "wordsieve cannot register its exit function: Py_AtExit's table is full");
      return nullptr;
    }
    forgets_at_exit = true;
  }
  // A re-import after the module left sys.modules gets the very same module and classes.
  if (module_cell != nullptr) return Py_NewRef(module_cell);

  PyRef module(PyModule_Create2(&module_definition, 3));
  if (!module) {
    propagate_python_error();
    return nullptr;
  }
  for (ClassCell class_cell : kClasses) {
    if (!add_class(module.get(), class_cell())) return nullptr;
  }
  if (module_cell == nullptr) module_cell = module.release();
  return Py_NewRef(module_cell);
}

}  // namespace

}  // namespace wordsieve::py

PyMODINIT_FUNC PyInit_wordsieve() {
  return wordsieve::py::entry_point([] { return wordsieve::py::initialise(); });
}
