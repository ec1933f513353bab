#include "formats/sent_register.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "platform/unique_fd.h"

namespace qx {
namespace {

constexpr std::string_view kHeader = "qxdl-1.0";
constexpr std::string_view kLineEnd = "\r\n";
// An editor may put one before the header.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Lines longer than this are not entries the register writes for real invoices; such a line is
// skipped as a whole and reading goes on with the next one.
constexpr size_t kMaxLineBytes = 64 * 1024;
// The shortest line a real entry makes: a short identifier and amount, a sending time of ten
// digits, a ZSR number.
constexpr uint64_t kTypicalLineBytes = 24;

// Reads a file line by line (split at LF), with bounded memory for any line length. Lines are
// handed out as views into the reader's buffer, so reading copies nothing.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buffer_(kBufferBytes) {}

  // The next line without its LF, valid until the next call. False at the end of the file or on
  // a read error (see failed()). `tooLong` tells that the line had more than kMaxLineBytes and
  // `line` holds only its start; the rest of it is passed over.
  bool Next(std::string_view& line, bool& tooLong) {
    tooLong = false;
    for (;;) {
      const char* begin = buffer_.data() + pos_;
      const size_t available = size_ - pos_;
      if (const void* found = std::memchr(begin, '\n', available)) {
        const size_t length = static_cast<size_t>(static_cast<const char*>(found) - begin);
        pos_ += length + 1;
        if (skipping_) {
          skipping_ = false;
          continue;
        }
        line = std::string_view(begin, std::min(length, kMaxLineBytes));
        tooLong = length > kMaxLineBytes;
        return true;
      }
      if (!skipping_ && available > kMaxLineBytes) {
        line = std::string_view(begin, kMaxLineBytes);
        tooLong = true;
        skipping_ = true;
        pos_ = size_;
        return true;
      }
      if (ended_) {
        // The last line, without LF.
        if (skipping_ || available == 0) return false;
        line = std::string_view(begin, available);
        pos_ = size_;
        return true;
      }
      // Keep the started line (unless it is passed over) and read on behind it.
      const size_t kept = skipping_ ? 0 : available;
      std::memmove(buffer_.data(), begin, kept);
      pos_ = 0;
      size_ = kept;
      Fill();
    }
  }

  bool failed() const { return failed_; }
  // The errno value of the failed read (EIO if it had none).
  int error() const { return error_ != 0 ? error_ : EIO; }

 private:
  // Room for the longest line that is read whole, and for reading in large pieces behind it.
  static constexpr size_t kBufferBytes = 4 * kMaxLineBytes;

  void Fill() {
    for (;;) {
      ssize_t got = sys::Read(fd_, buffer_.data() + size_, buffer_.size() - size_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        failed_ = true;
        error_ = errno;
      }
      if (got > 0)
        size_ += static_cast<size_t>(got);
      else
        ended_ = true;
      return;
    }
  }

  int fd_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t size_ = 0;
  bool skipping_ = false;  // the rest of a line that was too long is being passed over
  bool ended_ = false;     // end of file or read error
  bool failed_ = false;
  int error_ = 0;
};

// Reads the amount the way the duplicate check compares it; NaN stands for "no number".
double AmountValue(std::string_view amount) {
  return ParseAmountNumber(amount).value_or(std::numeric_limits<double>::quiet_NaN());
}

// Whether a stored amount makes an invoice with amount `given` the same invoice again: always,
// unless both are numbers and `given` is the exact negation of a stored amount other than zero
// (a reversal). A NaN never equals anything, so an amount that is no number always matches.
bool SameInvoice(double stored, double given) {
  return !(stored == -given && stored != given);
}

// Opens the register file and reads its header line. kMissing when there is no file; kFailed
// with `*error` (0 when the file is no register) otherwise.
enum class Opened { kOpen, kMissing, kFailed };
Opened OpenRegister(const std::string& path, UniqueFd* file, std::unique_ptr<LineReader>* reader,
                    int* error, uint64_t* bytes = nullptr) {
  UniqueFd fd(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    *error = errno;
    return errno == ENOENT ? Opened::kMissing : Opened::kFailed;
  }
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) {
    *error = errno;
    return Opened::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = EINVAL;
    return Opened::kFailed;
  }
  auto lines = std::make_unique<LineReader>(fd.get());
  std::string_view line;
  bool tooLong = false;
  const bool first = lines->Next(line, tooLong);
  if (lines->failed()) {
    *error = lines->error();
    return Opened::kFailed;
  }
  std::string_view header = line;
  if (header.starts_with(kByteOrderMark)) header.remove_prefix(kByteOrderMark.size());
  if (!first || !header.starts_with(kHeader)) {
    *error = 0;
    return Opened::kFailed;
  }
  if (bytes) *bytes = static_cast<uint64_t>(info.st_size);
  *file = std::move(fd);
  *reader = std::move(lines);
  return Opened::kOpen;
}

}  // namespace

