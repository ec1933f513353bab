#include "message_file.h"

#include <openssl/crypto.h>

#include <cstring>

#include "base64.h"
#include "file_io.h"
#include "text.h"

namespace asas {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool HasControlBytes(std::string_view line) {
  for (unsigned char c : line)
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  return false;
}

bool IsFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c < 0x21 || c > 0x7E || c == ':') return false;
  return true;
}

}  // namespace

HRESULT SplitMessage(std::string_view bytes, std::vector<HeaderField>* fields,
                     std::string_view* body) {
  fields->clear();
  size_t pos = 0;
  size_t lines = 0;
  for (;;) {
    if (pos > kMaxHeaderBytes) return kBadMessage;
    // Look for the line end only within the longest allowed line.
    size_t window = std::min(bytes.size() - pos, kMaxHeaderLineBytes + 2);
    const void* found = window ? memchr(bytes.data() + pos, '\n', window) : nullptr;
    if (!found) return kBadMessage;  // no line end: the line is too long or the header never ends
    size_t end = static_cast<size_t>(static_cast<const char*>(found) - bytes.data());
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      *body = bytes.substr(pos);
      return qx::S_OK;
    }
    if (line.size() > kMaxHeaderLineBytes || HasControlBytes(line)) return kBadMessage;
    ++lines;
    if (lines > kMaxHeaderLines) return kBadMessage;
    if (line[0] == ' ' || line[0] == '\t') {
      if (fields->empty()) return kBadMessage;
      fields->back().value += line;
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsFieldName(line.substr(0, colon))) return kBadMessage;
    fields->push_back(
        {std::string(line.substr(0, colon)), std::string(TrimBlanks(line.substr(colon + 1)))});
  }
}

HRESULT ParseRecipients(std::string_view to, std::vector<std::string>* names) {
  names->clear();
  std::string text = HeaderTextToUtf8(to);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(", \t", pos);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty()) continue;
    if (!IsValidName(name)) return kBadMessage;
    bool repeated = false;
    for (const auto& n : *names) repeated = repeated || n == name;
    if (repeated) continue;
    if (names->size() == kMaxRecipients) return kBadMessage;
    names->push_back(std::move(name));
  }
  return names->empty() ? kNoRecipients : qx::S_OK;
}

HRESULT ParseMessage(std::string_view bytes, Message* out) {
  std::vector<HeaderField> fields;
  std::string_view body;
  HRESULT hr = SplitMessage(bytes, &fields, &body);
  if (qx::Failed(hr)) return hr;
  Message message;
  bool has_to = false;
  for (auto& field : fields) {
    if (EqualsIgnoreCase(field.name, "To")) {
      if (has_to) return kBadMessage;
      has_to = true;
      message.to = TrimBlanks(field.value);
    } else if (EqualsIgnoreCase(field.name, "From")) {
      if (message.has_from) return kBadMessage;
      message.has_from = true;
      message.from = TrimBlanks(field.value);
    }
  }
  if (!has_to) return kNoRecipients;
  hr = ParseRecipients(message.to, &message.recipients);
  if (qx::Failed(hr)) return hr;
  // The body goes into the storage of the earlier one (wiped by its owner), not a fresh buffer.
  message.body = std::move(out->body);
  message.body.assign(body);
  *out = std::move(message);
  return qx::S_OK;
}

HRESULT LoadMessageFile(const std::string& path, Message* out) {
  std::string bytes;
  HRESULT hr = ReadFileBounded(path, kMaxMessageBytes, &bytes);
  if (qx::Failed(hr)) return hr;
  hr = ParseMessage(bytes, out);
  OPENSSL_cleanse(bytes.data(), bytes.size());  // the plain body is kept only in `out`
  return hr;
}

std::string FormatEnvelopeFile(const Message& message, std::string_view der) {
  std::string out;
  FormatEnvelopeFileTo(message, der, &out);
  return out;
}

void FormatEnvelopeFileTo(const Message& message, std::string_view der, std::string* out) {
  out->clear();
  out->reserve(512 + message.from.size() + message.to.size() + der.size() / 3 * 4 * 65 / 64 + 8);
  if (message.has_from) {
    out->append("From: ").append(message.from).append("\n");
  }
  out->append("To: ").append(message.to).append("\n");
  out->append(
      "MIME-Version: 1.0\n"
      "Content-Disposition: attachment; filename=\"smime.p7m\"\n"
      "Content-Type: application/pkcs7-mime; smime-type=enveloped-data; name=\"smime.p7m\"\n"
      "Content-Transfer-Encoding: base64\n"
      "\n");
  Base64EncodeTo(out, der, 64);
}

}  // namespace asas
