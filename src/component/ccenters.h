// CCenters: the Trust Center labels as an IQendixCollection, copied when the collection is made
// (later changes of the directory do not reach it). Item is 1-based. Immutable after creation,
// so it may be used from any thread.
#pragma once

#include <string>
#include <vector>

#include "qendix/qendix.h"

namespace qx {

class CCenters final : public ComObject<IQendixCollection> {
 public:
  // Returns a new collection with one reference in *out.
  static HRESULT Create(std::vector<std::string> labels, IQendixCollection** out);

  HRESULT get__NewEnum(IUnknown** ppUnk) override;
  HRESULT get_Item(int32_t Index, BStr* pVal) override;
  HRESULT get_Count(int32_t* pVal) override;

 private:
  explicit CCenters(std::vector<std::string> labels) : labels_(std::move(labels)) {}
  ~CCenters() = default;

  const std::vector<std::string> labels_;
};

// An IEnumVariant over a list of strings; each item is a string variant.
HRESULT CreateStringEnumerator(std::vector<std::string> items, IEnumVariant** out);

}  // namespace qx
