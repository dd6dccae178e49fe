// The owned match record held by every Python match object, and its persisted form:
//
//   u64 L | L bytes of UTF-8 keyword | f32 similarity (raw bits) | u64 start | u64 end   (all LE)
//
// 28 + L bytes, no header. No Python here, so the C++ tests and the fuzzers use it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wordsieve {

struct MatchRecord {
  std::string keyword;
  float similarity;
  std::uint64_t start;
  std::uint64_t end;
};

// The same fields as the writer reads them, the keyword as a view.
struct MatchFields {
  std::string_view keyword;
  float similarity;
  std::uint64_t start;
  std::uint64_t end;
};

inline std::size_t match_state_size(const MatchFields& fields) noexcept { return 28 + fields.keyword.size(); }
inline std::size_t match_state_size(const MatchRecord& record) noexcept { return 28 + record.keyword.size(); }

// Writes the state into `out`, which holds match_state_size(...) bytes.
void write_match_state(const MatchFields& fields, char* out) noexcept;
inline void write_match_state(const MatchRecord& record, char* out) noexcept {
  write_match_state(MatchFields{record.keyword, record.similarity, record.start, record.end}, out);
}

// Decodes a match state. A malformed state is an internal failure (`fail`) with the decoder's error
// rendering; bytes after `end` are ignored.
MatchRecord read_match_state(std::string_view state);

}  // namespace wordsieve
