#include "replace.hpp"

#include <vector>

#include "extract_mapped.hpp"
#include "interrupt.hpp"
#include "normalize.hpp"
#include "utf8.hpp"

namespace wordsieve {

namespace {

struct Edit {
  std::uint64_t start;  // in the input
  std::uint64_t end;
  std::string_view clean_name;
};

// The input range of a match whose offsets were taken back to the input, or false when it has
// none that can be edited safely: an offset without a counterpart (marked by a start after the
// end), a range beyond `limit` (where the edit after it begins), or an offset inside a multi-byte
// character.
bool input_range(const KeywordMatch& match, std::string_view text, std::uint64_t limit, Edit& edit) {
  if (match.start > match.end || match.end > limit) return false;
  if (!is_char_boundary(text, match.start) || !is_char_boundary(text, match.end)) return false;
  edit = {match.start, match.end, match.keyword};
  return true;
}

// Appends `bytes` in slices, with a poll for interruption before each (one per edit at least).
void append_polling(std::string& out, std::string_view bytes) {
  constexpr std::size_t kSlice = std::size_t{1} << 20;
  do {
    const std::string_view slice = bytes.substr(0, kSlice);
    poll_interrupt(1 + slice.size() / kBytesPerUnit);
    out.append(slice);
    bytes.remove_prefix(slice.size());
  } while (!bytes.empty());
}

}  // namespace

std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold, ScanScratch* scratch) {
  OffsetMap map;
  std::vector<KeywordMatch> matches = extract_keywords_mapped(processor, text, threshold, map, scratch);
  std::string result;
  if (matches.empty()) {
    result.reserve(text.size());
    append_polling(result, text);
    return result;
  }
  if (!map.is_identity()) {
    // Search-text offsets back to the input, front to back: they never decrease, so one pass over
    // the map serves them all. An offset without a counterpart marks its match as not editable.
    OffsetMap::Cursor cursor(map);
    for (KeywordMatch& match : matches) {
      poll_interrupt();
      const std::optional<std::uint64_t> start = cursor.to_input(match.start);
      const std::optional<std::uint64_t> end = cursor.to_input(match.end);
      match.start = start && end ? *start : 1;
      match.end = start && end ? *end : 0;
    }
  }

  // Matches come in increasing order and never overlap, so taking them from the last to the first
  // means each edit lies to the left of every edit already taken.
  std::vector<Edit> edits;
  edits.reserve(matches.size());
  std::uint64_t limit = text.size();
  std::uint64_t result_size = text.size();
  for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
    poll_interrupt();
    Edit edit;
    if (!input_range(*it, text, limit, edit)) continue;
    edits.push_back(edit);
    limit = edit.start;
    result_size = result_size - (edit.end - edit.start) + edit.clean_name.size();
  }

  // One copy of the input into a string reserved at its final size, with the clean names in
  // between, front to back. Editing a string in place would move the whole tail once per match,
  // quadratic in the number of matches.
  result.reserve(result_size);
  std::uint64_t read = 0;
  for (auto it = edits.rbegin(); it != edits.rend(); ++it) {
    append_polling(result, text.substr(read, it->start - read));
    append_polling(result, it->clean_name);
    read = it->end;
  }
  append_polling(result, text.substr(read));
  return result;
}

}  // namespace wordsieve
