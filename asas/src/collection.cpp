#include "collection.h"

#include <memory>

#include "com_object.h"

namespace asas {
namespace {

using Items = std::shared_ptr<const std::vector<qx::Variant>>;

class EntryObject final : public ComObject<qx::IAsasEntry> {
 public:
  explicit EntryObject(Entry entry) : entry_(std::move(entry)) {}

  qx::HRESULT get_Name(qx::Variant* pVal) override {
    if (!pVal) return qx::E_POINTER;
    return Guarded([&] {
      *pVal = qx::Variant(entry_.name);
      return qx::S_OK;
    });
  }
  qx::HRESULT get_Value(qx::Variant* pVal) override {
    if (!pVal) return qx::E_POINTER;
    return Guarded([&] {
      *pVal = qx::Variant(entry_.value);
      return qx::S_OK;
    });
  }

 private:
  const Entry entry_;
};

class Enumerator final : public ComObject<qx::IEnumVariant> {
 public:
  Enumerator(Items items, size_t position) : items_(std::move(items)), position_(position) {}

  qx::HRESULT Next(uint32_t count, qx::Variant* items, uint32_t* fetched) override {
    if (!items && count) return qx::E_POINTER;
    return Guarded([&] {
      uint32_t done = 0;
      while (done < count && position_ < items_->size()) items[done++] = (*items_)[position_++];
      if (fetched) *fetched = done;
      return done == count ? qx::S_OK : qx::S_FALSE;
    });
  }
  qx::HRESULT Skip(uint32_t count) override {
    size_t left = items_->size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? qx::S_OK : qx::S_FALSE;
  }
  qx::HRESULT Reset() override {
    position_ = 0;
    return qx::S_OK;
  }
  qx::HRESULT Clone(qx::IEnumVariant** out) override {
    if (!out) return qx::E_POINTER;
    *out = nullptr;
    return Guarded([&] {
      return HandOver(new Enumerator(items_, position_), qx::IEnumVariant::kIid,
                      reinterpret_cast<void**>(out));
    });
  }

 private:
  const Items items_;
  size_t position_;  // an enumerator is used by one thread at a time, as its contract says
};

class Collection final : public ComObject<qx::IAsasCollection> {
 public:
  explicit Collection(Items items) : items_(std::move(items)) {}

  qx::HRESULT get_Count(int32_t* pVal) override {
    if (!pVal) return qx::E_POINTER;
    *pVal = static_cast<int32_t>(items_->size());
    return qx::S_OK;
  }
  qx::HRESULT get_Item(int32_t idx, qx::Variant* pVal) override {
    if (!pVal) return qx::E_POINTER;
    if (idx < 1 || static_cast<size_t>(idx) > items_->size()) return qx::DISP_E_BADINDEX;
    return Guarded([&] {
      *pVal = (*items_)[static_cast<size_t>(idx) - 1];
      return qx::S_OK;
    });
  }
  qx::HRESULT get__NewEnum(qx::IUnknown** ppUnk) override {
    if (!ppUnk) return qx::E_POINTER;
    *ppUnk = nullptr;
    return Guarded([&] {
      return HandOver(new Enumerator(items_, 0), qx::IUnknown::kIid,
                      reinterpret_cast<void**>(ppUnk));
    });
  }

 private:
  const Items items_;
};

}  // namespace

qx::RefPtr<qx::IAsasCollection> MakeCollection(std::vector<qx::Variant> items) {
  auto shared = std::make_shared<const std::vector<qx::Variant>>(std::move(items));
  return qx::RefPtr<qx::IAsasCollection>::Adopt(new Collection(std::move(shared)));
}

qx::RefPtr<qx::IAsasEntry> MakeEntry(const Entry& entry) {
  return qx::RefPtr<qx::IAsasEntry>::Adopt(new EntryObject(entry));
}

qx::RefPtr<qx::IAsasCollection> MakeEntryCollection(const std::vector<Entry>& entries) {
  std::vector<qx::Variant> items;
  items.reserve(entries.size());
  for (const auto& e : entries)
    items.emplace_back(qx::RefPtr<qx::IUnknown>(MakeEntry(e).As<qx::IUnknown>()));
  return MakeCollection(std::move(items));
}

}  // namespace asas
