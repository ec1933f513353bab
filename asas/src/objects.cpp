#include "objects.h"

#include <cstring>

#include "com_object.h"

namespace asas {

qx::HRESULT CreateObjectOnHome(std::string_view progid, const Home& home, const qx::Guid& iid,
                               void** out) {
  if (!out) return qx::E_POINTER;
  *out = nullptr;
  return Guarded([&]() -> qx::HRESULT {
    home.Tighten();  // a home others can read is made private before it is used
    qx::RefPtr<qx::IUnknown> object;
    if (progid == "Asas.Client")
      object = MakeClient(home).As<qx::IUnknown>();
    else if (progid == "Asas.Client.Conf")
      object = MakeClientConf(home).As<qx::IUnknown>();
    else if (progid == "ASAS.SMIME" || progid == "Asas.SMIME")
      object = MakeSmime(home).As<qx::IUnknown>();
    else
      return qx::REGDB_E_CLASSNOTREG;
    if (!object) return qx::E_OUTOFMEMORY;
    return object->QueryInterface(iid, out);
  });
}

qx::HRESULT CreateObject(const char* progid, const qx::Guid* iid, void** out) {
  if (!out || !iid) return qx::E_POINTER;
  *out = nullptr;
  if (!progid) return qx::REGDB_E_CLASSNOTREG;
  return Guarded([&]() -> qx::HRESULT {
    std::optional<Home> home = Home::FromEnvironment();
    if (!home) return qx::CLASS_E_CLASSNOTAVAILABLE;
    return CreateObjectOnHome(std::string_view(progid, strnlen(progid, 256)), *home, *iid, out);
  });
}

}  // namespace asas
