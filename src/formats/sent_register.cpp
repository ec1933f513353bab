#include "formats/sent_register.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <new>
#include <utility>
#include <vector>

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

// Reads a file line by line (split at LF), with bounded memory for any line length.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buffer_(64 * 1024) {}

  // The next line without its LF. False at the end of the file or on a read error (see failed()).
  // `tooLong` tells that the line had more than kMaxLineBytes and `line` holds only its start.
  bool Next(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    bool any = false;
    for (;;) {
      if (pos_ == size_ && !Fill()) return any;
      any = true;
      const char* begin = buffer_.data() + pos_;
      const char* end = buffer_.data() + size_;
      const char* newline = static_cast<const char*>(memchr(begin, '\n', end - begin));
      const char* stop = newline ? newline : end;
      size_t room = kMaxLineBytes - line.size();
      size_t take = static_cast<size_t>(stop - begin);
      if (take > room) {
        take = room;
        tooLong = true;
      }
      line.append(begin, take);
      pos_ += static_cast<size_t>(stop - begin);
      if (newline) {
        ++pos_;
        return true;
      }
    }
  }

  bool failed() const { return failed_; }
  // The errno value of the failed read (EIO if it had none).
  int error() const { return error_ != 0 ? error_ : EIO; }

 private:
  bool Fill() {
    for (;;) {
      ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        failed_ = true;
        error_ = errno;
      }
      pos_ = 0;
      size_ = got > 0 ? static_cast<size_t>(got) : 0;
      return got > 0;
    }
  }

  int fd_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t size_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

}  // namespace

SentRegister::SentRegister(std::string settingsPath) : settingsPath_(std::move(settingsPath)) {}

bool SentRegister::Load(const std::string& path) {
  path_ = path;
  entries_.clear();
  added_.clear();
  dirty_ = false;
  loadFailed_ = false;
  loadError_ = 0;
  // A failure: the file is there but its history cannot be known.
  auto fail = [this](int error) {
    loadFailed_ = true;
    loadError_ = error;
    return false;
  };
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) return errno == ENOENT ? true : fail(errno);
  struct stat info;
  if (::fstat(file.get(), &info) != 0) return fail(errno);
  if (!S_ISREG(info.st_mode)) return fail(EINVAL);

  try {
    LineReader reader(file.get());
    std::string line;
    bool tooLong = false;
    bool first = reader.Next(line, tooLong);
    if (reader.failed()) return fail(reader.error());
    std::string_view header(line);
    if (header.starts_with(kByteOrderMark)) header.remove_prefix(kByteOrderMark.size());
    if (!first || !header.starts_with(kHeader)) return fail(0);
    while (reader.Next(line, tooLong)) {
      if (tooLong) continue;
      if (auto parsed = ParseRegisterLine(line))
        entries_.emplace(std::move(parsed->invoiceId), std::move(parsed->entry));
    }
    if (reader.failed()) return fail(reader.error());
    return true;
  } catch (const std::bad_alloc&) {
    return fail(ENOMEM);
  }
}

bool SentRegister::Save() {
  if (!dirty_) return true;
  int error = 0;
  if (loadFailed_) {
    error = loadError_ != 0 ? loadError_ : EINVAL;
  } else if (path_.empty()) {
    error = ENOENT;
  } else {
    try {
      const int64_t now = static_cast<int64_t>(std::time(nullptr));
      const int64_t cutoff = now - ReadDlogMaxMonths(settingsPath_) * kRegisterSecondsPerMonth;
      std::string content;
      content.reserve(kHeader.size() + kLineEnd.size() + entries_.size() * 48);
      content.append(kHeader).append(kLineEnd);
      for (const auto& [invoiceId, entry] : entries_) {
        if (entry.sentAt <= cutoff) continue;
        content.append(FormatRegisterLine(invoiceId, entry)).append(kLineEnd);
      }
      const HRESULT hr = WriteFileAtomically(path_, content);
      if (Succeeded(hr)) {
        dirty_ = false;
        added_.clear();
        lastError_ = 0;
        return true;
      }
      error = ErrnoFromHresult(hr);
      if (error == 0) error = EIO;
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
  }
  lastError_ = error;
  errno = error;
  return false;
}

bool SentRegister::Find(std::string_view zsr, std::string_view invoiceId,
                        std::string_view amount) const {
  const std::string_view givenZsr = CutProviderKey(zsr);
  const std::optional<double> given = ParseAmountNumber(amount);
  auto [it, end] = entries_.equal_range(invoiceId);
  for (; it != end; ++it) {
    const SentEntry& entry = it->second;
    if (entry.zsr != givenZsr) continue;
    const std::optional<double> stored = ParseAmountNumber(entry.amount);
    // Only an amount shown to be the exact negation of the stored one (a reversal) is not the
    // same invoice again; a zero amount against a stored zero is.
    if (!stored || !given || *stored == *given || *stored != -*given) return true;
  }
  return false;
}

bool SentRegister::Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount) {
  return Add(zsr, invoiceId, amount, static_cast<int64_t>(std::time(nullptr)));
}

bool SentRegister::Add(std::string_view zsr, std::string_view invoiceId, std::string_view amount,
                       int64_t sentAt) {
  SentEntry entry;
  entry.zsr = std::string(CutProviderKey(zsr));
  entry.amount = std::string(CutCharacters(amount, kMaxAmountChars));
  entry.sentAt = sentAt;
  // A multimap inserts after the entries with an equal key.
  added_.emplace_back(std::string(invoiceId), entry);
  entries_.emplace(std::string(invoiceId), std::move(entry));
  dirty_ = true;
  return true;
}

bool SentRegister::AppendAdded() {
  if (added_.empty()) return true;
  int error = 0;
  if (loadFailed_) {
    error = loadError_ != 0 ? loadError_ : EINVAL;
  } else if (path_.empty()) {
    error = ENOENT;
  } else {
    std::string lines;
    for (const auto& [invoiceId, entry] : added_)
      lines.append(FormatRegisterLine(invoiceId, entry)).append(kLineEnd);
    const std::string header = std::string(kHeader) + std::string(kLineEnd);
    const HRESULT hr = AppendToFileDurably(path_, lines, header, kLineEnd);
    if (Succeeded(hr)) {
      added_.clear();
      return true;
    }
    error = ErrnoFromHresult(hr);
    if (error == 0) error = EIO;
  }
  lastError_ = error;
  errno = error;
  return false;
}

}  // namespace qx
