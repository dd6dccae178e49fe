// Time to write and read a processor's persisted state, next to building the same processor with
// add_keyword, for the first N keywords of a list (pseudo-words top the list up past its end).
//
//   state_bench KEYWORDS_FILE [N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "keyword_processor/processor.hpp"
#include "native/processor_state.hpp"

namespace {

std::vector<std::string> read_lines(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

template <class Work>
double median_ms(int runs, Work work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: state_bench KEYWORDS_FILE [N]\n");
    return 2;
  }
  std::vector<std::string> words = read_lines(argv[1]);
  const std::size_t wanted = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : words.size();
  // Deterministic pseudo-words past the end of the list.
  std::uint64_t seed = 12345;
  static const char kLetters[] = "bcdfghklmnprstvz";
  static const char kVowels[] = "aeiou";
  while (words.size() < wanted) {
    std::string w;
    const int syllables = 2 + static_cast<int>(seed % 3);
    for (int s = 0; s < syllables; ++s) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      w += kLetters[(seed >> 33) % 16];
      w += kVowels[(seed >> 41) % 5];
    }
    words.push_back(w);
  }
  words.resize(wanted);

  auto build = [&] {
    wordsieve::KeywordProcessor p;
    for (const std::string& w : words) p.add_keyword(w, w);
    return p;
  };
  const wordsieve::KeywordProcessor built = build();
  std::string state(wordsieve::processor_state_size(built), '\0');
  wordsieve::write_processor_state(built, state.data(), state.size());

  const int runs = 15;
  if (const char* reads = std::getenv("STATE_BENCH_READS_ONLY")) {  // for profiling the reader
    const double ms = median_ms(std::atoi(reads), [&] { static_cast<void>(wordsieve::read_processor_state(state)); });
    std::printf("read and destroy %.2f ms\n", ms);
    return 0;
  }
  const double build_ms = median_ms(runs, [&] { static_cast<void>(build()); });
  const double write_ms = median_ms(runs, [&] {
    std::string out(wordsieve::processor_state_size(built), '\0');
    wordsieve::write_processor_state(built, out.data(), out.size());
  });
  // Reading is timed without the destruction of what it built.
  std::vector<double> read_times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    wordsieve::KeywordProcessor loaded = wordsieve::read_processor_state(state);
    read_times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(read_times.begin(), read_times.end());
  const double read_ms = read_times[read_times.size() / 2];
  std::printf("%zu keywords, state %zu bytes: build %.2f ms, write %.2f ms, read %.2f ms (build/read %.2f)\n",
              words.size(), state.size(), build_ms, write_ms, read_ms, build_ms / read_ms);
  return 0;
}
