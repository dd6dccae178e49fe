#include <Python.h>

static PyModuleDef wordsieve_module = {PyModuleDef_HEAD_INIT, "wordsieve", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_wordsieve() {
  return PyModule_Create2(&wordsieve_module, 3);
}
