// The request bodies of the Trust Center's XML-RPC calls, byte for byte: lines separated by
// CR LF with no line break after the last one, two blanks before "<methodName>" and "<params>",
// four before each "<param>". Every body is UTF-8 and of any length.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx {

// One parameter: `value` inserted as XML text (escaped), or, with `cdata`, as CDATA sections (a
// "]]>" inside the value is split across two sections, so any text travels unchanged).
struct XmlRpcParam {
  std::string_view value;
  bool cdata = false;
};

// "<?xml version="1.0"?>", "<methodCall>", "  <methodName>" + method + "</methodName>",
// "  <params>", one "    <param><value>" + value + "</value></param>" per parameter, "  </params>",
// "</methodCall>".
std::string MethodCallBody(std::string_view method, const std::vector<XmlRpcParam>& params);

// Appends `text` as XML character data: "&", "<", ">" and CR escaped.
void AppendXmlText(std::string& out, std::string_view text);

// Appends `text` as one or more CDATA sections.
void AppendCdata(std::string& out, std::string_view text);

}  // namespace qx
