#include "messages.hpp"

#include "panic.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

std::string qualified_type_name(PyObject* object) {
  PyRef name(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  discard_python_error();
  return "<failed to extract type name>";
}

void set_error(PyObject* type, std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  // Otherwise the decoder's own error (memory) is what the caller sees.
}

void raise_cannot_convert(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += qualified_type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  set_error(PyExc_TypeError, message);
}

}  // namespace wordsieve::py
