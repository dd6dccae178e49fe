#include "processor_state.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "keyword_processor/failure.hpp"
#include "keyword_processor/interrupt.hpp"
#include "keyword_processor/utf8.hpp"
#include "state_codec.hpp"

namespace wordsieve {

namespace {

using state_codec::Cursor;
using state_codec::decode_error;
using state_codec::store_u64;

constexpr std::uint64_t kWordCount = WordSet::kWords;
constexpr std::size_t kSetBytes = 8 + WordSet::kWords * 8;

bool is_scalar_value(std::uint32_t cp) noexcept {
  return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

std::size_t utf8_width(std::uint32_t cp) noexcept {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// ---------------------------------------------------------------------------------------------
// Writing

// Writes into the caller's buffer and refuses to pass its end: the size was computed by a separate
// pass, and a mismatch between the passes must not become a buffer overrun.
class Writer {
 public:
  Writer(char* out, std::size_t size) noexcept : out_(out), size_(size) {}

  char* reserve(std::size_t n) {
    if (n > size_ - pos_) fail("processor state outgrew the size computed for it");
    char* at = out_ + pos_;
    pos_ += n;
    return at;
  }

  void u64(std::uint64_t value) { store_u64(reserve(8), value); }
  void byte(unsigned char value) { *reserve(1) = static_cast<char>(value); }

  void key(std::uint32_t cp) {
    const std::size_t width = utf8_width(cp);
    auto* at = reinterpret_cast<unsigned char*>(reserve(width));
    if (width == 1) {
      at[0] = static_cast<unsigned char>(cp);
      return;
    }
    static constexpr unsigned char kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t k = width - 1; k > 0; --k) {
      at[k] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      cp >>= 6;
    }
    at[0] = static_cast<unsigned char>(kLead[width] | cp);
  }

  void clean_name(const CleanName& name) {
    if (!name.has_value()) {
      byte(0);
      return;
    }
    const std::string_view text = name.view();
    byte(1);
    u64(text.size());
    if (!text.empty()) std::copy(text.begin(), text.end(), reserve(text.size()));
  }

  void finish() const {
    if (pos_ != size_) fail("processor state fell short of the size computed for it");
  }

 private:
  char* out_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Reading

[[noreturn]] void invalid_key() { decode_error("InvalidCharEncoding"); }

// One key: the UTF-8 form of one Unicode scalar value. A sequence cut off by the end of the input is
// an invalid key, not an unexpected end: only its first byte counts as the key's own read.
std::uint32_t read_key(Cursor& in) {
  unsigned char seq[4];
  seq[0] = in.byte();
  const unsigned char first = seq[0];
  std::size_t width;
  if (first < 0x80) {
    return first;
  } else if (first >= 0xC2 && first <= 0xDF) {
    width = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    width = 3;
  } else if (first >= 0xF0 && first <= 0xF4) {
    width = 4;
  } else {
    invalid_key();
  }
  if (in.remaining() < width - 1) invalid_key();
  for (std::size_t k = 1; k < width; ++k) seq[k] = in.byte();
  // The strict validator rejects overlong forms, surrogates and values above U+10FFFF.
  if (!check_utf8(std::string_view(reinterpret_cast<const char*>(seq), width)).ok) invalid_key();
  std::uint32_t cp = first & (0xFF >> (width + 1));
  for (std::size_t k = 1; k < width; ++k) cp = (cp << 6) | (seq[k] & 0x3F);
  return cp;
}

void read_clean_name(Cursor& in, CleanName& out) {
  const unsigned char tag = in.byte();
  if (tag == 0) return;
  if (tag != 1) decode_error("InvalidTagEncoding(" + std::to_string(tag) + ")");
  const std::string_view text = in.text();
  poll_interrupt(text.size() / kBytesPerUnit);
  out.assign(text);
}

bool read_flag(Cursor& in) {
  const unsigned char value = in.byte();
  if (value > 1) decode_error("InvalidBoolEncoding(" + std::to_string(value) + ")");
  return value == 1;
}

// A child that has been read completely but not yet put into its parent's map.
struct Pending {
  std::uint32_t key;
  std::unique_ptr<TrieNode> child;
};

// Puts the finished children of one node, pending[begin..], into its map. A state written by this
// module lists every node's keys in ascending order, once each: those children are handed to the map
// in one step. Otherwise they are attached in ascending key order: a foreign state may list a
// million keys above 0xFF in any order, and the map's overflow list is cheap only to append to.
// When a key repeats, the later entry of the state wins and the earlier subtrees are dropped with
// the pending list.
void attach_children(TrieNode& node, std::vector<Pending>& pending, std::size_t begin,
                     std::vector<ChildMap::Entry>& scratch) {
  const auto first = pending.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto last = pending.end();
  if (first == last) return;
  const bool ascending =
      std::adjacent_find(first, last, [](const Pending& a, const Pending& b) {
        return a.key >= b.key;
      }) == last;
  if (ascending && node.children.empty()) {
    scratch.clear();
    for (auto it = first; it != last; ++it) scratch.push_back({it->key, it->child.get()});
    node.children.adopt_sorted(scratch.data(), scratch.size());
    for (auto it = first; it != last; ++it) static_cast<void>(it->child.release());
    pending.erase(first, last);
    return;
  }
  const auto by_key = [](const Pending& a, const Pending& b) { return a.key < b.key; };
  if (!ascending) std::stable_sort(first, last, by_key);
  for (auto it = first; it != last; ++it) {
    const auto after = std::next(it);
    if (after != last && after->key == it->key) continue;  // a later entry replaces this one
    node.children.insert(it->key, std::move(it->child));
  }
  pending.erase(first, last);
}

// One node still being read. Its finished children wait in the shared pending list from
// `pending_begin` on; a node's descendants are always finished before it, so they form the tail.
// An only child (the common case: the tail of every keyword is a chain) goes into its parent's map
// the moment it is created, and its frame does not own it.
struct Frame {
  std::unique_ptr<TrieNode> owned;  // null when the node is already in its parent's map
  TrieNode* node;
  std::uint64_t unread;             // children announced but not read yet
  std::size_t pending_begin;
  std::uint32_t key;                // the key under which the node goes into its parent
};

std::unique_ptr<TrieNode> read_trie(Cursor& in) {
  std::vector<Frame> stack;
  std::vector<Pending> pending;
  std::vector<ChildMap::Entry> scratch;
  // Neither list is reserved from announced counts: both grow only with bytes actually read.
  {
    auto root = std::make_unique<TrieNode>();
    TrieNode* node = root.get();
    stack.push_back({std::move(root), node, in.u64(), 0, 0});
  }
  while (true) {
    poll_interrupt();
    Frame& top = stack.back();
    if (top.unread > 0) {
      --top.unread;
      const std::uint32_t key = read_key(in);
      const std::uint64_t count = in.u64();
      auto child = std::make_unique<TrieNode>();
      TrieNode* node = child.get();
      if (top.unread == 0 && top.pending_begin == pending.size() && top.node->children.adopt_only(key, node)) {
        child.release();  // owned by the parent's map from now on
      }
      const std::size_t pending_begin = pending.size();
      stack.push_back({std::move(child), node, count, pending_begin, key});
      continue;
    }
    attach_children(*top.node, pending, top.pending_begin, scratch);
    read_clean_name(in, top.node->clean_name);
    if (stack.size() == 1) break;
    if (top.owned) pending.push_back({top.key, std::move(top.owned)});
    stack.pop_back();
  }
  return std::move(stack.front().owned);
}

}  // namespace

std::size_t processor_state_size(const KeywordProcessor& processor) {
  std::size_t size = kSetBytes + 2;
  std::vector<const TrieNode*> stack{&processor.root};
  while (!stack.empty()) {
    const TrieNode* node = stack.back();
    stack.pop_back();
    poll_interrupt();
    size += 8 + 1;
    if (node->clean_name.has_value()) size += 8 + node->clean_name.view().size();
    std::size_t pos = 0;
    ChildMap::Entry entry;
    while (node->children.next(pos, entry)) {
      // The engine only creates byte keys and the reader only accepts scalar values; anything else
      // would be written as bytes no reader accepts, so it is a broken trie, not a state.
      if (!is_scalar_value(entry.key)) {
        fail("trie key " + std::to_string(entry.key) + " is not a Unicode scalar value");
      }
      size += utf8_width(entry.key);
      stack.push_back(entry.child);
    }
  }
  return size;
}

void write_processor_state(const KeywordProcessor& processor, char* out, std::size_t size) {
  Writer w(out, size);
  w.u64(kWordCount);
  char* words = w.reserve(WordSet::kWords * 8);
  for (std::size_t i = 0; i < WordSet::kWords; ++i) {
    store_u64(words + 8 * i, processor.non_word_boundaries.words[i]);
  }

  struct Frame {
    const TrieNode* node;
    std::size_t pos;  // position in the node's child map
  };
  std::vector<Frame> stack{{&processor.root, 0}};
  w.u64(processor.root.children.size());
  while (!stack.empty()) {
    poll_interrupt();
    Frame& top = stack.back();
    ChildMap::Entry entry;
    if (top.node->children.next(top.pos, entry)) {
      w.key(entry.key);
      w.u64(entry.child->children.size());
      stack.push_back({entry.child, 0});  // `top` is not used after this
      continue;
    }
    poll_interrupt(top.node->clean_name.view().size() / kBytesPerUnit);
    w.clean_name(top.node->clean_name);
    stack.pop_back();
  }
  w.byte(processor.case_sensitive ? 1 : 0);
  w.byte(processor.allow_overlaps ? 1 : 0);
  w.finish();
}

KeywordProcessor read_processor_state(std::string_view state) {
  KeywordProcessor result;
  Cursor in(state);

  // Every announced word needs its 8 bytes before the count itself is judged, so a huge count in a
  // short state is an unexpected end. The words are only counted against the input, never stored
  // beyond the set's own size, so no count can make the reader allocate.
  const std::uint64_t count = in.u64();
  if (count > in.remaining() / 8) state_codec::unexpected_end();
  if (count != kWordCount) {
    decode_error("Custom(\"Expected " + std::to_string(kWordCount) + " elements, got " +
                 std::to_string(count) + "\")");
  }
  const std::string_view words = in.take(WordSet::kWords * 8);
  for (std::size_t i = 0; i < WordSet::kWords; ++i) {
    result.non_word_boundaries.words[i] = state_codec::load_u64(words.data() + 8 * i);
  }

  std::unique_ptr<TrieNode> root = read_trie(in);
  result.case_sensitive = read_flag(in);
  result.allow_overlaps = read_flag(in);
  result.root = std::move(*root);
  return result;
}

}  // namespace wordsieve
