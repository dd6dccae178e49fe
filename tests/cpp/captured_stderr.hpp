// Standard error captured over a stretch of a test. Every internal failure writes a report where it
// arises; a test that provokes failures on purpose checks those reports instead of printing them,
// so a passing run is quiet.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace wordsieve::test_support {

class CapturedStderr {
 public:
  CapturedStderr() { testing::internal::CaptureStderr(); }
  ~CapturedStderr() {
    if (capturing_) (void)testing::internal::GetCapturedStderr();
  }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // Stops capturing. Every line written must be an internal-failure report
  // ("wordsieve: internal failure in thread T at FILE:LINE: MESSAGE"); returns their messages.
  std::vector<std::string> reports() {
    capturing_ = false;
    std::istringstream lines(testing::internal::GetCapturedStderr());
    std::vector<std::string> messages;
    for (std::string line; std::getline(lines, line);) {
      const std::string head = "wordsieve: internal failure in thread ";
      const std::size_t at = line.find(" at src/");
      const std::size_t colon = at == std::string::npos ? at : line.find(": ", at);
      if (line.rfind(head, 0) != 0 || colon == std::string::npos) {
        ADD_FAILURE() << "not an internal-failure report on standard error: " << line;
        continue;
      }
      messages.push_back(line.substr(colon + 2));
    }
    return messages;
  }

 private:
  bool capturing_ = true;
};

}  // namespace wordsieve::test_support
