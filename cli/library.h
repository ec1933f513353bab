// Loads libqendix.so at the first object request and hands out its entry points.
#pragma once

#include <string>

#include "qendix/qendix.h"

namespace qendix_cli {

struct Library {
  QxCreateObjectFn createObject = nullptr;
  // Live objects and job threads of the library (0 when it could be unloaded).
  int (*objectCount)() = nullptr;
  // The folder of the loaded library file.
  std::string folder;
};

// Loads the library once (QENDIX_LIBRARY names another file; else the usual search, then the
// installation's library folder relative to this program, then "../lib" as in the build folder). On
// failure returns false with a message in *error.
bool LoadLibrary(Library* library, std::string* error);

}  // namespace qendix_cli
