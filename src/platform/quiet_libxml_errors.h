// Keeps libxml2's messages about errors that belong to no parser (encoding converters, memory)
// off the host's standard error while this thread parses; the previous handlers come back at the
// end of the scope. libxml2 holds these handlers per thread, so the guard affects this thread only.
#pragma once

#include <libxml/globals.h>
#include <libxml/xmlerror.h>

namespace qx {

class QuietLibxmlErrors {
 public:
  QuietLibxmlErrors()
      : genericHandler_(xmlGenericError),
        genericContext_(xmlGenericErrorContext),
        structuredHandler_(xmlStructuredError),
        structuredContext_(xmlStructuredErrorContext) {
    xmlSetGenericErrorFunc(nullptr, &IgnoreMessage);
    xmlSetStructuredErrorFunc(nullptr, &IgnoreError);
  }
  ~QuietLibxmlErrors() {
    xmlSetGenericErrorFunc(genericContext_, genericHandler_);
    xmlSetStructuredErrorFunc(structuredContext_, structuredHandler_);
  }
  QuietLibxmlErrors(const QuietLibxmlErrors&) = delete;
  QuietLibxmlErrors& operator=(const QuietLibxmlErrors&) = delete;

 private:
  static void IgnoreMessage(void*, const char*, ...) {}
  static void IgnoreError(void*, xmlErrorPtr) {}

  xmlGenericErrorFunc genericHandler_;
  void* genericContext_;
  xmlStructuredErrorFunc structuredHandler_;
  void* structuredContext_;
};

}  // namespace qx
