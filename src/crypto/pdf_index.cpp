#include "crypto/pdf_index.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/codepage.h"

namespace qx {
namespace {

bool IsAsciiText(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return lower;
}

// Positions that fit the 32-bit tables; a longer list keeps the rest among the other names.
constexpr size_t kMaxIndexed = std::numeric_limits<uint32_t>::max() - 1;

}  // namespace

void PdfIndex::Reset(std::vector<std::string> names) {
  names_ = std::move(names);
  ascii_.clear();
  others_.clear();
  open_.assign(names_.size(), true);
  for (size_t i = 0; i < names_.size(); ++i) {
    if (i < kMaxIndexed && IsAsciiText(names_[i]))
      ascii_.push_back(static_cast<uint32_t>(i));
    else
      others_.push_back(i);
  }
  std::sort(ascii_.begin(), ascii_.end(), [this](uint32_t a, uint32_t b) {
    const int order = CompareLowerAscii(names_[a], names_[b]);
    return order != 0 ? order < 0 : a < b;
  });
  const size_t n = ascii_.size();
  tree_.assign(2 * n, kNoPosition);
  for (size_t i = 0; i < n; ++i) tree_[n + i] = ascii_[i];
  for (size_t i = n; i-- > 1;) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

size_t PdfIndex::FirstOpen(size_t begin, size_t end) const {
  uint32_t first = kNoPosition;
  const size_t n = ascii_.size();
  for (begin += n, end += n; begin < end; begin /= 2, end /= 2) {
    if (begin & 1) first = std::min(first, tree_[begin++]);
    if (end & 1) first = std::min(first, tree_[--end]);
  }
  return first == kNoPosition ? kNone : first;
}

void PdfIndex::Close(size_t sortedPosition) {
  open_[ascii_[sortedPosition]] = false;
  const size_t n = ascii_.size();
  size_t i = n + sortedPosition;
  tree_[i] = kNoPosition;
  for (i /= 2; i >= 1; i /= 2) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

size_t PdfIndex::Find(std::string_view key) const {
  if (key.empty()) return kNone;
  size_t first = kNone;
  if (IsAsciiText(key)) {
    // For an ASCII name and key, StartsWithNoCase is a prefix match of the lower-cased texts: the
    // candidates are one range of the sorted entries.
    const std::string lower = AsciiLower(key);
    const auto begin = std::lower_bound(ascii_.begin(), ascii_.end(), lower,
                                        [this](uint32_t entry, const std::string& value) {
                                          return CompareLowerAscii(names_[entry], value) < 0;
                                        });
    // In sorted order the names beginning with `lower` follow one another from `begin` on.
    const auto end = std::partition_point(begin, ascii_.end(), [&](uint32_t entry) {
      return StartsWithLowerAscii(names_[entry], lower);
    });
    first = FirstOpen(static_cast<size_t>(begin - ascii_.begin()),
                      static_cast<size_t>(end - ascii_.begin()));
    for (size_t position : others_)
      if (position < first && open_[position] && StartsWithNoCase(names_[position], key))
        first = position;
  } else {
    for (size_t i = 0; i < names_.size() && first == kNone; ++i)
      if (open_[i] && StartsWithNoCase(names_[i], key)) first = i;
  }
  return first;
}

void PdfIndex::Deliver(const std::string& name) {
  if (IsAsciiText(name)) {
    auto it = std::lower_bound(ascii_.begin(), ascii_.end(), name,
                               [this](uint32_t entry, const std::string& value) {
                                 return CompareLowerAscii(names_[entry], value) < 0;
                               });
    for (; it != ascii_.end() && CompareLowerAscii(names_[*it], name) == 0; ++it)
      if (names_[*it] == name) Close(static_cast<size_t>(it - ascii_.begin()));
  } else {
    for (size_t position : others_)
      if (names_[position] == name) open_[position] = false;
  }
}

}  // namespace qx
