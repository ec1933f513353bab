#include "net/xml_rpc_request.h"

namespace qx {

void AppendXmlText(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#13;";  // a raw CR would reach the reader as a line feed
        break;
      default:
        out += c;
    }
  }
}

void AppendCdata(std::string& out, std::string_view text) {
  // "]]>" ends a section: the section closes after "]]" and the ">" opens the next one.
  constexpr std::string_view kEnd = "]]>";
  out += "<![CDATA[";
  for (size_t pos = 0;;) {
    size_t found = text.find(kEnd, pos);
    if (found == std::string_view::npos) {
      out.append(text.substr(pos));
      break;
    }
    out.append(text.substr(pos, found + 2 - pos));
    out += "]]><![CDATA[";
    pos = found + 2;
  }
  out += "]]>";
}

std::string MethodCallBody(std::string_view method, const std::vector<XmlRpcParam>& params) {
  std::string body = "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n  <methodName>";
  AppendXmlText(body, method);
  body += "</methodName>\r\n  <params>\r\n";
  for (const XmlRpcParam& param : params) {
    body += "    <param><value>";
    if (param.cdata)
      AppendCdata(body, param.value);
    else
      AppendXmlText(body, param.value);
    body += "</value></param>\r\n";
  }
  body += "  </params>\r\n</methodCall>";
  return body;
}

}  // namespace qx
