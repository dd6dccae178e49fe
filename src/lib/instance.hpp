// The memory layout shared by the module's classes: the object header, the native payload, then the
// access counter. Instances are allocated through the type's tp_alloc slot and freed through the
// instance type's tp_free slot, so the interpreter's allocator bookkeeping stays its own.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "panic.hpp"

namespace wordsieve::py {

template <class Payload>
struct Instance {
  PyObject header;
  // Raw storage keeps the struct standard-layout, so a PyObject* and an Instance* are the same address.
  alignas(Payload) unsigned char storage[sizeof(Payload)];
  // 0: unused; n > 0: n calls are reading; -1: one call is changing the payload.
  Py_ssize_t access;

  Payload& payload() noexcept { return *std::launder(reinterpret_cast<Payload*>(storage)); }

  static Instance* from(PyObject* object) noexcept { return reinterpret_cast<Instance*>(object); }
};

// The alignment of every object the interpreter allocates: its object allocator hands out blocks
// aligned to 16 bytes on 64-bit systems, and larger objects come from malloc, which aligns to 16
// there too. That is more than max_align_t promises on some systems (8 on macOS arm64), so
// new_instance_with() also checks each object's address.
inline constexpr std::size_t kInterpreterAlignment =
    sizeof(void*) >= 8 && alignof(std::max_align_t) < 16 ? 16 : alignof(std::max_align_t);

template <class Payload>
constexpr bool kFitsInterpreterAlignment = alignof(Instance<Payload>) <= kInterpreterAlignment;

// The allocator of `type`: its tp_alloc slot, or the generic allocator when the slot is empty.
allocfunc instance_allocator(PyTypeObject* type) noexcept;

// Memory for an instance of `type` (zeroed, header initialised), or null with the error set.
PyObject* allocate_instance(PyTypeObject* type);
PyObject* allocate_instance(PyTypeObject* type, allocfunc alloc);

// Gives the memory of an instance back without touching its payload.
void free_instance_memory(PyObject* object) noexcept;

// A new instance of `type` whose payload is constructed in place from `args` (no payload-sized
// temporary on the stack), or null with the error set.
// `alloc` is instance_allocator(type), looked up once by callers that make many instances.
template <class Payload, class... Args>
PyObject* new_instance_with(allocfunc alloc, PyTypeObject* type, Args&&... args) {
  static_assert(kFitsInterpreterAlignment<Payload>);
  PyObject* object = allocate_instance(type, alloc);
  if (object == nullptr) return nullptr;
  if (reinterpret_cast<std::uintptr_t>(object) % alignof(Instance<Payload>) != 0) {
    // An allocator installed in the interpreter that aligns less than it does: refuse rather than
    // build a payload at an address it may not live at.
    free_instance_memory(object);
    PyErr_NoMemory();
    return nullptr;
  }
  auto* instance = Instance<Payload>::from(object);
  try {
    ::new (static_cast<void*>(instance->storage)) Payload(std::forward<Args>(args)...);
  } catch (...) {
    // The payload never existed, so the deallocation slot (which destroys it) must not run.
    free_instance_memory(object);
    throw;
  }
  instance->access = 0;
  return object;
}

template <class Payload, class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  return new_instance_with<Payload>(instance_allocator(type), type, std::forward<Args>(args)...);
}

// The deallocation slot of a class with this payload.
template <class Payload>
void destroy_instance(PyObject* object) noexcept {
  Instance<Payload>::from(object)->payload().~Payload();
  free_instance_memory(object);
}

}  // namespace wordsieve::py
