#include "crypto/asas_objects.h"

namespace qx {

RefPtr<IAsasCollection> CollectionOf(const Variant& value) {
  IUnknown* object = value.TryObject();
  if (!object) return {};
  return RefPtr<IUnknown>::Share(object).As<IAsasCollection>();
}

RefPtr<IAsasEntry> EntryOf(const Variant& value) {
  IUnknown* object = value.TryObject();
  if (!object) return {};
  return RefPtr<IUnknown>::Share(object).As<IAsasEntry>();
}

}  // namespace qx
