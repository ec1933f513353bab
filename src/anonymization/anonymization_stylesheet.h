// The anonymization stylesheet (stylesheets/anonymize.xsl), carried inside the library: the build
// turns the file's bytes into a generated source, so nothing is looked up at run time.
#pragma once

#include <string_view>

namespace qx {

// The stylesheet's bytes (UTF-8 XML), valid for the life of the process.
std::string_view AnonymizationStylesheet();

}  // namespace qx
