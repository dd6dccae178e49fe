// A class's type object, built from its PyType_Spec the first time it is needed and then kept for
// the life of the interpreter that owns the module.
#pragma once

#include <Python.h>

namespace wordsieve::py {

class TypeCell {
 public:
  constexpr TypeCell(const char* class_name, PyType_Spec* spec) noexcept
      : class_name_(class_name), spec_(spec) {}
  TypeCell(const TypeCell&) = delete;
  TypeCell& operator=(const TypeCell&) = delete;

  const char* class_name() const noexcept { return class_name_; }

  // For module init, where a failure is the import's error: the type (borrowed), or null with the
  // interpreter's error set.
  PyObject* get_or_create() noexcept;

  // For every other use. The module's init creates every type, so a failure here means the module
  // is unusable: it is printed and becomes an internal failure.
  PyTypeObject* get() {
    if (type_ != nullptr) return reinterpret_cast<PyTypeObject*>(type_);
    return create_or_fail();
  }

  // Drops the type without touching it, once its interpreter is finalized (module.cpp): the next
  // interpreter builds its own.
  void forget() noexcept { type_ = nullptr; }

 private:
  PyTypeObject* create_or_fail();

  const char* class_name_;
  PyType_Spec* spec_;
  PyObject* type_ = nullptr;
};

// A method's function as the slot of a PyMethodDef holds it, whatever its calling convention (the
// flags beside it tell the interpreter which). Through a plain function pointer type, which every
// function pointer converts to and from.
template <class Function>
PyCFunction as_method(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace wordsieve::py
