#include "properties.h"

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
  static const std::vector<std::string> names = {"trustCenter", "inputDirectory", "workDirectory",
                                                 "asasLogin",   "withPDF",        "withArchive",
                                                 "debug"};
  return names;
}

HRESULT SetProperty(qx::IQendix* q, const std::string& name, const std::string& value, bool* known,
                    bool* bad_value) {
  *known = true;
  *bad_value = false;
  if (name == "trustCenter") return q->put_trustCenter(value);
  if (name == "inputDirectory") return q->put_inputDirectory(value);
  if (name == "workDirectory") return q->put_workDirectory(value);
  if (name == "asasLogin") return q->put_asasLogin(value);
  if (name == "withPDF" || name == "withArchive" || name == "debug") {
    bool b = false;
    if (!ParseBool(value, &b)) {
      *bad_value = true;
      return qx::E_INVALIDARG;
    }
    qx::VariantBool v = b ? qx::VARIANT_TRUE : qx::VARIANT_FALSE;
    if (name == "withPDF") return q->put_withPDF(v);
    if (name == "withArchive") return q->put_withArchive(v);
    return q->put_debug(v);
  }
  *known = false;
  return qx::E_INVALIDARG;
}

HRESULT GetProperty(qx::IQendix* q, const std::string& name, std::vector<std::string>* lines,
                    bool* known) {
  *known = true;
  using StringGetter = HRESULT (qx::IQendix::*)(qx::BStr*);
  using BoolGetter = HRESULT (qx::IQendix::*)(qx::VariantBool*);
  static const std::pair<const char*, StringGetter> strings[] = {
      {"qendixVersion", &qx::IQendix::get_qendixVersion},
      {"trustCenter", &qx::IQendix::get_trustCenter},
      {"inputDirectory", &qx::IQendix::get_inputDirectory},
      {"workDirectory", &qx::IQendix::get_workDirectory},
      {"ean", &qx::IQendix::get_ean},
      {"esr", &qx::IQendix::get_esr},
      {"esrPDF", &qx::IQendix::get_esrPDF},
      {"tcTel", &qx::IQendix::get_tcTel},
      {"session", &qx::IQendix::get_session},
      {"asasVersion", &qx::IQendix::get_asasVersion},
      {"asasLogin", &qx::IQendix::get_asasLogin},
  };
  static const std::pair<const char*, BoolGetter> bools[] = {
      {"withPDF", &qx::IQendix::get_withPDF},
      {"withArchive", &qx::IQendix::get_withArchive},
      {"activateGUI", &qx::IQendix::get_activateGUI},
      {"debug", &qx::IQendix::get_debug},
  };
  for (const auto& [n, getter] : strings) {
    if (name != n) continue;
    qx::BStr value;
    HRESULT hr = (q->*getter)(&value);
    if (qx::Succeeded(hr)) lines->push_back(value.value_or(""));
    return hr;
  }
  for (const auto& [n, getter] : bools) {
    if (name != n) continue;
    qx::VariantBool value = 0;
    HRESULT hr = (q->*getter)(&value);
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
