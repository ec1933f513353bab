// The register of invoices delivered to a Trust Center: for each, its identifier, amount,
// provider's ZSR number and sending time, kept for a number of months so that the same invoice
// is not sent twice. It lives in one text file (DefaultRegisterPath()), whose first line is
// "qxdl-1.0" and whose further lines are described in formats/register_line.h.
//
// In memory the register keeps, per entry, only what the duplicate check needs: a keyed hash of
// identifier and provider key (see KeyedHasher; the key is random per object, so nobody can plan
// a collision, and a chance one would only refuse an invoice as a duplicate, never let one pass)
// and the amount as a number; 16 bytes an entry, so a register of a million entries loads in a
// fraction of a second into about 16 MB. The texts themselves stay in the file, which Save reads
// again when it must rewrite it.
//
// Owned by one step object on one worker thread; not thread-safe. Only one job runs at a time,
// so the file is never used by two registers at once.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formats/register_line.h"
#include "formats/register_settings.h"
#include "platform/keyed_hash.h"

namespace qx {

class SentRegister {
 public:
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

  // Brings the file up to date if the register was changed since it was loaded or last saved:
  // the file then holds every entry not older than the retention, and only those. When every
  // added entry is in the file already (AppendAdded) and no entry has reached the end of its
  // retention, the file is already so and is not written. Otherwise the file is rewritten from
  // its own valid lines (read again, in file order) and the entries added since, leaving out the
  // expired ones; it is replaced as a whole (see AtomicFileWriter), so a failure leaves the
  // previous file intact. A file that Load found and that is gone, or no longer starts with the
  // header, fails the save (ENOENT, EINVAL): its history is unknown. True on success or when
  // there was nothing to save. On failure the entries stay in memory, the register stays
  // changed (a later Save tries again), errno and lastError() hold the cause. After a failed Load
  // it always fails (with the load's errno value, or EINVAL) and leaves the file alone.
  bool Save();

  // Appends the entries added since the last Load, Save or AppendAdded to the end of the file and
  // flushes it to disk, so that they outlive a crash before the next Save; the file (with its
  // header) is created when it does not exist. The register stays changed, so that Save still
  // applies the retention. True on success or when nothing was added; false with lastError()
  // after a failed Load or a failed write (the entries stay in memory and go into the next Save).
  bool AppendAdded();

  // True if an entry for `invoiceId` with the same provider key (both cut by CutProviderKey) has an
  // amount that matches `amount`: every amount matches except the exact negation of the stored
  // one when both read as numbers and differ (the reversal of a registered invoice).
  bool Find(std::string_view zsr, std::string_view invoiceId, std::string_view amount) const;

  // Adds an entry sent now; the provider key is cut by CutProviderKey, the amount to its limit.
  // Marks the register changed. Returns true; throws std::bad_alloc when memory is short.
  bool Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount);
  // The same with a given sending time (seconds since 1970-01-01 UTC).
  bool Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount,
           int64_t sentAt);

  // Entries held: the valid lines Load read plus the entries added since.
  size_t size() const { return loaded_.size() + recent_.size(); }
  const std::string& path() const { return path_; }
  bool dirty() const { return dirty_; }
  // The sending time of the oldest entry in the file as far as this object knows it (seconds
  // since 1970-01-01 UTC); 0 when it knows of none.
  int64_t oldestSentAt() const {
    return oldest_ == std::numeric_limits<int64_t>::max() ? 0 : oldest_;
  }
  // The errno value of the last failed Save or AppendAdded, 0 if none failed.
  int lastError() const { return lastError_; }

 private:
  // One entry as the duplicate check sees it.
  struct Slot {
    uint64_t key;   // KeyOf(provider key, identifier)
    double amount;  // the amount as ParseAmountNumber reads it; NaN when it reads as no number
  };

  uint64_t KeyOf(std::string_view providerKey, std::string_view invoiceId) const;
  // Writes the file anew (see Save); false with `*error` set.
  bool Rewrite(int64_t cutoff, int* error);
  bool Fail(int error);

  std::string settingsPath_;
  std::string path_;
  HashKey hashKey_;
  // The entries Load read, ordered by key.
  std::vector<Slot> loaded_;
  // The entries added since Load, by key.
  std::unordered_multimap<uint64_t, double> recent_;
  // Entries added since the file last received them (Load, Save or AppendAdded).
  std::vector<RegisterLine> added_;
  // The sending time of the oldest entry in the file (as far as this object knows it).
  int64_t oldest_ = std::numeric_limits<int64_t>::max();
  // Load found the file, or this object wrote it: it must be there for a rewrite.
  bool fileKnown_ = false;
  bool dirty_ = false;
  bool loadFailed_ = false;
  int loadError_ = 0;
  int lastError_ = 0;
};

}  // namespace qx
