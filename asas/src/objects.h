// The security client's automation objects and the factory behind AsasCreateObject.
//
//   "Asas.Client"                IAsasClient, IConnectionPointContainer (events: IAsasEvents)
//   "Asas.Client.Conf"           IAsasClientConf
//   "ASAS.SMIME", "Asas.SMIME"   IAsasSmime
//
// Every object works on one home, fixed when it is made, and reads the home afresh in each
// call, so objects in one process or in several see each other's changes. The objects are
// thread-safe; an S/MIME object keeps its loaded message per object.
#pragma once

#include <string_view>

#include "home.h"
#include "qendix/asas.h"

namespace asas {

// Makes the object of `progid` on `home` and answers `iid` with one reference.
// REGDB_E_CLASSNOTREG for an unknown ProgID, E_NOINTERFACE when the object lacks `iid`.
qx::HRESULT CreateObjectOnHome(std::string_view progid, const Home& home, const qx::Guid& iid,
                               void** out);

// The same on the home named by the environment (home.h); CLASS_E_CLASSNOTAVAILABLE when no
// home can be found.
qx::HRESULT CreateObject(const char* progid, const qx::Guid* iid, void** out);

// Makers of the single classes (one reference, owned by the caller).
qx::RefPtr<qx::IAsasClient> MakeClient(const Home& home);
qx::RefPtr<qx::IAsasClientConf> MakeClientConf(const Home& home);
qx::RefPtr<qx::IAsasSmime> MakeSmime(const Home& home);

}  // namespace asas
