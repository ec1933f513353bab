// One line that describes the running system, and the generator text built from it.
#pragma once

#include <string>

#include "qendix/build_paths.h"

namespace qx {

// The version text of the component.
constexpr const char* kVersionText = QENDIX_VERSION_TEXT;

// "<PRETTY_NAME of /etc/os-release>, <sysname> <release> <machine>", for example
// "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64 x86_64". Never fails: pieces that cannot
// be read are left out; the result may be empty.
std::string SystemDescription();

// The version text, " / " and the system description.
std::string GeneratorText();

}  // namespace qx
