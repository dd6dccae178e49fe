#include "args.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "messages.hpp"
#include "panic.hpp"

namespace wordsieve::py {

namespace {

std::string full_name(const char* class_name, const char* callable) {
  return std::string(class_name) + "." + callable + "()";
}

void raise_too_many_positional(const std::string& name, std::size_t parameters, std::size_t required,
                               Py_ssize_t given) {
  std::string message = name + " takes ";
  if (required == parameters) {
    message += std::to_string(parameters);
  } else {
    message += "from " + std::to_string(required) + " to " + std::to_string(parameters);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
             " given";
  set_error(PyExc_TypeError, message);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        list += " and ";
      } else {
        list += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

// The key's UTF-8 text, or null when it has none (not a str, or a lone surrogate); such a key can
// match no parameter.
const char* key_text(PyObject* key, Py_ssize_t& size) {
  if (!PyUnicode_Check(key)) return nullptr;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) discard_python_error();
  return text;
}

void raise_unexpected_keyword(const std::string& name, PyObject* key) {
  PyRef held = PyRef::borrow(key);  // str() may run Python code
  PyRef shown(PyObject_Str(held.get()));
  if (!shown) {
    propagate_python_error();
    return;
  }
  PyRef message(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", name.c_str(),
                                     shown.get()));
  if (!message) {
    propagate_python_error();
    return;
  }
  PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace

namespace {

// Puts one keyword argument into its slot; false with TypeError set for a name that is no
// parameter or a parameter that already has a value.
bool bind_keyword(const char* class_name, const char* callable, std::span<const char* const> names,
                  PyObject* key, PyObject* value, std::span<PyRef> slots) {
  const std::size_t parameters = names.size();
  Py_ssize_t size = 0;
  const char* text = key_text(key, size);
  std::size_t index = parameters;
  if (text != nullptr) {
    for (std::size_t i = 0; i < parameters; ++i) {
      if (std::strlen(names[i]) == static_cast<std::size_t>(size) &&
          std::memcmp(names[i], text, static_cast<std::size_t>(size)) == 0) {
        index = i;
        break;
      }
    }
  }
  if (index == parameters) {
    raise_unexpected_keyword(full_name(class_name, callable), key);
    return false;
  }
  if (slots[index]) {
    set_error(PyExc_TypeError, full_name(class_name, callable) + " got multiple values for argument '" +
                                   names[index] + "'");
    return false;
  }
  slots[index] = PyRef::borrow(value);
  return true;
}

bool bind_positional(const char* class_name, const char* callable, std::span<const char* const> names,
                     std::size_t required, PyObject* const* args, std::size_t given, std::span<PyRef> slots) {
  for (std::size_t i = 0; i < given && i < names.size(); ++i) slots[i] = PyRef::borrow(args[i]);
  if (given > names.size()) {
    raise_too_many_positional(full_name(class_name, callable), names.size(), required,
                              static_cast<Py_ssize_t>(given));
    return false;
  }
  return true;
}

bool check_required(const char* class_name, const char* callable, std::span<const char* const> names,
                    std::size_t required, std::span<PyRef> slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required && i < names.size(); ++i) {
    if (!slots[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    set_error(PyExc_TypeError, full_name(class_name, callable) + " missing " +
                                   std::to_string(missing.size()) + " required positional " +
                                   (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                   quoted_list(missing));
    return false;
  }
  return true;
}

}  // namespace

bool bind_arguments(const char* class_name, const char* callable, std::span<const char* const> names,
                    std::size_t required, PyObject* args, PyObject* kwargs, std::span<PyRef> slots) {
  if ((args != nullptr && !PyTuple_Check(args)) || (kwargs != nullptr && !PyDict_Check(kwargs))) {
    PyErr_BadInternalCall();
    return false;
  }
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  std::vector<PyObject*> positional(static_cast<std::size_t>(given));
  for (Py_ssize_t i = 0; i < given; ++i) positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (!bind_positional(class_name, callable, names, required, positional.data(), positional.size(), slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(class_name, callable, names, key, value, slots)) return false;
    }
  }
  return check_required(class_name, callable, names, required, slots);
}

bool bind_vector_arguments(const char* class_name, const char* callable, std::span<const char* const> names,
                           std::size_t required, PyObject* const* args, std::size_t given, PyObject* kwnames,
                           std::span<PyRef> slots) {
  if (kwnames != nullptr && !PyTuple_Check(kwnames)) {
    PyErr_BadInternalCall();
    return false;
  }
  if (!bind_positional(class_name, callable, names, required, args, given, slots)) return false;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!bind_keyword(class_name, callable, names, PyTuple_GetItem(kwnames, k),
                      args[given + static_cast<std::size_t>(k)], slots)) {
      return false;
    }
  }
  return check_required(class_name, callable, names, required, slots);
}

}  // namespace wordsieve::py
