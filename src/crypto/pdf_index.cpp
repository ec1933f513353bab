#include "crypto/pdf_index.h"

#include <algorithm>

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

}  // namespace

void PdfIndex::Reset(std::vector<std::string> names) {
  names_ = std::move(names);
  ascii_.clear();
  others_.clear();
  open_.assign(names_.size(), true);
  for (size_t i = 0; i < names_.size(); ++i) {
    if (IsAsciiText(names_[i]))
      ascii_.emplace_back(AsciiLower(names_[i]), i);
    else
      others_.push_back(i);
  }
  std::sort(ascii_.begin(), ascii_.end());
  const size_t n = ascii_.size();
  tree_.assign(2 * n, kNone);
  for (size_t i = 0; i < n; ++i) tree_[n + i] = ascii_[i].second;
  for (size_t i = n; i-- > 1;) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

size_t PdfIndex::FirstOpen(size_t begin, size_t end) const {
  size_t first = kNone;
  const size_t n = ascii_.size();
  for (begin += n, end += n; begin < end; begin /= 2, end /= 2) {
    if (begin & 1) first = std::min(first, tree_[begin++]);
    if (end & 1) first = std::min(first, tree_[--end]);
  }
  return first;
}

void PdfIndex::Close(size_t sortedPosition) {
  open_[ascii_[sortedPosition].second] = false;
  const size_t n = ascii_.size();
  size_t i = n + sortedPosition;
  tree_[i] = kNone;
  for (i /= 2; i >= 1; i /= 2) tree_[i] = std::min(tree_[2 * i], tree_[2 * i + 1]);
}

size_t PdfIndex::Find(std::string_view key) const {
  if (key.empty()) return kNone;
  size_t first = kNone;
  if (IsAsciiText(key)) {
    // For an ASCII name and key, StartsWithNoCase is a prefix match of the lower-cased texts: the
    // candidates are one range of the sorted entries.
    const std::string lower = AsciiLower(key);
    const auto begin = std::lower_bound(
        ascii_.begin(), ascii_.end(), lower,
        [](const auto& entry, const std::string& value) { return entry.first < value; });
    // In sorted order the names beginning with `lower` follow one another from `begin` on.
    const auto end = std::partition_point(
        begin, ascii_.end(), [&](const auto& entry) { return entry.first.starts_with(lower); });
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
    const std::string lower = AsciiLower(name);
    auto it = std::lower_bound(
        ascii_.begin(), ascii_.end(), lower,
        [](const auto& entry, const std::string& value) { return entry.first < value; });
    for (; it != ascii_.end() && it->first == lower; ++it)
      if (names_[it->second] == name) Close(static_cast<size_t>(it - ascii_.begin()));
  } else {
    for (size_t position : others_)
      if (names_[position] == name) open_[position] = false;
  }
}

}  // namespace qx
