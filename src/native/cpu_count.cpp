#include "cpu_count.hpp"

#include <thread>

#if !defined(WORDSIEVE_PORTABLE_ONLY) && defined(__linux__)
#define WORDSIEVE_CPUS_AFFINITY 1
#include <sched.h>
#include <unistd.h>
#include <cerrno>
#elif !defined(WORDSIEVE_PORTABLE_ONLY) && defined(_WIN32)
#define WORDSIEVE_CPUS_WINDOWS 1
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // GetActiveProcessorCount: Windows 7
#endif
#include <windows.h>
#elif !defined(WORDSIEVE_PORTABLE_ONLY) && (defined(__APPLE__) || defined(__unix__))
#define WORDSIEVE_CPUS_SYSCONF 1
#include <unistd.h>
#endif

namespace wordsieve {

namespace {

std::size_t reported_by_library() {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace

#if defined(WORDSIEVE_CPUS_AFFINITY)

std::size_t logical_processor_count() {
  // The affinity mask is what the process may actually use; grow the set for machines with more
  // processors than the default set holds.
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const int error = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) {
      if (count > 0) return static_cast<std::size_t>(count);
      break;
    }
    if (error != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : reported_by_library();
}

#elif defined(WORDSIEVE_CPUS_WINDOWS)

std::size_t logical_processor_count() {
  // Every group: a process's threads are spread over all groups since Windows 11.
  const DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return active > 0 ? active : reported_by_library();
}

#elif defined(WORDSIEVE_CPUS_SYSCONF)

std::size_t logical_processor_count() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : reported_by_library();
}

#else

std::size_t logical_processor_count() { return reported_by_library(); }

#endif

}  // namespace wordsieve
