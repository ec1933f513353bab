// Converting an automation variant to text, as the code object does with its variant arguments
// (the patient identifier, the postal code) before it hashes them.
#pragma once

#include <string>

#include "qendix/com.h"

namespace qx {

// Text form of `value` (UTF-8): empty for an empty variant, the string itself, decimal numbers
// (up to 15 significant digits, as automation prints doubles), "-1"/"0" for booleans, a date as
// "YYYY-MM-DD" (with " HH:MM:SS" when it has a time). A null variant or an object cannot be
// converted: DISP_E_TYPEMISMATCH.
HRESULT VariantToText(const Variant& value, std::string* text);

}  // namespace qx
