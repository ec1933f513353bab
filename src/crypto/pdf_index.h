// PdfIndex: the PDF files of an Anonymizer run, looked up by the keys of coding lines. Find gives
// the first name in list order that begins with the key (StartsWithNoCase) among the names not
// yet delivered. A run may hold thousands of PDFs whose names share a long prefix, so ASCII names
// (all real ones) are kept sorted lower-cased with a range-minimum tree over their list
// positions: an ASCII key costs O(log n + key length), a delivery O(log n). Other names are
// compared one by one.
//
// Not thread-safe; AnonymizerContext guards it.
#pragma once

#include <cstddef>
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

 private:
  // The smallest open position among the sorted entries [begin, end).
  size_t FirstOpen(size_t begin, size_t end) const;
  void Close(size_t sortedPosition);

  std::vector<std::string> names_;
  std::vector<std::pair<std::string, size_t>> ascii_;  // lower-cased name, position; sorted
  std::vector<size_t> tree_;    // range minimum over ascii_ positions; kNone for a delivered one
  std::vector<size_t> others_;  // positions of the names that are not all ASCII
  std::vector<bool> open_;      // by position: not delivered
};

}  // namespace qx
