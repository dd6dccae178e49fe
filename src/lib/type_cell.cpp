#include "type_cell.hpp"

#include <string>

#include "keyword_processor/failure.hpp"

namespace wordsieve::py {

PyObject* TypeCell::get_or_create() noexcept {
  if (type_ == nullptr) type_ = PyType_FromSpec(spec_);
  return type_;
}

PyTypeObject* TypeCell::create_or_fail() {
  if (get_or_create() == nullptr) {
    PyErr_PrintEx(0);
    wordsieve::fail(std::string("failed to create type object for ") + class_name_);
  }
  return reinterpret_cast<PyTypeObject*>(type_);
}

}  // namespace wordsieve::py
