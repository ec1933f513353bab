#include "client_ops.h"

#include <openssl/opensslv.h>

#include <ctime>

#include "key_store.h"
#include "status_bus.h"
#include "text.h"

namespace asas {
namespace {

std::string UtcNow() {
  time_t now = time(nullptr);
  struct tm tm;
  char text[32];
  gmtime_r(&now, &tm);
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// Checks that a login is configured and its identity's key can be used.
HRESULT CheckLoginKey(const Home& home, const Config& config, const std::string& login) {
  const LoginRecord* record = config.FindLogin(login);
  if (!record) return qx::E_UNEXPECTED;
  const std::string* identity = record->Find(kIdentityEntry);
  if (!identity) return kKeyUnusable;
  return LoadIdentity(home, *identity, nullptr, nullptr);
}

}  // namespace

HRESULT AddLogin(const Home& home, const std::string& login, const std::string& identity,
                 KeyType type, bool* created_key) {
  if (created_key) *created_key = false;
  if (!IsValidName(login) || !IsValidName(identity) || identity.find("_key") != std::string::npos)
    return qx::E_INVALIDARG;
  FileLock lock;
  HRESULT hr = LockHome(home, &lock);
  if (qx::Failed(hr)) return hr;
  Config config;
  hr = LoadConfig(home, &config);
  if (qx::Failed(hr)) return hr;
  if (config.FindLogin(login)) return kExists;
  bool made = false;
  if (!IdentityExists(home, identity)) {
    hr = CreateIdentity(home, identity, type);
    if (qx::Failed(hr)) return hr;
    made = true;
  }
  std::string reference = KeyReference(identity);
  config.logins.push_back({login, {{kIdentityEntry, identity}, {kKeyEntry, reference}}});
  ConfigKey& keys = config.KeyFor(kSmimeSection, kKeyListKey);
  keys.is_list = true;
  bool listed = false;
  for (const auto& e : keys.entries) listed = listed || e.name == identity + "_key";
  if (!listed) keys.entries.push_back({identity + "_key", reference});
  hr = SaveConfig(home, config);
  if (qx::Succeeded(hr) && created_key) *created_key = made;
  return hr;
}

HRESULT SelectLogin(const Home& home, const std::string& login) {
  std::string previous;
  {
    FileLock lock;
    HRESULT hr = LockHome(home, &lock);
    if (qx::Failed(hr)) return hr;
    Config config;
    hr = LoadConfig(home, &config);
    if (qx::Failed(hr)) return hr;
    if (!config.FindLogin(login)) return qx::E_INVALIDARG;
    RunState state;
    hr = LoadRunState(home, &state);
    if (qx::Failed(hr)) return hr;
    if (state.selected == login) return qx::S_OK;
    previous = state.selected;
    state.selected = login;
    hr = SaveRunState(home, state);
    if (qx::Failed(hr)) return hr;
  }
  if (!previous.empty())
    RaiseStatus(kStatusInfo, "Login switched from " + previous + " to " + login);
  return qx::S_OK;
}

HRESULT StartClient(const Home& home) {
  std::string stopped, started, selected;
  HRESULT result = qx::S_OK;
  {
    FileLock lock;
    HRESULT hr = LockHome(home, &lock);
    if (qx::Failed(hr)) return hr;
    Config config;
    RunState state;
    hr = LoadConfig(home, &config);
    if (qx::Succeeded(hr)) hr = LoadRunState(home, &state);
    if (qx::Failed(hr)) return hr;
    if (state.selected.empty() || !config.FindLogin(state.selected)) return qx::E_UNEXPECTED;
    if (state.running == state.selected) return qx::S_FALSE;
    selected = state.selected;
    hr = CheckLoginKey(home, config, selected);
    if (qx::Failed(hr)) {
      result = hr;
    } else {
      stopped = state.running;
      state.running = state.selected;
      state.since = UtcNow();
      hr = SaveRunState(home, state);
      if (qx::Failed(hr)) return hr;
      started = state.running;
    }
  }
  if (qx::Failed(result)) {
    RaiseStatus(kStatusError, "Cannot start with login " + selected + ": its key is not usable");
    return result;
  }
  if (!stopped.empty()) RaiseStatus(kStatusInfo, "ASAS stopped (login " + stopped + ")");
  RaiseStatus(kStatusInfo, "ASAS started with login " + started);
  return qx::S_OK;
}

HRESULT StopClient(const Home& home) {
  std::string stopped;
  {
    FileLock lock;
    HRESULT hr = LockHome(home, &lock);
    if (qx::Failed(hr)) return hr;
    RunState state;
    hr = LoadRunState(home, &state);
    if (qx::Failed(hr)) return hr;
    if (!state.is_running()) return qx::S_FALSE;
    stopped = state.running;
    state.running.clear();
    state.since.clear();
    hr = SaveRunState(home, state);
    if (qx::Failed(hr)) return hr;
  }
  RaiseStatus(kStatusInfo, "ASAS stopped (login " + stopped + ")");
  return qx::S_OK;
}

std::string ClientVersionText() {
  return "ASAS 1.0.0 (" OPENSSL_VERSION_TEXT ")";
}

}  // namespace asas
