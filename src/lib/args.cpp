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

bool bind_arguments(const char* class_name, const char* callable, std::span<const char* const> names,
                    std::size_t required, PyObject* args, PyObject* kwargs, std::span<PyRef> slots) {
  if ((args != nullptr && !PyTuple_Check(args)) || (kwargs != nullptr && !PyDict_Check(kwargs))) {
    PyErr_BadInternalCall();
    return false;
  }
  const std::size_t parameters = names.size();

  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  for (Py_ssize_t i = 0; i < given && static_cast<std::size_t>(i) < parameters; ++i) {
    slots[static_cast<std::size_t>(i)] = PyRef::borrow(PyTuple_GetItem(args, i));
  }
  if (static_cast<std::size_t>(given) > parameters) {
    raise_too_many_positional(full_name(class_name, callable), parameters, required, given);
    return false;
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
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
        set_error(PyExc_TypeError, full_name(class_name, callable) +
                                       " got multiple values for argument '" + names[index] + "'");
        return false;
      }
      slots[index] = PyRef::borrow(value);
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required && i < parameters; ++i) {
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

}  // namespace wordsieve::py
