#include "platform/language.h"

#include <stdlib.h>

#include <string_view>

namespace qx {

bool UserLanguageIsFrench() {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (!value || !*value) continue;
    std::string_view v(value);
    // LANGUAGE may list several languages ("fr_CH:de"); the first one counts.
    v = v.substr(0, v.find(':'));
    std::string_view lang = v.substr(0, v.find_first_of("_.@-"));
    return lang.size() == 2 && (lang[0] == 'f' || lang[0] == 'F') &&
           (lang[1] == 'r' || lang[1] == 'R');
  }
  return false;
}

}  // namespace qx
