// The library's only exported symbol: the entry point through which the component creates the
// security client's objects by ProgID.
#include "objects.h"

extern "C" __attribute__((visibility("default"))) qx::HRESULT AsasCreateObject(const char* progid,
                                                                               const qx::Guid* iid,
                                                                               void** out) {
  return asas::CreateObject(progid, iid, out);
}
