// Namespace URIs that the system recognises in XML documents, compared as exact strings.
#pragma once

#include <string_view>

namespace qx {

// Namespace of the public XML invoice standard, as the practice software's invoices use it.
inline constexpr std::string_view kInvoiceNamespace = "http://www.xmlData.ch/xmlInvoice/XSD";

// Namespace of the XML invoice standard's later versions (4.4, 4.5 and 5.0), which share it and
// differ in structure only.
inline constexpr std::string_view kCurrentInvoiceNamespace =
    "http://www.forum-datenaustausch.ch/invoice";

// Namespace of XML encryption, whose "EncryptedData" may stand in a payload instead of its body.
inline constexpr std::string_view kXmlEncryptionNamespace = "http://www.w3.org/2001/04/xmlenc#";

// Namespace of the transfer documents sent to a Trust Center (prefix "qendix").
inline constexpr std::string_view kTransferNamespace = "http://www.qendix.org/transfer/v1";

}  // namespace qx