SentRegister::SentRegister(std::string settingsPath)
    : settingsPath_(std::move(settingsPath)), hashKey_(RandomHashKey()) {}

uint64_t SentRegister::KeyOf(std::string_view providerKey, std::string_view invoiceId) const {
  // The identifier's length first, so that no other split of the same bytes into identifier and
  // provider key gives the same message.
  const uint64_t length = invoiceId.size();
  char prefix[sizeof length];
  std::memcpy(prefix, &length, sizeof length);
  KeyedHasher hasher(hashKey_);
  hasher.Update(std::string_view(prefix, sizeof prefix));
  hasher.Update(invoiceId);
  hasher.Update(providerKey);
  return hasher.Final();
}

bool SentRegister::Load(const std::string& path) {
  path_ = path;
  loaded_.clear();
  loaded_.shrink_to_fit();
  recent_.clear();
  added_.clear();
  oldest_ = std::numeric_limits<int64_t>::max();
  fileKnown_ = false;
  dirty_ = false;
  loadFailed_ = false;
  loadError_ = 0;
  // A failure: the file is there but its history cannot be known.
  auto fail = [this](int error) {
    loaded_.clear();
    loaded_.shrink_to_fit();
    oldest_ = std::numeric_limits<int64_t>::max();
    loadFailed_ = true;
    loadError_ = error;
    return false;
  };
  try {
    UniqueFd file;
    std::unique_ptr<LineReader> reader;
    int error = 0;
    uint64_t bytes = 0;
    switch (OpenRegister(path, &file, &reader, &error, &bytes)) {
      case Opened::kMissing:
        return true;
      case Opened::kFailed:
        return fail(error);
      case Opened::kOpen:
        break;
    }
    // Room for lines of kTypicalLineBytes, so that the slots are not copied while they grow;
    // only what is filled takes memory. More lines just grow it; no room is no failure.
    try {
      loaded_.reserve(static_cast<size_t>(bytes / kTypicalLineBytes));
    } catch (const std::exception&) {
    }
    std::string_view line;
    bool tooLong = false;
    RegisterFields fields;
    std::string storage;
    while (reader->Next(line, tooLong)) {
      if (tooLong || !SplitRegisterLine(line, &fields, &storage)) continue;
      loaded_.push_back({KeyOf(fields.zsr, fields.invoiceId), AmountValue(fields.amount)});
      oldest_ = std::min(oldest_, fields.sentAt);
    }
    if (reader->failed()) return fail(reader->error());
    // Ordered by key for Find's binary search.
    std::sort(loaded_.begin(), loaded_.end(),
              [](const Slot& a, const Slot& b) { return a.key < b.key; });
    fileKnown_ = true;
    return true;
  } catch (const std::bad_alloc&) {
    return fail(ENOMEM);
  }
}

bool SentRegister::Fail(int error) {
  if (error == 0) error = EIO;
  lastError_ = error;
  errno = error;
  return false;
}

