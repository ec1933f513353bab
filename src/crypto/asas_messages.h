// TEMPORARY: the few catalogue texts that the security-client session needs (1000 to 1005,
// 1118), in German and French, and texts for failure codes. To be replaced by the message
// catalogue (support/messages.h) once it lands; callers then switch to LoadMessage.
#pragma once

#include <string>

#include "qendix/com.h"

namespace qx {

// The text of message `id` (German id) in the user's language, UTF-8; empty for an id not held
// here. Language: the first non-empty of LANGUAGE, LC_ALL, LC_MESSAGES, LANG; a language part
// "fr" gives French, anything else German. Read at every call.
std::string AsasMessage(int id);

// True when the user's language (rule above) is French.
bool UserLanguageIsFrench();

// The system's text for a failure code: strerror for facility-7 (errno) codes, a short table for
// the common HRESULTs, else "Error 0x%08X".
std::string AsasSystemText(HRESULT hr);

// `format` with each "%s" replaced, in order, by the next of `args` (missing ones by nothing).
std::string FillText(const std::string& format, std::initializer_list<std::string> args);

}  // namespace qx
