// Fuzzes the reader of the Trust Center's XML-RPC replies: any body is parsed and searched for a
// fault, the struct strings and the input gate's event list, as the client does with a reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/xml_rpc_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  qx::XmlReply reply = qx::XmlReply::Parse(body);
  auto fault = reply.Fault();
  auto strings = reply.StructStrings();
  auto events = reply.EventList();
  // An unreadable reply holds nothing at all.
  if (reply.empty() && (fault || !strings.empty() || events)) abort();
  return 0;
}
