// PdfIndex: the PDF files of an Anonymizer run, looked up by the keys of coding lines. Find gives
// the first name in list order that begins with the key (StartsWithNoCase) among the names not
// yet delivered. A run may hold thousands of PDFs whose names share a long prefix, so the
// positions of ASCII names (all real ones) are kept sorted by the lower-cased name, with a
// range-minimum tree over their list positions: an ASCII key costs O(log n + key length), a
// delivery O(log n). Other names are compared one by one. Each name is held once; the index adds
// some bytes per name.
//
// Not thread-safe; AnonymizerContext guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qx {

class PdfIndex {
 public:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();

  // Indexes `names`; a position is the place in this list. Every name is open (not delivered).
  void Reset(std::vector<std::string> names);
  const std::vector<std::string>& Names() const { return names_; }

  // The position of the first open name that begins with `key`, or kNone (also for an empty key).
  size_t Find(std::string_view key) const;
  // Closes every entry named `name` (exactly); later Finds pass it over.
  void Deliver(const std::string& name);
  // Whether the entry at `position` is not delivered.
  bool IsOpen(size_t position) const { return position < open_.size() && open_[position]; }

 private:
  // The smallest open position among the sorted entries [begin, end).
  size_t FirstOpen(size_t begin, size_t end) const;
  void Close(size_t sortedPosition);
  static constexpr uint32_t kNoPosition = std::numeric_limits<uint32_t>::max();

  std::vector<std::string> names_;
  // The positions of the ASCII names, sorted by lower-cased name, then position.
  std::vector<uint32_t> ascii_;
  std::vector<uint32_t> tree_;  // range minimum over ascii_ positions; kNoPosition when delivered
  std::vector<size_t> others_;  // positions of the names that are not all ASCII
  std::vector<bool> open_;      // by position: not delivered
};

}  // namespace qx
