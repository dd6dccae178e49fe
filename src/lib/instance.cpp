#include "instance.hpp"

namespace wordsieve::py {

allocfunc instance_allocator(PyTypeObject* type) noexcept {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  // A valid slot id never sets an error, so an empty slot simply means the generic allocator.
  return alloc != nullptr ? alloc : PyType_GenericAlloc;
}

PyObject* allocate_instance(PyTypeObject* type, allocfunc alloc) {
  PyObject* object = alloc(type, 0);
  if (object == nullptr) propagate_python_error();
  return object;
}

PyObject* allocate_instance(PyTypeObject* type) { return allocate_instance(type, instance_allocator(type)); }

void free_instance_memory(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_memory == nullptr) free_memory = PyObject_Free;
  free_memory(object);
  // Instances of heap types hold a reference to their type, taken when they were allocated.
  if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) Py_DECREF(type);
}

}  // namespace wordsieve::py
