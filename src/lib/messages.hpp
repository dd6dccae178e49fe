// The fixed error texts that name a Python type, and raising an error from native text.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace wordsieve::py {

// The qualified name of `object`'s type, or "<failed to extract type name>" when the interpreter
// cannot give it as UTF-8 (a qualname holding a lone surrogate, for instance).
std::string qualified_type_name(PyObject* object);

// Sets `type` with `message`, decoded as UTF-8 (the message may quote user text).
void set_error(PyObject* type, std::string_view message);

// TypeError "'{T}' object cannot be converted to '{target}'", the one text for every value (or
// receiver) that is not of the type a conversion needs.
void raise_cannot_convert(PyObject* object, std::string_view target);

}  // namespace wordsieve::py
