// The fuzzy search next to the literal work-stack search it must agree with (the test oracle), on the
// same keywords, text and thresholds; checks that both report the same matches.
//
//   fuzzy_bench KEYWORDS_FILE TEXT_FILE [TEXT_BYTES] [THRESHOLDS...]
//
// Prints one JSON object per threshold. The literal search costs time exponential in the edits it
// allows, so it runs on growing prefixes of the first TEXT_BYTES (default 16384) bytes of the text
// and stops at the first prefix that takes more than about two seconds; both searches are timed on
// that same prefix.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/cpp/fuzzy_oracle.hpp"
#include "bench_input.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/processor.hpp"

namespace {

template <class Work>
double median_seconds(Work&& work, int runs) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

bool same(const std::vector<wordsieve::KeywordMatch>& a, const std::vector<wordsieve::KeywordMatch>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].keyword != b[i].keyword || a[i].similarity != b[i].similarity || a[i].start != b[i].start ||
        a[i].end != b[i].end) {
      return false;
    }
  }
  return true;
}

// A cut at the last space before `limit`, so no word is split.
std::string_view prefix(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text;
  const std::size_t space = text.rfind(' ', limit);
  return text.substr(0, space == std::string_view::npos || space == 0 ? limit : space);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s KEYWORDS_FILE TEXT_FILE [TEXT_BYTES] [THRESHOLDS...]\n", argv[0]);
    return 2;
  }
  const std::string keyword_file = bench::read_file(argv[1]);
  const std::string text = bench::read_file(argv[2]);
  const std::size_t limit = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 16384;
  const std::vector<float> thresholds = bench::thresholds_from(argc, argv, 4);

  wordsieve::KeywordProcessor processor(false, false);
  const std::size_t keywords = bench::for_each_keyword(
      keyword_file, [&](const std::string& line) { processor.add_keyword(line, std::nullopt); });

  constexpr double kLiteralSeconds = 2.0;
  constexpr std::uint64_t kNoBudget = std::numeric_limits<std::uint64_t>::max();
  for (float t : thresholds) {
    // Grow the prefix while the literal search stays within its time.
    std::string_view part = prefix(text, std::min<std::size_t>(1024, limit));
    double literal_s = 0;
    std::vector<wordsieve::KeywordMatch> literal;
    for (;;) {
      const auto t0 = std::chrono::steady_clock::now();
      literal = wordsieve::oracle::literal_extract(processor, part, t, kNoBudget);
      literal_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (part.size() >= std::min(limit, text.size()) || literal_s > kLiteralSeconds / 4) break;
      part = prefix(text, std::min(limit, part.size() * 4));
    }
    const auto fast = wordsieve::extract_keywords(processor, part, t);
    const int runs = 7;
    const double fast_s = median_seconds([&] { (void)wordsieve::extract_keywords(processor, part, t); }, runs);
    std::printf(
        "{\"threshold\": %.2f, \"keywords\": %zu, \"bytes\": %zu, \"matches\": %zu, \"identical\": %s, "
        "\"fast_s\": %.6g, \"literal_s\": %.6g, \"fast_mb_s\": %.4g, \"literal_mb_s\": %.4g}\n",
        static_cast<double>(t), keywords, part.size(), fast.size(), same(fast, literal) ? "true" : "false",
        fast_s, literal_s, static_cast<double>(part.size()) / fast_s / 1e6,
        static_cast<double>(part.size()) / literal_s / 1e6);
    std::fflush(stdout);
  }
  return 0;
}
