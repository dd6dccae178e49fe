// Internal failures of the engine: a violated precondition (a threshold outside 0..1), a failed
// consistency check, or malformed persisted data. They abandon the operation; whoever called the
// engine catches `InternalFailure` and reports it. The engine returns no error values.
#pragma once

#include <exception>
#include <string>

namespace wordsieve {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes a one-line report (thread, source position, message) to standard error where the failure
// arises, then throws `InternalFailure` carrying `message`. The position defaults to the caller's
// (the builtins work with every compiler we build with, including clang with older C++ libraries
// that lack <source_location>).
[[noreturn]] void fail(std::string message, const char* file = __builtin_FILE(),
                       unsigned line = __builtin_LINE());

}  // namespace wordsieve
