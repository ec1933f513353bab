// The register of invoices delivered to a Trust Center: for each, its identifier, amount,
// provider's ZSR number and sending time, kept for a number of months so that the same invoice
// is not sent twice. It lives in one text file (DefaultRegisterPath()), whose first line is
// "qxdl-1.0" and whose further lines are described in formats/register_line.h.
//
// Owned by one step object on one worker thread; not thread-safe. Only one job runs at a time,
// so the file is never used by two registers at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/register_line.h"
#include "formats/register_settings.h"

namespace qx {

class SentRegister {
 public:
  // Entries by invoice identifier, ordered byte-wise; entries with the same identifier keep the
  // order in which they were added.
  using Entries = std::multimap<std::string, SentEntry, std::less<>>;

  // `settingsPath`: the INI file whose "dlog_max" gives the retention when the register is saved.
  explicit SentRegister(std::string settingsPath = DefaultSettingsPath());
  virtual ~SentRegister() = default;

  // Empties the register, remembers `path` for Save and reads the file. True when the register
  // can be used: the file was read to its end and its first line begins with the header (after
  // a UTF-8 byte-order mark, if any), or the file does not exist (a new, empty register). False
  // when the file exists but cannot be read (loadError() holds the errno value) or is not a
  // register (an empty file, another first line; loadError() is 0): the history is unknown, so
  // such a register must not be used to pass invoices, and Save refuses to replace the file.
  // Lines that hold no valid entry are skipped. Never marks the register changed.
  bool Load(const std::string& path);

  // True when the last Load returned false.
  bool loadFailed() const { return loadFailed_; }
  // The errno value of the last Load's failure; 0 when it did not fail or the file is not a
  // register.
  int loadError() const { return loadError_; }

  // Writes the register to the remembered path if it was changed since it was loaded or last
  // saved, leaving out entries older than the retention. The file is replaced as a whole (see
  // WriteFileAtomically), so a failure leaves the previous file intact. True on success or when
  // there was nothing to save. On failure the entries stay in memory, the register stays
  // changed (a later Save tries again), errno and lastError() hold the cause. After a failed
  // Load it always fails (with the load's errno value, or EINVAL) and leaves the file alone.
  bool Save();

  // Appends the entries added since the last Load, Save or AppendAdded to the end of the file and
  // flushes it to disk, so that they outlive a crash before the next Save; the file (with its
  // header) is created when it does not exist. The register stays changed, so that Save still
  // rewrites it with the retention applied. True on success or when nothing was added; false
  // with lastError() after a failed Load or a failed write (the entries stay in memory).
  bool AppendAdded();

  // True if an entry for `invoiceId` with the same provider key (both cut by CutProviderKey) has an
  // amount that matches `amount`: every amount matches except the exact negation of the stored
  // one when both read as numbers and differ (the reversal of a registered invoice).
  bool Find(std::string_view zsr, std::string_view invoiceId, std::string_view amount) const;

  // Adds an entry sent now, after any entries with the same identifier; the provider key is cut
  // by CutProviderKey, the amount to its limit. Marks the register changed. Returns true.
  bool Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount);
  // The same with a given sending time (seconds since 1970-01-01 UTC).
  bool Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount,
           int64_t sentAt);

  const Entries& entries() const { return entries_; }
  const std::string& path() const { return path_; }
  bool dirty() const { return dirty_; }
  // The errno value of the last failed Save, 0 if none failed.
  int lastError() const { return lastError_; }

 private:
  std::string settingsPath_;
  std::string path_;
  Entries entries_;
  // Entries added since the file last received them (Load, Save or AppendAdded).
  std::vector<std::pair<std::string, SentEntry>> added_;
  bool dirty_ = false;
  bool loadFailed_ = false;
  int loadError_ = 0;
  int lastError_ = 0;
};

}  // namespace qx
