// What the C++ benchmarks read: whole files, keyword lists of one keyword per line, and the
// thresholds named on the command line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// The whole file; exits with status 2 when it cannot be read.
inline std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Calls add(line) for each non-empty line of `list`; returns how many.
template <class Add>
std::size_t for_each_keyword(const std::string& list, Add add) {
  std::size_t count = 0;
  std::istringstream lines(list);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    add(line);
    ++count;
  }
  return count;
}

// The thresholds given as arguments from argv[first] on, or 0.9, 0.8 and 0.6.
inline std::vector<float> thresholds_from(int argc, char** argv, int first) {
  std::vector<float> thresholds;
  for (int i = first; i < argc; ++i) thresholds.push_back(std::strtof(argv[i], nullptr));
  if (thresholds.empty()) thresholds = {0.9f, 0.8f, 0.6f};
  return thresholds;
}

}  // namespace bench
