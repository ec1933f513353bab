#include "formats/gni_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <streambuf>
#include <vector>

#include "platform/fault_injection.h"

namespace qx {
namespace {

constexpr int kEnd = -1;
constexpr int kEndOfFileMark = 0x1A;  // Ctrl-Z: ends the input of a file read in text mode

bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}

// Adds one decimal digit. Field and record numbers wrap around modulo 2^32 like the 32-bit
// integers they are read into, but without the undefined behaviour of a signed overflow.
uint32_t AppendDigit(uint32_t number, int digit) {
  return number * 10u + static_cast<uint32_t>(digit - '0');
}

// A read-only stream buffer over bytes in memory, so that ParseBytes needs no copy.
class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(std::string_view bytes) {
    char* begin = const_cast<char*>(bytes.data());
    setg(begin, begin, begin + bytes.size());
  }
};

// Reads a file descriptor, which it owns and closes. A read error, or more than `maxBytes` of
// data, ends the data and is remembered.
class FileBuffer : public std::streambuf {
 public:
  FileBuffer(int fd, size_t maxBytes) : fd_(fd), left_(maxBytes) {}
  ~FileBuffer() override { ::close(fd_); }
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;

  bool failed() const { return failed_; }
  int error() const { return error_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    for (;;) {
      ssize_t got = sys::Read(fd_, data_.data(), data_.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        failed_ = true;
        error_ = errno;
      }
      if (got <= 0) return traits_type::eof();
      if (static_cast<size_t>(got) > left_) {
        failed_ = true;
        return traits_type::eof();
      }
      left_ -= static_cast<size_t>(got);
      setg(data_.data(), data_.data(), data_.data() + got);
      return traits_type::to_int_type(*gptr());
    }
  }

 private:
  int fd_;
  size_t left_;
  bool failed_ = false;
  int error_ = 0;  // of a failed read
  std::vector<char> data_ = std::vector<char>(64 * 1024);
};

}  // namespace

// Characters of the input with the text-mode rules applied: CR LF reads as one LF, 0x1A and the
// end of the data end the input. Once ended, the source stays ended (the stream is "not good").
class GniReader::TextSource {
 public:
  explicit TextSource(std::streambuf* buffer) : buffer_(buffer), ended_(buffer == nullptr) {}

  bool good() const { return !ended_; }

  // The next character (0..255), or kEnd.
  int Get() {
    if (ended_) return kEnd;
    int c = buffer_->sbumpc();
    if (c == std::char_traits<char>::eof() || c == kEndOfFileMark) {
      ended_ = true;
      return kEnd;
    }
    if (c == '\r' && buffer_->sgetc() == '\n') {
      buffer_->sbumpc();
      return '\n';
    }
    return c;
  }

 private:
  std::streambuf* buffer_;
  bool ended_;
};

bool GniReader::Parse(const std::string& path, size_t maxBytes, int* readError) {
  int ignored = 0;
  int& error = readError ? *readError : ignored;
  error = 0;
  // O_NONBLOCK keeps a FIFO from blocking the open, O_NOFOLLOW a link from being followed; only
  // regular files are read. A link (ELOOP) is no file of ours, not a failure to read one.
  int fd = sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ELOOP) error = errno;
    return false;
  }
  FileBuffer buffer(fd, maxBytes);
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    error = errno;
    return false;
  }
  if (!S_ISREG(info.st_mode)) return false;
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) return false;
  std::istream in(&buffer);
  const bool parsed = ParseStream(in);
  // A read that failed ends the input early: the file was not read, whatever the parse made of
  // the part before.
  error = buffer.error();
  return parsed && !buffer.failed();
}

bool GniReader::ParseBytes(std::string_view bytes) {
  MemoryBuffer buffer(bytes);
  std::istream in(&buffer);
  return ParseStream(in);
}

bool GniReader::ParseStream(std::istream& in) {
  noRecord_ = true;
  if (in.fail()) return false;
  TextSource source(in.rdbuf());
  try {
    return Run(source);
  } catch (const std::exception&) {
    // Out of memory, or a stream that reports its errors by exception.
    return false;
  }
}

bool GniReader::Run(TextSource& source) {
  bool lenient = false;
  while (source.good()) {
    int c = source.Get();
    if (c == kEnd || c == '\n' || c == '\r') continue;
    bool wellFormed;
    if (IsDigit(c)) {
      wellFormed = ReadFieldLine(source, c);
    } else if (c == '[') {
      wellFormed = ReadRecordHeader(source);
    } else if (c == '<') {
      // "<?" switches to lenient mode (a transfer document embedding a GNI text); the character
      // after "<" is consumed in any case.
      if (source.Get() == '?') lenient = true;
      continue;
    } else {
      wellFormed = false;
    }
    // In lenient mode a malformed line is dropped and reading goes on with the next character.
    if (!wellFormed && !lenient) return false;
  }
  return !noRecord_;
}

bool GniReader::ReadFieldLine(TextSource& source, int firstDigit) {
  uint32_t number = AppendDigit(0, firstDigit);
  for (;;) {
    int c = source.Get();
    if (c == '=') break;
    if (!IsDigit(c)) return false;
    number = AppendDigit(number, c);
  }
  text_.clear();
  for (;;) {
    if (!source.good() || text_.size() > kMaxValueLength) return false;
    int c = source.Get();
    if (c == '\r' || c == '\n') break;
    if (c == kEnd) return false;  // a last line without line end
    text_.push_back(static_cast<char>(c));
  }
  Field(static_cast<int32_t>(number), text_);
  return true;
}

bool GniReader::ReadRecordHeader(TextSource& source) {
  text_.clear();
  int c;
  for (;;) {
    if (!source.good() || text_.size() > kMaxNameLength) return false;
    c = source.Get();
    if (IsDigit(c)) break;
    if (c == kEnd) return false;
    text_.push_back(static_cast<char>(c));
  }
  uint32_t number = AppendDigit(0, c);
  for (;;) {
    c = source.Get();
    if (c == ']') break;
    if (!IsDigit(c)) return false;
    number = AppendDigit(number, c);
  }
  RecordStart(text_, static_cast<int32_t>(number));
  noRecord_ = false;
  return true;
}

}  // namespace qx
