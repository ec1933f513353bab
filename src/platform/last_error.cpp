#include "platform/last_error.h"

#include <string.h>

#include <cstdio>

namespace qx {
std::string SystemErrorText(int error) {
  if (error == 0) return {};
  char buffer[256] = {};
  // GNU strerror_r returns a pointer to the text, which may or may not be `buffer`.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

std::string ResultText(HRESULT hr) {
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

}  // namespace qx
