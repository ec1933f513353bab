// The user's language: LANGUAGE, LC_ALL, LC_MESSAGES, LANG in that order, the first that is set
// and not empty; a value whose language part is "fr" gives French, anything else German.
// Read afresh at every call, nothing is cached.
#pragma once

namespace qx {

bool UserLanguageIsFrench();

}  // namespace qx
