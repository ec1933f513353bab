// Reading and setting the component's properties by name.
#pragma once

#include <string>
#include <vector>

#include "qendix/qendix.h"

namespace qendix_cli {

// Parses true/false, 1/0, yes/no, on/off. False when the text is none of them.
bool ParseBool(const std::string& text, bool* value);

// The names `--set` accepts.
const std::vector<std::string>& SettableProperties();

// Puts one property. *known is false for a name that --set does not take; a bad boolean gives
// E_INVALIDARG with *known true and *bad_value true.
qx::HRESULT SetProperty(qx::IQendix* q, const std::string& name, const std::string& value,
                        bool* known, bool* bad_value);

// Reads a property by name into lines of text (collections give one line per item).
// *known is false for a name that is not a readable property.
qx::HRESULT GetProperty(qx::IQendix* q, const std::string& name, std::vector<std::string>* lines,
                        bool* known);

}  // namespace qendix_cli
