// The class registry: creates objects by ProgID. The component's own classes ("qendix.1",
// "qendix", "qendix.Code.1", "qendix.Code") are built in; the security client's ProgIDs
// ("Asas.Client", "Asas.Client.Conf", "ASAS.SMIME", "Asas.SMIME") resolve to the separately
// installed libasas.so.1 through the dynamic loader (QENDIX_ASAS_LIBRARY names another file).
// Thread-safe.
#pragma once

#include <string_view>

#include "qendix/asas.h"
#include "qendix/com.h"

namespace qx {

// Creates a new object for `progid` and returns its interface `iid` with one reference.
// REGDB_E_CLASSNOTREG when the ProgID is unknown or its library cannot be loaded.
HRESULT CreateObjectByProgId(std::string_view progid, const Guid& iid, void** out);

// Factory of a built-in class.
using ClassFactoryFn = HRESULT (*)(const Guid& iid, void** out);

// Registers a built-in class under a ProgID (called by the component's module initialisation).
void RegisterBuiltinClass(std::string_view progid, ClassFactoryFn factory);

// True when `progid` belongs to the security client.
bool IsAsasProgId(std::string_view progid);

// Test hook: the security client's ProgIDs are served by `fn` instead of the installed library.
// nullptr restores the real loader. Affects every later creation in the process.
void SetAsasFactoryForTesting(AsasCreateObjectFn fn);

}  // namespace qx
