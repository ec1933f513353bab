#include "crypto/start_asas.h"

#include "platform/last_error.h"
#include "support/messages.h"
#include "crypto/asas_objects.h"
#include "crypto/variant_text.h"
#include "platform/codepage.h"

namespace qx {
namespace {

// The longest text of message 1001 once filled in.
constexpr size_t kMaxInvalidLoginText = 255;
// The list of valid logins stops growing here; the message shows less anyway.
constexpr size_t kMaxValidLoginList = 1024;

class Reporter {
 public:
  Reporter(EventTarget& events, tagMsgOrigin origin) : events_(events), origin_(origin) {}

  void Trace(const std::string& text) {
    events_.RaiseEvent(mlDebug, mcModule, origin_, 0, std::nullopt, text);
  }
  void Raise(tagMsgLevel level, int32_t code, const std::string& text) {
    events_.RaiseEvent(level, mcModule, origin_, code, std::nullopt, text);
  }
  // A failing call of the security client; returns false for the caller to pass on.
  bool CallFailed(HRESULT hr) {
    events_.RaiseEvent(mlError, mcAsas, origin_, hr, std::nullopt, ResultText(hr));
    return false;
  }

 private:
  EventTarget& events_;
  const tagMsgOrigin origin_;
};

// Looks `login` up among the client's logins. *found tells whether it is one of them; otherwise
// *valid lists them, each in single quotes, separated by ", ". False after a failing call.
bool FindLogin(IAsasClientConf& conf, const std::string& login, Reporter& report, bool* found,
               std::string* valid) {
  *found = false;
  Variant logins;
  HRESULT hr = conf.ConfLogins(&logins);
  if (Failed(hr)) return report.CallFailed(hr);
  RefPtr<IAsasCollection> collection = CollectionOf(logins);
  if (!collection) return true;
  int32_t count = 0;
  hr = collection->get_Count(&count);
  if (Failed(hr)) return report.CallFailed(hr);
  for (int32_t i = 1; i <= count; ++i) {
    Variant item;
    hr = collection->get_Item(i, &item);
    if (Failed(hr)) return report.CallFailed(hr);
    std::string name;
    hr = VariantToText(item, &name);
    if (Failed(hr)) return report.CallFailed(hr);
    if (name == login) {
      *found = true;
      return true;
    }
    if (valid->size() < kMaxValidLoginList) {
      if (!valid->empty()) *valid += ", ";
      *valid += "'" + name + "'";
    }
  }
  return true;
}

bool ValuesMatch(const Variant& a, const Variant& b) {
  auto isNothing = [](const Variant& v) { return v.IsEmpty() || v.IsNull(); };
  if (isNothing(a) && isNothing(b)) return true;
  return a == b;
}

}  // namespace

bool StartAsas(EventTarget& events, tagMsgOrigin origin, const std::string& asasLogin,
               std::unique_ptr<AsasSession>* session) {
  Reporter report(events, origin);
  report.Trace(LoadMessage(1000));

  RefPtr<IAsasClient> client;
  RefPtr<IAsasClientConf> conf;
  if (Failed(CreateAsasObject("Asas.Client", &client)) ||
      Failed(CreateAsasObject("Asas.Client.Conf", &conf))) {
    report.Raise(mlFatal, 18, LoadMessage(1118));
    return false;
  }

  bool found = false;
  std::string valid;
  if (!FindLogin(*conf, asasLogin, report, &found, &valid)) return false;
  if (!found) {
    report.Raise(
        mlError, 8,
        TruncateUtf8(FillText(LoadMessage(1001), {asasLogin, valid}), kMaxInvalidLoginText));
    return false;
  }

  VariantBool running = VARIANT_FALSE;
  HRESULT hr = client->ClientIsRunning(&running);
  if (Failed(hr)) return report.CallFailed(hr);
  bool start = true;
  if (running != VARIANT_FALSE) {
    report.Trace(LoadMessage(1003));
    BStr current;
    hr = conf->ConfCurrentLogin(&current);
    if (Failed(hr)) return report.CallFailed(hr);
    if (current.value_or("") == asasLogin) {
      start = false;
    } else {
      report.Trace(LoadMessage(1002) + current.value_or("") + " -> " + asasLogin);
      hr = client->ClientStop();
      if (Failed(hr)) return report.CallFailed(hr);
    }
  } else {
    report.Trace(LoadMessage(1004));
  }
  if (start) {
    hr = conf->ConfSetCurrentLogin(asasLogin);
    if (Failed(hr)) return report.CallFailed(hr);
    hr = client->ClientStart();
    if (Failed(hr)) return report.CallFailed(hr);
  }

  auto started = std::make_unique<AsasSession>(events, origin);
  started->Start();
  if (session) *session = std::move(started);
  report.Trace(LoadMessage(1005));
  return true;
}

std::string SenderForLogin(const std::string& login, const std::string& fallback) {
  RefPtr<IAsasClientConf> conf;
  if (Failed(CreateAsasObject("Asas.Client.Conf", &conf))) return fallback;
  Variant entriesValue;
  if (Failed(conf->ConfLoginEntries(login, &entriesValue))) return fallback;
  RefPtr<IAsasCollection> entries = CollectionOf(entriesValue);
  if (!entries) return fallback;
  Variant keysValue;
  if (Failed(conf->ConfGetValue(std::string("smime"), std::string("key"), &keysValue)))
    return fallback;
  RefPtr<IAsasCollection> keys = CollectionOf(keysValue);
  if (!keys) return fallback;

  int32_t entryCount = 0;
  int32_t keyCount = 0;
  if (Failed(entries->get_Count(&entryCount)) || Failed(keys->get_Count(&keyCount)))
    return fallback;
  for (int32_t i = 1; i <= entryCount; ++i) {
    Variant entry;
    if (Failed(entries->get_Item(i, &entry))) continue;
    RefPtr<IAsasEntry> loginEntry = EntryOf(entry);
    Variant loginValue;
    if (!loginEntry || Failed(loginEntry->get_Value(&loginValue))) continue;
    for (int32_t k = 1; k <= keyCount; ++k) {
      Variant keyItem;
      if (Failed(keys->get_Item(k, &keyItem))) continue;
      RefPtr<IAsasEntry> key = EntryOf(keyItem);
      if (!key) continue;
      Variant keyValue;
      if (Failed(key->get_Value(&keyValue))) continue;
      if (!ValuesMatch(loginValue, keyValue)) continue;
      Variant nameValue;
      std::string name;
      if (Failed(key->get_Name(&nameValue)) || Failed(VariantToText(nameValue, &name))) continue;
      size_t cut = name.find("_key");
      if (cut != std::string::npos) return name.substr(0, cut);
    }
  }
  return fallback;
}

}  // namespace qx
