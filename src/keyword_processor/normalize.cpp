// Temporary ASCII-only stand-in; replaced by the Unicode implementation.
#include "normalize.hpp"
namespace wordsieve {
std::string normalize_text(std::string_view text) { std::string s(text); for (auto& c : s) if (c >= 'A' && c <= 'Z') c += 32; return s; }
std::string normalize_text(std::string_view text, OffsetMap& map) { map.clear(); return normalize_text(text); }
std::optional<std::uint64_t> OffsetMap::to_input(std::uint64_t offset) const noexcept { return offset; }
}
