#include "properties.h"

#include "qendix/properties.h"

#include <algorithm>
#include <cctype>

namespace qendix_cli {
namespace {

using qx::HRESULT;

HRESULT CollectionLines(qx::IQendixCollection* c, std::vector<std::string>* lines) {
  int32_t count = 0;
  HRESULT hr = c->get_Count(&count);
  for (int32_t i = 1; qx::Succeeded(hr) && i <= count; ++i) {
    qx::BStr item;
    hr = c->get_Item(i, &item);
    if (qx::Succeeded(hr)) lines->push_back(item.value_or(""));
  }
  return hr;
}

HRESULT AsasCollectionLines(qx::IAsasCollection* c, std::vector<std::string>* lines) {
  int32_t count = 0;
  HRESULT hr = c->get_Count(&count);
  for (int32_t i = 1; qx::Succeeded(hr) && i <= count; ++i) {
    qx::Variant item;
    hr = c->get_Item(i, &item);
    if (qx::Failed(hr)) break;
    if (const std::string* s = item.TryString()) {
      lines->push_back(*s);
    } else if (qx::IUnknown* object = item.TryObject()) {
      // An entry object: its name.
      qx::RefPtr<qx::IAsasEntry> entry;
      object->QueryInterface(qx::IAsasEntry::kIid, entry.PutVoid());
      qx::Variant name;
      if (entry && qx::Succeeded(entry->get_Name(&name)) && name.TryString())
        lines->push_back(name.AsString());
    }
  }
  return hr;
}

}  // namespace

bool ParseBool(const std::string& text, bool* value) {
  std::string t = text;
  std::transform(t.begin(), t.end(), t.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (t == "true" || t == "1" || t == "yes" || t == "on") {
    *value = true;
    return true;
  }
  if (t == "false" || t == "0" || t == "no" || t == "off") {
    *value = false;
    return true;
  }
  return false;
}

const std::vector<std::string>& SettableProperties() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const auto& p : qx::kStringProperties)
      if (p.put) out.push_back(p.name);
    for (const auto& p : qx::kBoolProperties)
      if (p.put) out.push_back(p.name);
    return out;
  }();
  return names;
}

HRESULT SetProperty(qx::IQendix* q, const std::string& name, const std::string& value, bool* known,
                    bool* bad_value) {
  *known = true;
  *bad_value = false;
  if (const qx::StringProperty* p = qx::FindStringProperty(name); p && p->put)
    return (q->*p->put)(value);
  if (const qx::BoolProperty* p = qx::FindBoolProperty(name); p && p->put) {
    bool b = false;
    if (!ParseBool(value, &b)) {
      *bad_value = true;
      return qx::E_INVALIDARG;
    }
    return (q->*p->put)(b ? qx::VARIANT_TRUE : qx::VARIANT_FALSE);
  }
  *known = false;
  return qx::E_INVALIDARG;
}

HRESULT GetProperty(qx::IQendix* q, const std::string& name, std::vector<std::string>* lines,
                    bool* known) {
  *known = true;
  if (const qx::StringProperty* p = qx::FindStringProperty(name)) {
    qx::BStr value;
    HRESULT hr = (q->*p->get)(&value);
    if (qx::Succeeded(hr)) lines->push_back(value.value_or(""));
    return hr;
  }
  if (const qx::BoolProperty* p = qx::FindBoolProperty(name)) {
    qx::VariantBool value = 0;
    HRESULT hr = (q->*p->get)(&value);
    if (qx::Succeeded(hr)) lines->push_back(value == qx::VARIANT_TRUE ? "true" : "false");
    return hr;
  }
  if (name == "trustCenters") {
    qx::RefPtr<qx::IQendixCollection> c;
    HRESULT hr = q->get_trustCenters(c.Put());
    return qx::Succeeded(hr) && c ? CollectionLines(c.Get(), lines) : hr;
  }
  if (name == "asasLogins") {
    qx::RefPtr<qx::IAsasCollection> c;
    HRESULT hr = q->get_asasLogins(c.Put());
    return qx::Succeeded(hr) && c ? AsasCollectionLines(c.Get(), lines) : hr;
  }
  *known = false;
  return qx::E_INVALIDARG;
}

}  // namespace qendix_cli
