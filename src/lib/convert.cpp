#include "convert.hpp"

#include <algorithm>
#include <limits>

#include "messages.hpp"
#include "panic.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

namespace {

// Narrowing a double to float is only well defined for out-of-range values (which become
// infinities) under IEEE 754 arithmetic.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

// A sequence's reported length is only a hint; a hostile __len__ must not make us reserve gigabytes.
constexpr Py_ssize_t kMaxReservedItems = 4096;

// The single code point of `text`, or nothing when it holds fewer or more than one.
std::optional<std::uint32_t> single_code_point(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  std::uint32_t code_point = 0;
  if (lead < 0x80) {
    length = 1;
    code_point = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code_point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code_point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code_point = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (text.size() != length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) != 0x80) return std::nullopt;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  return code_point;
}

bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module(PyType_GetModuleName(type));
  if (!module) {
    discard_python_error();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5)) {
    return false;
  }
  PyRef name(PyType_GetName(type));
  if (!name) {
    discard_python_error();
    return false;
  }
  return PyUnicode_Check(name.get()) && (PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) ||
                                         PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4));
}

// numpy's booleans are not bool instances; ask the type's own __bool__, as truth testing would.
bool numpy_bool(PyObject* object, bool& out) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  PyObject* raw_method = nullptr;
  const int found = PyObject_GetOptionalAttrString(type, "__bool__", &raw_method);
  PyRef method(raw_method);
  if (found < 0) {
    propagate_python_error();
    return false;
  }
  if (found == 0) {
    PyRef message(PyUnicode_FromFormat("object of type '%S' does not define a '__bool__' conversion",
                                       type));
    if (message) {
      PyErr_SetObject(PyExc_TypeError, message.get());
    } else {
      propagate_python_error();
    }
    return false;
  }
  if (auto bind_to = reinterpret_cast<descrgetfunc>(
          PyType_GetSlot(Py_TYPE(method.get()), Py_tp_descr_get))) {
    method = PyRef(bind_to(method.get(), object, type));
    if (!method) {
      propagate_python_error();
      return false;
    }
  }
  PyRef result(PyObject_CallNoArgs(method.get()));
  if (!result) {
    propagate_python_error();
    return false;
  }
  if (!PyBool_Check(result.get())) {
    raise_cannot_convert(result.get(), "PyBool");
    return false;
  }
  out = result.get() == Py_True;
  return true;
}

// The shared rules of the list kinds: not a str, a sequence, iterated to the end.
template <class T, class Element>
bool to_list(PyObject* object, std::vector<T>& out, Element convert_element) {
  if (PyUnicode_Check(object)) {
    set_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    return false;
  }
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    discard_python_error();
    hint = 0;
  }
  std::vector<T> items;
  items.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedItems)));

  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    propagate_python_error();
    return false;
  }
  while (true) {
    PyRef item(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) {
        propagate_python_error();
        return false;
      }
      break;
    }
    T value{};
    if (!convert_element(item.get(), value)) return false;
    items.push_back(std::move(value));
  }
  out = std::move(items);
  return true;
}

bool to_text_view(PyObject* object, TextView& out) {
  if (!to_text(object, out.text)) return false;
  out.owner = PyRef::borrow(object);
  return true;
}

}  // namespace

bool to_text(PyObject* object, std::string_view& out) {
  if (!PyUnicode_CheckExact(object) && !PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    propagate_python_error();
    return false;
  }
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_optional_text(PyObject* object, std::optional<std::string_view>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!to_text(object, text)) return false;
  out = text;
  return true;
}

bool to_flag(PyObject* object, bool& out) {
  if (object == nullptr || object == Py_None) {
    out = false;
    return true;
  }
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  if (is_numpy_bool_type(Py_TYPE(object))) return numpy_bool(object, out);
  raise_cannot_convert(object, "PyBool");
  return false;
}

bool to_number(PyObject* object, float& out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    propagate_python_error();
    return false;
  }
  out = static_cast<float>(value);
  return true;
}

bool to_optional_number(PyObject* object, std::optional<float>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  float value = 0.0F;
  if (!to_number(object, value)) return false;
  out = value;
  return true;
}

bool to_unsigned(PyObject* object, std::uint64_t& out) {
  PyRef index;
  PyObject* integer = object;
  if (!PyLong_Check(object)) {
    index = PyRef(PyNumber_Index(object));
    if (!index) {
      propagate_python_error();
      return false;
    }
    integer = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    propagate_python_error();
    return false;
  }
  out = value;
  return true;
}

bool to_character(PyObject* object, std::uint32_t& out) {
  std::string_view text;
  if (!to_text(object, text)) return false;
  const auto code_point = single_code_point(text);
  if (!code_point) {
    set_error(PyExc_ValueError, "expected a string of length 1");
    return false;
  }
  out = *code_point;
  return true;
}

bool to_character_list(PyObject* object, std::vector<std::uint32_t>& out) {
  return to_list(object, out, to_character);
}

bool to_text_list(PyObject* object, std::vector<TextView>& out) {
  return to_list(object, out, to_text_view);
}

bool to_bytes(PyObject* object, std::string_view& out) {
  if (!PyBytes_Check(object)) {
    raise_cannot_convert(object, "PyBytes");
    return false;
  }
  out = std::string_view(PyBytes_AsString(object), static_cast<std::size_t>(PyBytes_Size(object)));
  return true;
}

void prefix_argument_error(const char* name) {
  PyRef original(PyErr_GetRaisedException());
  if (!original) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return;
  }
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  PyRef text(PyObject_Str(original.get()));
  if (!text) {
    discard_python_error();
    text = PyRef(PyUnicode_FromString("<unprintable TypeError object>"));
    if (!text) {
      propagate_python_error();
      return;
    }
  }
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  PyRef replacement(message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr) : nullptr);
  if (!replacement) {
    propagate_python_error();
    return;
  }
  // The new error replaces the original rather than wrapping it, so it carries the original's cause.
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(replacement.release());
}

}  // namespace wordsieve::py
