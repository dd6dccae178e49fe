// One line per way of searching a text: the number of matches and a 64-bit FNV-1a digest of all of
// them (start, end, similarity in hundredths, clean name), and of the replaced text. Builds for
// different systems, compilers and fast paths must print the same lines for the same files;
// scripts/cross_check.sh compares them.
//
//   extract_digest KEYWORDS_FILE TEXT_FILE [FUZZY_SLICE_BYTES [EXACT_ROUNDS]]
//
// KEYWORDS_FILE holds one keyword per line, with an optional clean name in a second tab-separated
// column. Fuzzy
// extraction runs on the first FUZZY_SLICE_BYTES of the text (default 65536). EXACT_ROUNDS (default
// 1) repeats the exact extraction ignoring case, so that timing the whole command (its CPU time)
// measures that extraction: the way the portable build is compared with the fast one.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench_input.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/processor.hpp"
#include "keyword_processor/replace.hpp"

namespace {

struct Digest {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  void bytes(const void* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      h ^= static_cast<const unsigned char*>(p)[i];
      h *= 0x100000001b3ULL;
    }
  }
  void number(std::uint64_t v) {
    unsigned char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(v >> (8 * i));
    bytes(le, 8);
  }
};

void print_matches(const char* name, const std::vector<wordsieve::KeywordMatch>& matches) {
  Digest d;
  for (const wordsieve::KeywordMatch& m : matches) {
    d.number(m.start);
    d.number(m.end);
    d.number(static_cast<std::uint64_t>(std::lround(static_cast<double>(m.similarity) * 100)));
    d.number(m.keyword.size());
    d.bytes(m.keyword.data(), m.keyword.size());
  }
  std::printf("%-28s %8zu matches  %016llx\n", name, matches.size(),
              static_cast<unsigned long long>(d.h));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s KEYWORDS_FILE TEXT_FILE [FUZZY_SLICE_BYTES]\n", argv[0]);
    return 2;
  }
  const std::string keyword_file = bench::read_file(argv[1]);
  const std::string text = bench::read_file(argv[2]);
  const std::size_t slice = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 65536;
  const std::size_t rounds = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;

  wordsieve::KeywordProcessor folded(false, false);
  wordsieve::KeywordProcessor exact_case(true, false);
  wordsieve::KeywordProcessor overlapping(false, true);
  std::istringstream lines(keyword_file);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::size_t tab = line.find('\t');
    const std::string keyword = line.substr(0, tab);
    std::optional<std::string_view> clean;
    if (tab != std::string::npos) {
      const std::size_t end = line.find('\t', tab + 1);  // later columns are ignored
      clean = std::string_view(line).substr(tab + 1, end == std::string::npos ? end : end - tab - 1);
    }
    folded.add_keyword(keyword, clean);
    exact_case.add_keyword(keyword, clean);
    overlapping.add_keyword(keyword, clean);
  }
  std::printf("%zu keywords, text of %zu bytes\n", static_cast<std::size_t>(folded.num_keywords()),
              text.size());

  for (std::size_t i = 1; i < rounds; ++i) {
    volatile std::size_t found = wordsieve::extract_keywords(folded, text, std::nullopt).size();
    (void)found;
  }
  print_matches("exact, ignoring case", wordsieve::extract_keywords(folded, text, std::nullopt));
  print_matches("exact, case-sensitive", wordsieve::extract_keywords(exact_case, text, std::nullopt));
  print_matches("exact, overlaps", wordsieve::extract_keywords(overlapping, text, std::nullopt));
  const std::string replaced = wordsieve::replace_keywords(folded, text, std::nullopt);
  Digest d;
  d.bytes(replaced.data(), replaced.size());
  std::printf("%-28s %8zu bytes    %016llx\n", "replaced, ignoring case", replaced.size(),
              static_cast<unsigned long long>(d.h));

  const std::string_view part = std::string_view(text).substr(0, std::min(slice, text.size()));
  for (const float threshold : {0.9f, 0.8f, 0.7f}) {
    char name[64];
    std::snprintf(name, sizeof name, "fuzzy %.1f, ignoring case", static_cast<double>(threshold));
    print_matches(name, wordsieve::extract_keywords(folded, part, threshold));
  }
  return 0;
}
