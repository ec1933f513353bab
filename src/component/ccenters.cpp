#include "component/ccenters.h"

#include <memory>
#include <new>

#include "platform/call_guard.h"

namespace qx {
namespace {

class StringEnumerator final : public ComObject<IEnumVariant> {
 public:
  StringEnumerator(std::shared_ptr<const std::vector<std::string>> items, size_t position)
      : items_(std::move(items)), position_(position) {}

  HRESULT Next(uint32_t count, Variant* items, uint32_t* fetched) override {
    if (!items && count > 0) return E_POINTER;
    uint32_t n = 0;
    HRESULT hr = GuardedCall([&] {
      while (n < count && position_ < items_->size()) {
        items[n] = Variant((*items_)[position_]);
        ++n;
        ++position_;
      }
      return n == count ? S_OK : S_FALSE;
    });
    if (fetched) *fetched = n;
    return hr;
  }
  HRESULT Skip(uint32_t count) override {
    size_t left = items_->size() - position_;
    if (count > left) {
      position_ = items_->size();
      return S_FALSE;
    }
    position_ += count;
    return S_OK;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumVariant** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) StringEnumerator(items_, position_);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ~StringEnumerator() = default;
  std::shared_ptr<const std::vector<std::string>> items_;
  size_t position_;
};

}  // namespace

HRESULT CreateStringEnumerator(std::vector<std::string> items, IEnumVariant** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return GuardedCall([&] {
    auto shared = std::make_shared<const std::vector<std::string>>(std::move(items));
    *out = new StringEnumerator(std::move(shared), 0);
    return S_OK;
  });
}

HRESULT CCenters::Create(std::vector<std::string> labels, IQendixCollection** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return GuardedCall([&] {
    *out = new CCenters(std::move(labels));
    return S_OK;
  });
}

HRESULT CCenters::get__NewEnum(IUnknown** ppUnk) {
  if (!ppUnk) return E_POINTER;
  IEnumVariant* e = nullptr;
  HRESULT hr = CreateStringEnumerator(labels_, &e);
  *ppUnk = e;
  return hr;
}

HRESULT CCenters::get_Item(int32_t Index, BStr* pVal) {
  if (!pVal) return E_POINTER;
  if (Index <= 0) return E_INVALIDARG;
  if (labels_.empty() || static_cast<size_t>(Index) > labels_.size()) return E_FAIL;
  return GuardedCall([&] {
    *pVal = labels_[static_cast<size_t>(Index) - 1];
    return S_OK;
  });
}

HRESULT CCenters::get_Count(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<int32_t>(labels_.size());
  return S_OK;
}

}  // namespace qx
