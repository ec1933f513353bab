// The anonymization stylesheets (stylesheets/anonymize.xsl for XML invoices of version 4.0,
// stylesheets/anonymize_current.xsl for 4.4, 4.5 and 5.0), carried inside the library: the build
// turns the files' bytes into generated sources, so nothing is looked up at run time.
#pragma once

#include <string_view>

namespace qx {

// The stylesheet's bytes (UTF-8 XML), valid for the life of the process.
std::string_view AnonymizationStylesheet();
std::string_view CurrentAnonymizationStylesheet();

}  // namespace qx
