// Test cases kept in a data file that the C++ and the Python tests both read (tests/data/): a
// reader for the JSON they are written in (objects, arrays, strings, numbers, true, false, null;
// strings hold UTF-8 as written, with the escapes \" \\ \/ \b \f \n \r \t and \u for the BMP).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wordsieve::test_support {

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  // A member of an object, or null when it has none of that name.
  const Json& operator[](std::string_view name) const {
    static const Json null;
    for (const auto& [key, value] : members) {
      if (key == name) return value;
    }
    return null;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  // The document, or a test failure naming the offset where it stops making sense.
  Json document() {
    Json value = next();
    skip_space();
    if (at_ != text_.size()) fail("text after the document");
    return value;
  }

 private:
  Json next() {
    skip_space();
    Json value;
    if (at_ >= text_.size()) return fail("unexpected end"), value;
    const char c = text_[at_];
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      value.kind = c == '{' ? Json::kObject : Json::kArray;
      ++at_;
      skip_space();
      if (consume(close)) return value;
      do {
        if (value.kind == Json::kArray) {
          value.items.push_back(next());
          continue;
        }
        skip_space();
        std::string key = string();
        skip_space();
        if (!consume(':')) fail("':' expected");
        value.members.emplace_back(std::move(key), next());
      } while (skip_space(), consume(','));
      if (!consume(close)) fail("',' or the end of a list expected");
    } else if (c == '"') {
      value.kind = Json::kString;
      value.string = string();
    } else if (text_.substr(at_, 4) == "null") {
      at_ += 4;
    } else if (text_.substr(at_, 4) == "true" || text_.substr(at_, 5) == "false") {
      value.kind = Json::kBool;
      value.boolean = c == 't';
      at_ += value.boolean ? 4 : 5;
    } else {
      const std::string rest(text_.substr(at_, 32));
      char* end = nullptr;
      value.kind = Json::kNumber;
      value.number = std::strtod(rest.c_str(), &end);
      if (end == rest.c_str()) fail("a value expected");
      at_ += static_cast<std::size_t>(end - rest.c_str());
    }
    return value;
  }

  std::string string() {
    std::string out;
    if (!consume('"')) return fail("'\"' expected"), out;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\' && at_ < text_.size()) {
        const char escaped = text_[at_++];
        const std::string_view plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
        if (escaped == 'u') {
          const unsigned cp = static_cast<unsigned>(std::stoul(std::string(text_.substr(at_, 4)), nullptr, 16));
          at_ += 4;
          if (cp < 0x80) {
            out += static_cast<char>(cp);
          } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          }
          continue;
        }
        const std::size_t which = plain.find(escaped);
        if (which == std::string_view::npos) fail("unknown escape");
        c = which == std::string_view::npos ? escaped : meant[which];
      }
      out += c;
    }
    if (!consume('"')) fail("unterminated string");
    return out;
  }

  void skip_space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' ||
                                  text_[at_] == '\t')) {
      ++at_;
    }
  }
  bool consume(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  void fail(const char* what) {
    ADD_FAILURE() << "case file, offset " << at_ << ": " << what;
    at_ = text_.size();
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// tests/data/<name>, found from this file's folder upwards (the tests may sit at any depth).
inline Json read_case_file(const char* name) {
  auto folder = std::filesystem::path(__FILE__).parent_path();
  while (!std::filesystem::is_directory(folder / "data") && folder.has_relative_path()) {
    folder = folder.parent_path();
  }
  std::ifstream in(folder / "data" / name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_TRUE(in.good() || in.eof()) << "cannot read " << (folder / "data" / name);
  return JsonReader(text.str()).document();
}

}  // namespace wordsieve::test_support
