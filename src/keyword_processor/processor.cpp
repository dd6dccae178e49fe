#include "processor.hpp"

#include <algorithm>
#include <iterator>

#include "interrupt.hpp"
#include "keyword_processor/internal/byte_class.hpp"
#include "keyword_processor/internal/node_pool.hpp"
#include "normalize.hpp"
#include "utf8.hpp"

namespace wordsieve {

std::string KeywordProcessor::key_text(std::string_view keyword) const {
  return case_sensitive ? std::string(keyword) : normalize_text(keyword);
}

void KeywordProcessor::add_keyword(std::string_view keyword,
                                   std::optional<std::string_view> clean_name) {
  const std::string key = key_text(keyword);
  TrieNode* node = &root;
  std::size_t depth = 0;
  for (; depth < key.size(); ++depth) {
    TrieNode* child = node->children.find(static_cast<unsigned char>(key[depth]));
    if (child == nullptr) break;
    node = child;
    poll_interrupt();
  }
  // The rest of the key gets new nodes. An interruption or a failed allocation on the way, or in
  // storing the clean name, takes them away again: the store is left as it was.
  TrieNode* const attach = node;
  const std::size_t first_new = depth;
  KeywordChange change;
  try {
    for (; depth < key.size(); ++depth) {
      node = &node->children.find_or_create(static_cast<unsigned char>(key[depth]));
      poll_interrupt();
    }
    if (node->clean_name.has_value()) change.previous_clean_size = node->clean_name.view().size();
    node->clean_name.assign(clean_name ? *clean_name : std::string_view(key));
  } catch (...) {
    // The trie is as it was, so the derived structures still fit it.
    if (first_new < key.size()) attach->children.erase(static_cast<unsigned char>(key[first_new]));
    throw;
  }
  derived.keyword_added(*this, key, change);
}

bool KeywordProcessor::remove_keyword(std::string_view keyword) {
  const std::string key = key_text(keyword);
  // The path is kept so the nodes that only this keyword needed can be pruned bottom-up without
  // recursion.
  std::vector<TrieNode*> path;
  path.reserve(key.size() + 1);
  path.push_back(&root);
  for (unsigned char byte : key) {
    TrieNode* child = path.back()->children.find(byte);
    if (child == nullptr) return false;
    path.push_back(child);
    poll_interrupt();
  }
  if (!path.back()->clean_name.has_value()) return false;
  const KeywordChange change{path.back()->clean_name.view().size()};
  path.back()->clean_name.reset();
  for (std::size_t depth = key.size(); depth > 0; --depth) {
    const TrieNode* child = path[depth];
    if (child->clean_name.has_value() || !child->children.empty()) break;
    path[depth - 1]->children.erase(static_cast<unsigned char>(key[depth - 1]));
  }
  derived.keyword_removed(*this, key, change);
  return true;
}

std::uint64_t KeywordProcessor::num_keywords() const {
  std::uint64_t count = 0;
  std::vector<const TrieNode*> stack{&root};
  while (!stack.empty()) {
    const TrieNode* node = stack.back();
    stack.pop_back();
    poll_interrupt();
    if (node->clean_name.has_value()) ++count;
    std::size_t pos = 0;
    ChildMap::Entry entry;
    while (node->children.next(pos, entry)) stack.push_back(entry.child);
  }
  return count;
}

std::vector<std::pair<std::string, std::string>> KeywordProcessor::get_all_keywords() const {
  std::vector<std::pair<std::string, std::string>> out;
  // Depth-first with an explicit stack of (node, position in its child map); `path` holds the
  // key bytes from the root down to the node on top.
  struct Frame {
    const TrieNode* node;
    std::size_t pos;
    std::size_t path_len;  // length of `path` when this node was entered
  };
  std::string path;
  std::vector<Frame> stack{{&root, 0, 0}};
  if (root.clean_name.has_value()) out.emplace_back(std::string(), std::string(root.clean_name.view()));
  while (!stack.empty()) {
    poll_interrupt();
    Frame& top = stack.back();
    ChildMap::Entry entry;
    if (!top.node->children.next(top.pos, entry)) {
      path.resize(top.path_len);
      stack.pop_back();
      continue;
    }
    const std::size_t before = path.size();
    if (entry.key < 0x100) {
      path.push_back(static_cast<char>(entry.key));
    } else {
      append_utf8(path, entry.key);
    }
    stack.push_back({entry.child, 0, before});
    if (entry.child->clean_name.has_value()) {
      out.emplace_back(is_valid_utf8(path) ? path : to_valid_utf8(path),
                       std::string(entry.child->clean_name.view()));
      poll_interrupt((path.size() + out.back().second.size()) / kBytesPerUnit);
    }
  }
  return out;
}

void KeywordProcessor::add_non_word_boundary(std::uint32_t code_point) {
  // Only the first 256 code points take part in matching.
  if (code_point < 256 && !non_word_boundaries.contains(code_point)) derived.forget();
  non_word_boundaries.insert(code_point);
}

void KeywordProcessor::set_non_word_boundaries(std::span<const std::uint32_t> code_points) {
  const WordBytes before(non_word_boundaries);
  non_word_boundaries.clear();
  for (std::uint32_t cp : code_points) non_word_boundaries.insert(cp);
  // Only the first 256 code points take part in matching.
  if (!std::equal(std::begin(before.bits), std::end(before.bits), non_word_boundaries.words.begin())) {
    derived.forget();
  }
}

bool give_back_trie_memory() noexcept { return node_pool::give_back_if_worthwhile(); }

}  // namespace wordsieve
