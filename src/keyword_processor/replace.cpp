#include "replace.hpp"

#include <cstring>
#include <vector>

#include "extract_mapped.hpp"
#include "normalize.hpp"
#include "utf8.hpp"

namespace wordsieve {

namespace {

struct Edit {
  std::uint64_t start;  // in the input
  std::uint64_t end;
  std::string_view clean_name;
};

// The input range of a match, or false when it has none that can be edited safely: an offset that
// falls inside a character whose length lowercasing changed, a start after the end, a range beyond
// `limit` (where the edit after it begins), or an offset inside a multi-byte character.
bool input_range(const KeywordMatch& match, const OffsetMap& map, std::string_view text,
                 std::uint64_t limit, Edit& edit) {
  std::uint64_t start = match.start;
  std::uint64_t end = match.end;
  if (!map.is_identity()) {
    const std::optional<std::uint64_t> mapped_start = map.to_input(start);
    const std::optional<std::uint64_t> mapped_end = map.to_input(end);
    if (!mapped_start || !mapped_end) return false;
    start = *mapped_start;
    end = *mapped_end;
  }
  if (start > end || end > limit) return false;
  if (!is_char_boundary(text, start) || !is_char_boundary(text, end)) return false;
  edit = {start, end, match.keyword};
  return true;
}

}  // namespace

std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold, ScanScratch* scratch) {
  OffsetMap map;
  const std::vector<KeywordMatch> matches =
      extract_keywords_mapped(processor, text, threshold, map, scratch);
  if (matches.empty()) return std::string(text);

  // Matches come in increasing order and never overlap, so taking them from the last to the first
  // means each edit lies to the left of every edit already taken.
  std::vector<Edit> edits;
  edits.reserve(matches.size());
  std::uint64_t limit = text.size();
  std::uint64_t result_size = text.size();
  for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
    Edit edit;
    if (!input_range(*it, map, text, limit, edit)) continue;
    edits.push_back(edit);
    limit = edit.start;
    result_size = result_size - (edit.end - edit.start) + edit.clean_name.size();
  }

  // One copy of the input, written from the end: after each edit the bytes between it and the
  // previous edit go in front of what is written, then its clean name. Editing a string in place
  // would move the whole tail once per match, quadratic in the number of matches.
  std::string result(result_size, '\0');
  char* const out = result.data();
  std::uint64_t write = result_size;
  std::uint64_t read = text.size();
  for (const Edit& edit : edits) {
    const std::uint64_t kept = read - edit.end;
    write -= kept;
    if (kept != 0) std::memcpy(out + write, text.data() + edit.end, kept);
    write -= edit.clean_name.size();
    if (!edit.clean_name.empty()) std::memcpy(out + write, edit.clean_name.data(), edit.clean_name.size());
    read = edit.start;
  }
  if (read != 0) std::memcpy(out, text.data(), read);  // write == read here
  return result;
}

}  // namespace wordsieve
