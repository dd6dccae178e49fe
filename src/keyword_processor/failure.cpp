#include "failure.hpp"

#include <cstdio>
#include <functional>
#include <thread>

namespace wordsieve {

void fail(std::string message, std::source_location where) {
  // One short report per failure, written before the failure leaves the code that detected it, so
  // that it is visible even when the caller turns the failure into something quieter.
  const auto thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  std::fprintf(stderr, "wordsieve: internal failure in thread %zx at %s:%u: %s\n",
               static_cast<size_t>(thread), where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
  std::fflush(stderr);
  throw InternalFailure(std::move(message));
}

}  // namespace wordsieve
