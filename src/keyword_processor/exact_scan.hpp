// The exact search: at every position where a match may start, the longest stored keyword the text
// continues with, kept when the end rule allows it.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "match.hpp"
#include "processor.hpp"

namespace wordsieve {

class FuzzyScratch;

// Bytes past the end of a text that the scan may read (and ignores) when the caller says the text
// has them; without them it reads the text's last two blocks from a copy.
inline constexpr std::size_t kScanPadding = 136;

// Work space carried from one exact search to the next by a caller that searches many texts with
// one processor (a batch worker): the walk outcomes remembered so far, so that short texts get
// what long ones do. A scratch serves one processor, the first it is used with, and only while
// that processor does not change; one thread at a time.
class ScanScratch {
 public:
  ScanScratch();
  ~ScanScratch();
  ScanScratch(ScanScratch&&) noexcept;
  ScanScratch& operator=(ScanScratch&&) noexcept;

  struct State;

  // The fuzzy scan's own work space (fuzzy_scan.hpp), made on first use.
  FuzzyScratch& fuzzy();

 private:
  friend void scan_exact(const KeywordProcessor&, std::string_view, bool, ScanScratch*,
                         std::vector<KeywordMatch>&);
  std::unique_ptr<State> state_;
  std::unique_ptr<FuzzyScratch> fuzzy_;
};

// Appends the exact matches in `text` (the search text) to `out`. `padded`: kScanPadding bytes
// after the text may be read. `scratch` may be null.
void scan_exact(const KeywordProcessor& processor, std::string_view text, bool padded,
                ScanScratch* scratch, std::vector<KeywordMatch>& out);

}  // namespace wordsieve
