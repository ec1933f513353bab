// The one parser of GNI invoice texts. A GNI file is a sequence of records: a header line
// "[" name number "]" followed by field lines number "=" value. Readers derive from GniReader and
// receive each record header and field line through the two virtual operations.
//
// Not thread-safe: one reader belongs to one parse on one thread. The texts handed to the
// operations are Windows-1252 bytes exactly as they stand in the file and are valid only during
// the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

namespace qx {

class GniReader {
 public:
  // Longest accepted field value and record name, in bytes; longer ones make the line malformed.
  static constexpr size_t kMaxValueLength = 1022;
  static constexpr size_t kMaxNameLength = 126;

  GniReader() = default;
  virtual ~GniReader() = default;
  GniReader(const GniReader&) = delete;
  GniReader& operator=(const GniReader&) = delete;

  // Parses the regular file at `path`, reading at most `maxBytes`. False when the file cannot be
  // opened or read, is larger than `maxBytes`, holds no record header, or (outside lenient mode)
  // holds a malformed line. `*readError` (may be null) becomes the errno value when the file could
  // not be opened or read, 0 otherwise.
  bool Parse(const std::string& path, size_t maxBytes = SIZE_MAX, int* readError = nullptr);

  // Parses the bytes of `in`, which should be opened in binary mode: the parser applies the
  // text-mode rules itself (CR LF reads as one line end, a byte 0x1A ends the input). Result as
  // for Parse.
  bool ParseStream(std::istream& in);

  // Parses a text held in memory. Result as for Parse.
  bool ParseBytes(std::string_view bytes);

 protected:
  // A record header was read. `name` may be empty and holds no decimal digit.
  virtual void RecordStart(std::string_view name, int32_t number) {}
  // A field line was read. `value` holds any bytes except CR and LF, at most kMaxValueLength.
  virtual void Field(int32_t number, std::string_view value) {}

 private:
  class TextSource;

  bool Run(TextSource& source);
  bool ReadFieldLine(TextSource& source, int firstDigit);
  bool ReadRecordHeader(TextSource& source);

  bool noRecord_ = true;  // cleared by every record header read
  std::string text_;      // the name or value being read, reused between lines
};

}  // namespace qx
