#include "crypto/asas_messages.h"

#include <stdlib.h>
#include <string.h>

#include <cstdio>

namespace qx {
namespace {

struct Text {
  int id;
  const char* german;
  const char* french;
};

constexpr Text kTexts[] = {
    {1000, "ASAS Initialisierung gestartet", "Initialisation ASAS démarée"},
    {1001, "ASAS Login '%s' ist ungültig. Gültige Logins sind: %s",
     "Login ASAS '%s' est invalide. Logins valides sont: %s"},
    {1002, "ASAS Login wechseln: ", "Changer le login ASAS: "},
    {1003, "ASAS läuft...", "ASAS marche..."},
    {1004, "ASAS läuft nicht...", "ASAS ne marche pas..."},
    {1005, "ASAS Initialisierung OK", "Initialisation ASAS ok"},
    {1118, "ASAS nicht installiert", "ASAS non installé"},
};

}  // namespace

bool UserLanguageIsFrench() {
  const char* value = nullptr;
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = getenv(name);
    if (v && *v) {
      value = v;
      break;
    }
  }
  // The language part ends at "_", ".", "@" or ":" (LANGUAGE may list several).
  return value && strncmp(value, "fr", 2) == 0 && strchr("_.@:", value[2]) != nullptr;
}

std::string AsasMessage(int id) {
  for (const Text& text : kTexts)
    if (text.id == id) return UserLanguageIsFrench() ? text.french : text.german;
  return {};
}

std::string AsasSystemText(HRESULT hr) {
  const auto code = static_cast<uint32_t>(hr);
  if ((code & 0xFFFF0000u) == 0x80070000u && code != static_cast<uint32_t>(E_OUTOFMEMORY) &&
      code != static_cast<uint32_t>(E_INVALIDARG) && code != static_cast<uint32_t>(E_BUSY)) {
    char buffer[256];
    return strerror_r(static_cast<int>(code & 0xFFFF), buffer, sizeof buffer);
  }
  switch (hr) {
    case E_FAIL:
      return "Unspecified error";
    case E_UNEXPECTED:
      return "Catastrophic failure";
    case E_NOTIMPL:
      return "Not implemented";
    case E_NOINTERFACE:
      return "No such interface supported";
    case E_POINTER:
      return "Invalid pointer";
    case E_OUTOFMEMORY:
      return "Not enough memory resources are available to complete this operation.";
    case E_INVALIDARG:
      return "The parameter is incorrect.";
    case E_ACCESSDENIED:
      return "Access is denied.";
    case E_BUSY:
      return "The requested resource is in use.";
    case CLASS_E_CLASSNOTAVAILABLE:
      return "ClassFactory cannot supply requested class";
    case REGDB_E_CLASSNOTREG:
      return "Class not registered";
    default:
      break;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "Error 0x%08X", code);
  return buffer;
}

std::string FillText(const std::string& format, std::initializer_list<std::string> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      if (next != args.end()) out += *next++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

}  // namespace qx
