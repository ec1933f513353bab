// JSON text helpers for the --json event stream.
#pragma once

#include <string>

#include "qendix/com.h"

namespace qendix_cli {

// A JSON string literal of UTF-8 text (quotes included); invalid UTF-8 bytes become U+FFFD.
std::string JsonString(const std::string& text);
// JsonString, or null for a null text.
std::string JsonString(const qx::BStr& text);

}  // namespace qendix_cli
