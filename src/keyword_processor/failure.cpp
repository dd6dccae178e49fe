#include "failure.hpp"

#include <cstdio>
#include <functional>
#include <string_view>
#include <thread>

namespace wordsieve {

void fail(std::string message, const char* file_name, unsigned line) {
  // One short report per failure, written before the failure leaves the code that detected it, so
  // that it is visible even when the caller turns the failure into something quieter.
  const auto thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  // The compiler records the path it was given; the part from the source root on is what a reader
  // of a report needs.
  std::string_view file = file_name;
  if (const auto src = file.rfind("src/"); src != std::string_view::npos) file.remove_prefix(src);
  std::fprintf(stderr, "wordsieve: internal failure in thread %zx at %.*s:%u: %s\n",
               static_cast<size_t>(thread), static_cast<int>(file.size()), file.data(),
               line, message.c_str());
  std::fflush(stderr);
  throw InternalFailure(std::move(message));
}

}  // namespace wordsieve
