#include "steps/checker.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "formats/file_kind.h"
#include "formats/gni_invoice.h"
#include "formats/sent_invoices.h"
#include "formats/xml_invoice.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/last_error.h"
#include "platform/module.h"
#include "support/messages.h"
#include "support/settings.h"

namespace qx {
PChecker::PChecker(JobContext& context)
    : PInvoiceStep(context, moPChecker, LoadMessageA(1050), LoadMessageA(1051),
                   LoadMessageA(1103)) {}

bool PChecker::CheckPreconditions() {
  std::string work = settings_.workDirectory;
  if (Utf8Length(work) > 2) {
    sourceDir_ = JoinPath(work, "input");
    targetDir_ = JoinPath(work, "valid");
    return CheckRegister();
  }
  Raise(mlError, mcModule, 7, std::nullopt, LoadMessage(1107));
  return false;
}

namespace {

// The lower-case form of a text of ASCII characters only; false for any other text.
bool LowerAscii(std::string_view text, std::string* lower) {
  lower->resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) return false;
    (*lower)[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return true;
}

// Positions that fit the 32-bit index; a longer list keeps the rest among the other names.
constexpr size_t kMaxIndexed = std::numeric_limits<uint32_t>::max() - 1;

}  // namespace

void PChecker::Prepare(std::vector<std::string>& files) {
  if (!settings_.Has(kOptionWithPdf)) return;
  // The invoices stay in `files`, in their order; the slips' list is made in its size at once.
  attachments_.reserve(static_cast<size_t>(std::count_if(
      files.begin(), files.end(), [&](const auto& n) { return KindOf(n) == fkPdf; })));
  size_t invoices = 0;
  for (auto& name : files) {
    if (KindOf(name) == fkPdf)
      attachments_.push_back(std::move(name));
    else if (&files[invoices++] != &name)
      files[invoices - 1] = std::move(name);
  }
  files.resize(invoices);
  claimed_.assign(attachments_.size(), 0);
  // For ASCII text the case folding of StartsWithNoCase is ASCII lower case, and no other
  // character folds to an ASCII one: an ASCII prefix is found among the names sorted by their
  // lower-case form (positions only: no second copy of the names), the few others are compared
  // one by one.
  std::string lower;
  for (size_t i = 0; i < attachments_.size(); ++i) {
    if (i < kMaxIndexed && LowerAscii(attachments_[i], &lower))
      asciiIndex_.push_back(static_cast<uint32_t>(i));
    else
      otherNames_.push_back(i);
  }
  std::sort(asciiIndex_.begin(), asciiIndex_.end(), [this](uint32_t a, uint32_t b) {
    const int order = CompareLowerAscii(attachments_[a], attachments_[b]);
    return order != 0 ? order < 0 : a < b;
  });
}

int PChecker::FindAttachment(const std::string& prefix) const {
  if (prefix.empty()) return -1;
  std::string lower;
  if (!LowerAscii(prefix, &lower)) {
    for (size_t i = 0; i < attachments_.size(); ++i)
      if (!claimed_[i] && StartsWithNoCase(attachments_[i], prefix)) return static_cast<int>(i);
    return -1;
  }
  size_t first = attachments_.size();
  auto it = std::lower_bound(asciiIndex_.begin(), asciiIndex_.end(), lower,
                             [this](uint32_t entry, const std::string& key) {
                               return CompareLowerAscii(attachments_[entry], key) < 0;
                             });
  for (; it != asciiIndex_.end() && StartsWithLowerAscii(attachments_[*it], lower); ++it)
    if (!claimed_[*it]) first = std::min(first, static_cast<size_t>(*it));
  for (size_t i : otherNames_) {
    if (i >= first) break;
    if (!claimed_[i] && StartsWithNoCase(attachments_[i], prefix)) first = i;
  }
  return first < attachments_.size() ? static_cast<int>(first) : -1;
}

void PChecker::ProcessFile(const std::string& name) {
  std::string path = SourcePath(name);
  InvoiceKeys keys;
  bool gni = false;
  InvoiceFileRead read = InvoiceFileRead::kNotRead;
  int readError = 0;
  switch (KindOf(name)) {
    case fkXml:
      read = ReadXmlInvoice(path, &keys, &readError);
      break;
    case fkGni:
      gni = true;
      read = ReadGniInvoice(path, &keys, &readError);
      break;
    default:
      break;
  }
  if (read == InvoiceFileRead::kFailed) {
    // Nothing is known about it, nor about which slips are its own: they all wait.
    ReportUnread(name, readError);
    unjudged_ = true;
    return;
  }
  if (read == InvoiceFileRead::kTooLarge) {
    Raise(mlError, mcSystem, EFBIG, name, SystemErrorText(EFBIG));
    MoveToError(name);
    return;
  }
  if (read == InvoiceFileRead::kEncrypted) {
    // Its body cannot be read, so nothing in it could be masked: it must not go on.
    Raise(mlError, mcModule, 10, name, LoadMessage(1057));
    MoveToError(name);
    return;
  }
  if (read != InvoiceFileRead::kRead) {
    Raise(mlError, mcModule, 10, name, LoadMessage(1052));
    MoveToError(name);
    return;
  }
  if (keys.invoiceIds.empty() || keys.invoiceIds.size() != keys.amounts.size()) {
    Raise(mlError, mcModule, 11, name, LoadMessage(1053));
    MoveToError(name);
    return;
  }
  if (IsDuplicate(keys)) {
    Raise(mlError, mcModule, 12, name, LoadMessage(1054));
    MoveToError(name);
    return;
  }
  const bool with_pdf = settings_.Has(kOptionWithPdf);
  // A QR bill has no coding line: its reference number names its PDF instead.
  std::vector<std::string> slips = keys.codingLines;
  slips.insert(slips.end(), keys.qrReferences.begin(), keys.qrReferences.end());
  if (with_pdf) {
    if (slips.size() != keys.invoiceIds.size()) {
      if (gni) {
        // A quick invoice without payment slip: it stays in "input" for a later run.
        Raise(mlDebug, mcModule, 0, name, std::string("Annahme: GNI-Schnellrechnung"));
        return;
      }
      Raise(mlError, mcModule, 11, name, LoadMessage(1053));
      MoveToError(name);
      return;
    }
    // Every coding line needs its PDF before anything moves.
    for (const auto& line : slips) {
      const std::string& cleaned = CleanName(line);
      if (FindAttachment(cleaned) < 0) {
        if (ListingIncomplete()) {
          // The slip may be the file that could not be read: the invoice waits for it.
          Raise(mlWarning, mcModule, 3, name, failText_);
          return;
        }
        Raise(mlError, mcModule, 13, name, "PDF-Datei nicht gefunden (" + cleaned + ".?\?\?)");
        MoveToError(name);
        return;
      }
    }
  }
  std::vector<std::string> group = {name};
  if (with_pdf) {
    for (const auto& line : slips) {
      int index = FindAttachment(CleanName(line));
      if (index < 0) continue;
      // Claimed also when the move fails: the slip then waits in "input" with its invoice.
      claimed_[static_cast<size_t>(index)] = 1;
      group.push_back(attachments_[static_cast<size_t>(index)]);
    }
  }
  MoveTogether(group);
}

void PChecker::MoveTogether(const std::vector<std::string>& group) {
  std::vector<std::string> moved;  // where each file of the group went
  for (const std::string& file : group) {
    std::string target;
    if (HRESULT hr = MoveIntoTarget(file, &target); Failed(hr)) {
      ReportSystemError(file, hr);
      Raise(mlWarning, mcModule, 3, file, failText_);
      // Back to "input" with the others, so that the next run finds the whole group.
      for (size_t i = 0; i < moved.size(); ++i) {
        HRESULT back = MoveToFreeName(moved[i], SourcePath(group[i]));
        if (Failed(back)) ReportSystemError(group[i], back);
        Raise(mlWarning, mcModule, 3, group[i], failText_);
      }
      return;
    }
    moved.push_back(std::move(target));
  }
  for (const std::string& file : group) {
    Raise(mlInfo, mcModule, 2, file, okText_);
    ++doneCount_;
  }
}

void PChecker::Finish() {
  for (size_t i = 0; i < attachments_.size(); ++i) {
    if (claimed_[i]) continue;
    if (unjudged_ || ListingIncomplete()) {
      // Its invoice may be a file that could not be read: it waits with it.
      Raise(mlWarning, mcModule, 3, attachments_[i], failText_);
      continue;
    }
    Raise(mlError, mcModule, 14, attachments_[i], LoadMessage(1055));
    MoveToError(attachments_[i]);
  }
  attachments_.clear();
  claimed_.clear();
  asciiIndex_.clear();
  otherNames_.clear();
  // Before Run gives the job lock back, so the next job reads what this one registered.
  SaveRegister();
}

}  // namespace qx
