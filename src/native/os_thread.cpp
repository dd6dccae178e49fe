#include "os_thread.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#include <process.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <climits>
#if defined(__FreeBSD__) || defined(__OpenBSD__)
#include <pthread_np.h>
#endif
#endif

namespace wordsieve::os_thread {

namespace {

struct Start {
  void (*entry)(void*);
  void* argument;
};

}  // namespace

#if defined(_WIN32)

namespace {

unsigned __stdcall trampoline(void* start) {
  const Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  s.entry(s.argument);
  return 0;
}

}  // namespace

std::error_code start(Handle& thread, std::size_t stack_size, void (*entry)(void*),
                      void* argument) noexcept {
  auto* s = new (std::nothrow) Start{entry, argument};
  if (s == nullptr) return std::make_error_code(std::errc::not_enough_memory);
  // The size is the stack's reservation, not memory committed up front.
  const std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stack_size), &trampoline,
                                               s, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    const DWORD error = GetLastError();
    delete s;
    return error != 0 ? std::error_code(static_cast<int>(error), std::system_category())
                      : std::make_error_code(std::errc::resource_unavailable_try_again);
  }
  thread.value = handle;
  return {};
}

void join(Handle thread) noexcept {
  const auto handle = reinterpret_cast<HANDLE>(thread.value);
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
}

void set_current_name(const char* name) noexcept {
  // SetThreadDescription exists from Windows 10 1607 on; looked up so that older systems load
  // the module.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set_description = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set_description == nullptr) return;
  wchar_t wide[32];
  std::size_t i = 0;
  for (; name[i] != '\0' && i + 1 < std::size(wide); ++i) wide[i] = static_cast<unsigned char>(name[i]);
  wide[i] = L'\0';
  set_description(GetCurrentThread(), wide);
}

std::uint64_t process_id() noexcept { return GetCurrentProcessId(); }

#else

namespace {

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));

void* trampoline(void* start) {
  const Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  s.entry(s.argument);
  return nullptr;
}

std::size_t accepted_stack_size(std::size_t size) {
#if defined(_SC_THREAD_STACK_MIN)
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
  if (minimum > 0) size = std::max(size, static_cast<std::size_t>(minimum));
#elif defined(PTHREAD_STACK_MIN)
  size = std::max<std::size_t>(size, PTHREAD_STACK_MIN);
#endif
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) {
    const auto p = static_cast<std::size_t>(page);
    size = (size + p - 1) / p * p;
  }
  return size;
}

}  // namespace

std::error_code start(Handle& thread, std::size_t stack_size, void (*entry)(void*),
                      void* argument) noexcept {
  auto* s = new (std::nothrow) Start{entry, argument};
  if (s == nullptr) return std::make_error_code(std::errc::not_enough_memory);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, accepted_stack_size(stack_size));
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);  // inherited by the new thread
  pthread_t id{};
  const int error = pthread_create(&id, &attr, &trampoline, s);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    delete s;
    return std::error_code(error, std::generic_category());
  }
  thread.value = 0;
  std::memcpy(&thread.value, &id, sizeof id);
  return {};
}

void join(Handle thread) noexcept {
  pthread_t id{};
  std::memcpy(&id, &thread.value, sizeof id);
  pthread_join(id, nullptr);
}

void set_current_name(const char* name) noexcept {
#if defined(__APPLE__)
  pthread_setname_np(name);
#elif defined(__linux__)
  char shortened[16] = {};
  std::strncpy(shortened, name, sizeof shortened - 1);  // Linux refuses names over 15 bytes
  pthread_setname_np(pthread_self(), shortened);
#elif defined(__FreeBSD__) || defined(__OpenBSD__)
  pthread_set_name_np(pthread_self(), name);
#else
  (void)name;
#endif
}

std::uint64_t process_id() noexcept { return static_cast<std::uint64_t>(getpid()); }

#endif

}  // namespace wordsieve::os_thread
