// The message file that the S/MIME object loads and saves.
//
// Loaded message: header lines, an empty line, then the body, which is taken byte for byte up to
// the end of the file. Header lines end in LF or CR LF; a line that starts with a blank or tab
// continues the previous one. Each header is "Name: value" (the name case-insensitive); only
// "To" (required, once) and "From" (optional, once) are used, others are ignored. The "To" value
// lists the recipient names separated by commas and/or blanks; it may be UTF-8 or, when it is
// not valid UTF-8, Windows-1252.
//
// The file is treated as hostile: it must be a regular file of at most kMaxMessageBytes; the
// header may hold at most kMaxHeaderLines lines of at most kMaxHeaderLineBytes each and at most
// kMaxHeaderBytes in all, no control characters but tab, and at most kMaxRecipients names.
//
// Saved envelope: the "From" and "To" lines as loaded, the MIME lines of an S/MIME
// enveloped-data message, an empty line and the DER of the CMS structure in base64 (lines of
// 64 characters, LF line ends).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.h"

namespace asas {

constexpr size_t kMaxMessageBytes = 64 * 1024 * 1024;
constexpr size_t kMaxHeaderLineBytes = 4096;
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kMaxHeaderLines = 100;
constexpr size_t kMaxRecipients = 64;

struct HeaderField {
  std::string name;   // as written
  std::string value;  // raw bytes, leading blanks removed, continuation lines joined
};

// Splits `bytes` into header fields and the body after the first empty line. kBadMessage when the
// header breaks a limit or a rule above or has no empty line after it.
HRESULT SplitMessage(std::string_view bytes, std::vector<HeaderField>* fields,
                     std::string_view* body);

struct Message {
  bool has_from = false;
  std::string from;                     // raw header value
  std::string to;                       // raw header value
  std::vector<std::string> recipients;  // UTF-8 names, in order, without repeats
  std::string body;
};

// Parses a message into *out (the storage of its body is reused): kBadMessage for a malformed
// header or recipient name, kNoRecipients when there is no "To" line or it names nobody.
HRESULT ParseMessage(std::string_view bytes, Message* out);

// Reads and parses the message file at `path` (errno-based HRESULTs for a missing or unreadable
// file, kTooLarge beyond kMaxMessageBytes).
HRESULT LoadMessageFile(const std::string& path, Message* out);

// The recipient names of a "To" value (see above), or kBadMessage / kNoRecipients.
HRESULT ParseRecipients(std::string_view to, std::vector<std::string>* names);

// The saved envelope for `message` with the CMS structure `der`.
std::string FormatEnvelopeFile(const Message& message, std::string_view der);
// The same text written into *out, reusing its storage.
void FormatEnvelopeFileTo(const Message& message, std::string_view der, std::string* out);

}  // namespace asas
