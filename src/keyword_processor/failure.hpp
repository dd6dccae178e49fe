// Internal failures of the engine: a violated precondition (a threshold outside 0..1), a failed
// consistency check, or malformed persisted data. They abandon the operation; whoever called the
// engine catches `InternalFailure` and reports it. The engine returns no error values.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace wordsieve {

// Every failure the engine and the layers above it raise, whoever is at fault: the code itself (a
// failed consistency check) or the caller (a threshold outside 0..1, a malformed persisted state,
// an object the interpreter could not make). The name says how it is reported, not whose fault it
// is: to Python each one is the same exception, outside the `Exception` hierarchy.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A failure that passes on an error reported by a step that can fail (a decoder's error, the
// interpreter's text for an object it could not make) is this prefix and the error's rendering.
// Callers and stored expectations match on the whole message.
inline constexpr std::string_view kErrorValuePrefix = "called `Result::unwrap()` on an `Err` value: ";

// Writes a one-line report (thread, source position, message) to standard error where the failure
// arises, then throws `InternalFailure` carrying `message`. The position defaults to the caller's
// (the builtins work with every compiler we build with, including clang with older C++ libraries
// that lack <source_location>).
[[noreturn]] void fail(std::string message, const char* file = __builtin_FILE(),
                       unsigned line = __builtin_LINE());

}  // namespace wordsieve