bool SentRegister::Save() {
  if (!dirty_) return true;
  if (loadFailed_) return Fail(loadError_ != 0 ? loadError_ : EINVAL);
  if (path_.empty()) return Fail(ENOENT);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const int64_t cutoff = now - ReadDlogMaxMonths(settingsPath_) * kRegisterSecondsPerMonth;
  // Appended entries are in the file already; it changes only when something expired.
  if (added_.empty() && oldest_ > cutoff) {
    dirty_ = false;
    lastError_ = 0;
    return true;
  }
  int error = 0;
  try {
    if (!Rewrite(cutoff, &error)) return Fail(error);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
  dirty_ = false;
  lastError_ = 0;
  return true;
}

bool SentRegister::Rewrite(int64_t cutoff, int* error) {
  AtomicFileWriter out;
  out.Open(path_);
  out.Write(kHeader);
  out.Write(kLineEnd);
  int64_t oldest = std::numeric_limits<int64_t>::max();
  SentEntry entry;
  auto write = [&](const RegisterFields& fields) {
    if (fields.sentAt <= cutoff) return;
    entry.zsr.assign(fields.zsr);
    entry.amount.assign(fields.amount);
    entry.sentAt = fields.sentAt;
    out.Write(FormatRegisterLine(fields.invoiceId, entry));
    out.Write(kLineEnd);
    oldest = std::min(oldest, fields.sentAt);
  };
  UniqueFd file;
  std::unique_ptr<LineReader> reader;
  switch (OpenRegister(path_, &file, &reader, error)) {
    case Opened::kMissing:
      // Gone since it was read or written: what it held is unknown.
      if (fileKnown_) return false;
      break;
    case Opened::kFailed:
      if (*error == 0) *error = EINVAL;
      return false;
    case Opened::kOpen: {
      std::string_view line;
      bool tooLong = false;
      RegisterFields fields;
      std::string storage;
      while (reader->Next(line, tooLong)) {
        if (tooLong || !SplitRegisterLine(line, &fields, &storage)) continue;
        write(fields);
      }
      if (reader->failed()) {
        *error = reader->error();
        return false;
      }
      break;
    }
  }
  for (const RegisterLine& line : added_)
    write(RegisterFields{line.invoiceId, line.entry.amount, line.entry.zsr, line.entry.sentAt});
  if (HRESULT hr = out.Commit(); Failed(hr)) {
    *error = ErrnoFromHresult(hr);
    return false;
  }
  added_.clear();
  oldest_ = oldest;
  fileKnown_ = true;
  return true;
}

bool SentRegister::Find(std::string_view zsr, std::string_view invoiceId,
                        std::string_view amount) const {
  const uint64_t key = KeyOf(CutProviderKey(zsr), invoiceId);
  const double given = AmountValue(amount);
  auto first = std::lower_bound(loaded_.begin(), loaded_.end(), key,
                                [](const Slot& slot, uint64_t k) { return slot.key < k; });
  for (auto it = first; it != loaded_.end() && it->key == key; ++it)
    if (SameInvoice(it->amount, given)) return true;
  auto [it, end] = recent_.equal_range(key);
  for (; it != end; ++it)
    if (SameInvoice(it->second, given)) return true;
  return false;
}

bool SentRegister::Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount) {
  return Add(zsr, invoiceId, amount, static_cast<int64_t>(std::time(nullptr)));
}

bool SentRegister::Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount,
                       int64_t sentAt) {
  RegisterLine line;
  line.invoiceId = std::string(invoiceId);
  line.entry.zsr = std::string(CutProviderKey(zsr));
  line.entry.amount = std::string(CutCharacters(amount, kMaxAmountChars));
  line.entry.sentAt = sentAt;
  const uint64_t key = KeyOf(line.entry.zsr, line.invoiceId);
  const double value = AmountValue(line.entry.amount);
  // Kept for the file first: a delivery must reach the file even when memory runs out here.
  added_.push_back(std::move(line));
  recent_.emplace(key, value);
  dirty_ = true;
  return true;
}

bool SentRegister::AppendAdded() {
  if (added_.empty()) return true;
  if (loadFailed_) return Fail(loadError_ != 0 ? loadError_ : EINVAL);
  if (path_.empty()) return Fail(ENOENT);
  int64_t oldest = oldest_;
  std::string lines;
  try {
    for (const RegisterLine& line : added_) {
      lines.append(FormatRegisterLine(line.invoiceId, line.entry)).append(kLineEnd);
      oldest = std::min(oldest, line.entry.sentAt);
    }
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
  const std::string header = std::string(kHeader) + std::string(kLineEnd);
  const HRESULT hr = AppendToFileDurably(path_, lines, header, kLineEnd);
  if (Failed(hr)) return Fail(ErrnoFromHresult(hr));
  added_.clear();
  oldest_ = oldest;
  fileKnown_ = true;
  return true;
}

}  // namespace qx
