// Namespace URIs that the system recognises in XML documents, compared as exact strings.
#pragma once

#include <string_view>

namespace qx {

// Namespace of the public XML invoice standard, as the practice software's invoices use it.
inline constexpr std::string_view kInvoiceNamespace = "http://www.xmlData.ch/xmlInvoice/XSD";

// Namespace of the transfer documents sent to a Trust Center (prefix "qendix").
inline constexpr std::string_view kTransferNamespace = "http://www.qendix.org/transfer/v1";

}  // namespace qx
