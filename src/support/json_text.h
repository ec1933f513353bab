// Small helpers for the JSON reports (status, preview): string literals and a key-value writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

// A JSON string literal of UTF-8 text (quotes included); bytes that are not valid UTF-8 become
// U+FFFD, control characters \uXXXX escapes.
std::string JsonString(std::string_view text);

// Builds one JSON object member by member. Values given as text are written as string literals;
// Raw takes a finished JSON value (a number, true, null, a nested object or array).
class JsonObject {
 public:
  JsonObject& Text(std::string_view key, std::string_view value);
  JsonObject& Number(std::string_view key, int64_t value);
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Raw(std::string_view key, std::string_view json);
  // The object, braces included.
  std::string Done() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

}  // namespace qx
