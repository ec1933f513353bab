#include "crypto/anonymizer_context.h"
#include "crypto/envelopes.h"
#include "crypto/message_file.h"
#include "crypto/smime_envelope.h"
#include "platform/codepage.h"
#include "platform/secure_wipe.h"

namespace qx {
namespace {

// Windows-1252 bytes with every lone LF written as CR LF, as a text-mode write produces them.
// The result is allocated once at its final size, so no copy of the text is left behind in
// memory freed by a reallocation.
std::string ToCrLf(std::string_view text) {
  size_t added = 0;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) ++added;
  std::string out;
  out.reserve(text.size() + added);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != text.npos;
}

}  // namespace

HRESULT EncryptText(const AnonymizerContext& context, std::string_view text, std::string* body) {
  if (!body) return E_POINTER;
  body->clear();
  const std::string sender = context.Sender();
  const std::string rcpt = context.Rcpt();
  // A line break would add header lines (further recipients) to the message.
  if (HasLineBreak(sender) || HasLineBreak(rcpt)) return E_INVALIDARG;

  // The clear text is wiped from memory on every way out.
  std::string plain = Utf8ToCp1252(text);
  WipeOnExit wipePlain(plain);
  std::string lines = ToCrLf(plain);
  WipeOnExit wipeLines(lines);
  if (const auto standIn = context.StandIn()) {
    SealedPart part;
    part.clear = lines;
    part.clearBytes = lines.size();
    return standIn->Seal(part, body);
  }
  const std::string header =
      "From: " + Utf8ToCp1252(sender) + "\r\nTo: " + Utf8ToCp1252(rcpt) + "\r\n\r\n";
  return SealMessage(
      context,
      [&](MessageWriter& file) {
        file.Reserve(header.size() + lines.size());
        HRESULT hr = file.Append(header);
        return Succeeded(hr) ? file.Append(lines) : hr;
      },
      body);
}

}  // namespace qx
