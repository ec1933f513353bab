// Fuzzes the security client's reading of a message file (header, empty line, body) and the
// envelope file it saves for it. Checks: a message read names 1 to 64 distinct valid recipients
// and keeps its body byte for byte as the end of the file; the saved envelope reads back with
// the same sender and recipients (when its header lines are within the line limit) and carries
// the envelope's bytes in base64.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "base64.h"
#include "message_file.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  asas::Message message;
  if (qx::Failed(asas::ParseMessage(bytes, &message))) return 0;
  const auto& names = message.recipients;
  if (names.empty() || names.size() > asas::kMaxRecipients ||
      std::set<std::string>(names.begin(), names.end()).size() != names.size())
    abort();
  for (const std::string& name : names)
    if (!asas::IsValidName(name)) abort();
  if (message.body.size() > size ||
      bytes.substr(size - message.body.size()) != std::string_view(message.body))
    abort();

  // The envelope of a structure made of the message's first bytes.
  const std::string der(bytes.substr(0, 300));
  const std::string envelope = asas::FormatEnvelopeFile(message, der);
  if (message.from.size() + 6 > asas::kMaxHeaderLineBytes ||
      message.to.size() + 4 > asas::kMaxHeaderLineBytes)
    return 0;
  asas::Message saved;
  if (qx::Failed(asas::ParseMessage(envelope, &saved)) || saved.has_from != message.has_from ||
      saved.from != message.from || saved.recipients != names)
    abort();
  const auto decoded = asas::Base64Decode(saved.body);
  if (!decoded || *decoded != der) abort();
  return 0;
}
