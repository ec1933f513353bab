#include "platform/last_error.h"

#include <string.h>

namespace qx {
namespace {
thread_local int tls_last_error = 0;
}

int GetLastSystemError() {
  return tls_last_error;
}
void SetLastSystemError(int error) {
  tls_last_error = error;
}

std::string SystemErrorText(int error) {
  if (error == 0) return {};
  char buffer[256] = {};
  // GNU strerror_r returns a pointer to the text, which may or may not be `buffer`.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

}  // namespace qx
