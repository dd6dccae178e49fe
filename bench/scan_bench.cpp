// Throughput of extraction and replacement over a real text, next to memcpy and memchr over the
// same bytes.
//
//   scan_bench KEYWORDS_FILE TEXT_FILE [FUZZY_SLICE_BYTES] [THRESHOLDS...]
//
// KEYWORDS_FILE holds one keyword per line. Fuzzy extraction runs on the first FUZZY_SLICE_BYTES of
// the text (default 262144; 0 leaves it out), since at low thresholds it is far slower than the
// exact search.
// When the environment variable SCAN_BENCH_ONLY is set, only measurements whose name contains it run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_input.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/processor.hpp"
#include "keyword_processor/replace.hpp"

namespace {

// Runs `work` until at least `min_seconds` have passed; returns MB/s over `bytes` per run.
double throughput(std::size_t bytes, const std::function<std::size_t()>& work,
                  std::size_t& result, double min_seconds = 0.5) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  std::size_t runs = 0;
  double elapsed = 0;
  do {
    result = work();
    ++runs;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < min_seconds);
  return static_cast<double>(bytes) * static_cast<double>(runs) / elapsed / 1e6;
}

void report(const char* name, std::size_t bytes, const std::function<std::size_t()>& work,
            const char* unit) {
  const char* only = std::getenv("SCAN_BENCH_ONLY");
  if (only != nullptr && std::strstr(name, only) == nullptr) return;
  std::size_t result = 0;
  const double mbs = throughput(bytes, work, result);
  std::printf("%-34s %10.1f MB/s   (%zu bytes, %zu %s)\n", name, mbs, bytes, result, unit);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s KEYWORDS_FILE TEXT_FILE [FUZZY_SLICE_BYTES] [THRESHOLDS...]\n",
                 argv[0]);
    return 2;
  }
  const std::string keyword_file = bench::read_file(argv[1]);
  const std::string text = bench::read_file(argv[2]);
  const std::size_t slice = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 262144;
  const std::vector<float> thresholds = bench::thresholds_from(argc, argv, 4);

  wordsieve::KeywordProcessor folded(false, false);
  wordsieve::KeywordProcessor exact_case(true, false);
  const std::size_t keywords = bench::for_each_keyword(keyword_file, [&](const std::string& line) {
    folded.add_keyword(line, std::nullopt);
    exact_case.add_keyword(line, std::nullopt);
  });
  std::printf("%zu keywords, text of %zu bytes\n", keywords, text.size());

  std::string copy(text.size(), '\0');
  report("memcpy", text.size(), [&] {
    std::memcpy(copy.data(), text.data(), text.size());
    return static_cast<std::size_t>(static_cast<unsigned char>(copy[text.size() / 2]));
  }, "");
  report("memchr (absent byte)", text.size(), [&] {
    return static_cast<std::size_t>(std::memchr(text.data(), 0x01, text.size()) != nullptr);
  }, "");
  report("exact, case-insensitive", text.size(), [&] {
    return wordsieve::extract_keywords(folded, text, std::nullopt).size();
  }, "matches");
  report("exact, case-sensitive", text.size(), [&] {
    return wordsieve::extract_keywords(exact_case, text, std::nullopt).size();
  }, "matches");
  report("replace, case-insensitive", text.size(), [&] {
    return wordsieve::replace_keywords(folded, text, std::nullopt).size();
  }, "bytes out");

  const std::string_view part = std::string_view(text).substr(0, std::min(slice, text.size()));
  if (part.empty()) return 0;
  for (float t : thresholds) {
    char name[64];
    std::snprintf(name, sizeof name, "fuzzy %.2f, case-insensitive", static_cast<double>(t));
    report(name, part.size(), [&] {
      return wordsieve::extract_keywords(folded, part, t).size();
    }, "matches");
  }
  return 0;
}
