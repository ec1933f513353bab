// The transfer document of one invoice file, made the same way for the Anonymizer step and for a
// preview: an XML invoice through the anonymization transform, a GNI invoice through the GNI
// converter. The identifying parts are sealed through `anonymizer` (by the security client, or
// by its EnvelopeStandIn when one is set). Runs on the calling thread; the transform and the
// converter are used by one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "anonymization/anonymization_transform.h"
#include "anonymization/gni_converter.h"
#include "crypto/anonymizer_context.h"
#include "formats/file_kind.h"

namespace qx {

// Makes the document of the file at `path` (UTF-8), named `name` (no folder) in it, for the
// recipient list `rcpt`, with the PDF slips when `withPdf`. `kind` must be fkXml or fkGni
// (E_INVALIDARG otherwise). On success *document holds the document exactly as it is to be
// saved; on failure it is empty and the failure of the transform or converter is returned.
HRESULT MakeTransferDocument(AnonymizationTransform& transform, GniConverter& converter,
                             FileKind kind, const std::string& path, const std::string& name,
                             const std::string& rcpt, bool withPdf,
                             const std::shared_ptr<AnonymizerContext>& anonymizer,
                             std::string* document);

}  // namespace qx
