#include "scan_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "interrupt.hpp"
#include "processor.hpp"

namespace wordsieve {

namespace {

// The filter's hash of a key's first word, read within the key's bytes.
std::uint64_t key_word_hash(std::string_view word) noexcept {
  unsigned char head[8] = {};
  std::memcpy(head, word.data(), std::min<std::size_t>(word.size(), 8));
  return ScanIndex::word_hash(head, word.size());
}

// About 16 to 32 bits per word and at least 512: two bits of a word then give "maybe" for about one
// word in a hundred that was never inserted.
constexpr std::size_t kFilterBitsPerWord = 16;
constexpr std::size_t kFilterMinBits = 512;

}  // namespace

ScanIndex::ScanIndex(const KeywordProcessor& processor)
    : words_(processor.non_word_boundaries),
      overlaps_(processor.allow_overlaps),
      simd_(best_simd_level()),
      prefixes_(processor.root, simd_) {
  for (unsigned b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    sets_.assign(byte, (overlaps_ || words_.is_boundary(byte)) ? kOpensAfter : 0);
  }
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (processor.root.children.next(pos, entry)) {
    if (entry.key < 256) set_first_byte_row(processor, static_cast<unsigned char>(entry.key));
  }
  if (overlaps_) return;  // every byte starts a match: the filter of words is not used

  // The first words: the nodes reached from the root over word bytes only that end a keyword or
  // go on with a boundary byte. Depth first, with the path from the root in `path`.
  struct Frame {
    const TrieNode* node;
    std::size_t depth;
    unsigned char byte;  // the key of the edge into `node`
  };
  std::vector<std::uint64_t> hashes;
  std::vector<Frame> stack;
  std::string path;
  const auto push_word_children = [&](const TrieNode& node, std::size_t depth) {
    std::size_t child_pos = 0;
    ChildMap::Entry child;
    bool goes_on_with_boundary = false;
    while (node.children.next(child_pos, child)) {
      if (child.key >= 256) continue;  // never equal to a byte of a text
      const auto byte = static_cast<unsigned char>(child.key);
      if (words_.is_word(byte)) {
        stack.push_back({child.child, depth + 1, byte});
      } else {
        goes_on_with_boundary = true;
      }
    }
    return goes_on_with_boundary;
  };
  push_word_children(processor.root, 0);
  while (!stack.empty()) {
    poll_interrupt();  // a build over a large trie can be interrupted: nothing is kept
    const Frame frame = stack.back();
    stack.pop_back();
    path.resize(frame.depth - 1);
    path.push_back(static_cast<char>(frame.byte));
    const bool goes_on_with_boundary = push_word_children(*frame.node, frame.depth);
    if (goes_on_with_boundary || frame.node->clean_name.has_value()) hashes.push_back(key_word_hash(path));
  }
  size_filter(hashes.size());
  for (const std::uint64_t h : hashes) insert_hash(h);
}

void ScanIndex::size_filter(std::size_t words) {
  const std::size_t bits = std::bit_ceil(std::max(kFilterMinBits, words * kFilterBitsPerWord));
  filter_.assign(bits / 64, 0);
  filter_shift_ = 64U - static_cast<unsigned>(std::countr_zero(bits / 64));
  bit_shift_ = filter_shift_ - 6;
  filter_words_ = 0;
  // Past this, more than one word in 25 that no keyword begins with answers "maybe".
  filter_capacity_ = bits / 10;
}

void ScanIndex::set_first_byte_row(const KeywordProcessor& processor, unsigned char byte) {
  const TrieNode* child = processor.root.children.find(byte);
  first_step_[byte] = child;
  second_level_ -= row_sizes_[byte];
  std::uint64_t* row = pairs_[byte];
  row[0] = row[1] = row[2] = row[3] = 0;
  row_sizes_[byte] = 0;
  if (child == nullptr) {
    sets_.assign(byte, static_cast<unsigned char>(sets_.of(byte) & ~kFirstByte));
    return;
  }
  sets_.assign(byte, static_cast<unsigned char>(sets_.of(byte) | kFirstByte));
  row_sizes_[byte] = static_cast<std::uint32_t>(child->children.size());
  second_level_ += row_sizes_[byte];
  if (child->clean_name.has_value()) {
    // A keyword of one byte: every second byte may follow.
    row[0] = row[1] = row[2] = row[3] = ~std::uint64_t{0};
    return;
  }
  std::size_t pos = 0;
  ChildMap::Entry second;
  while (child->children.next(pos, second)) {
    if (second.key < 256) row[second.key >> 6] |= std::uint64_t{1} << (second.key & 63);
  }
}

bool ScanIndex::insert_key(std::string_view key) {
  std::size_t length = 0;
  while (length < key.size() && words_.is_word(static_cast<unsigned char>(key[length]))) ++length;
  if (length == 0) return true;  // starts with a boundary byte: such starts are not filtered by word
  return !insert_hash(key_word_hash(key.substr(0, length))) || filter_words_ <= filter_capacity_;
}

bool ScanIndex::insert_hash(std::uint64_t h) noexcept {
  std::uint64_t& word = filter_[h >> filter_shift_];
  const std::uint64_t bits = (std::uint64_t{1} << ((h >> bit_shift_) & 63)) |
                             (std::uint64_t{1} << ((h >> (bit_shift_ - 6)) & 63));
  if ((word & bits) == bits) return false;
  word |= bits;
  ++filter_words_;
  return true;
}

bool ScanIndex::keyword_added(const KeywordProcessor& processor, std::string_view key) {
  if (key.empty()) return true;  // the empty keyword is never found by the exact search
  set_first_byte_row(processor, static_cast<unsigned char>(key[0]));
  prefixes_.add(key);
  return overlaps_ || insert_key(key);
}

bool ScanIndex::keyword_removed(const KeywordProcessor& processor, std::string_view key) {
  if (key.empty()) return true;
  set_first_byte_row(processor, static_cast<unsigned char>(key[0]));
  // The removed keyword's bits stay set: right, only less selective. Rebuilt once as many
  // keywords were removed as half the words the filter holds.
  return overlaps_ || ++removed_ <= filter_words_ / 2 + 16;
}

}  // namespace wordsieve
