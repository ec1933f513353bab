// An in-memory security client for tests, served through the class registry's test hook.
// One process-wide state (tests run one case per process); InstallFakeAsas() resets it.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qendix/asas.h"

namespace qx::testing {

struct FakeAsasState {
  std::mutex mutex;
  // ProgIDs whose creation fails with REGDB_E_CLASSNOTREG.
  std::set<std::string> missing;
  // Client and configuration.
  std::vector<std::string> logins = {"a", "b"};
  bool loginsOfferCollection = true;
  bool running = false;
  std::string currentLogin;
  // Failure codes by operation name ("ClientStart", "ConfLogins", "ConfSetValue", ...).
  std::map<std::string, HRESULT> failures;
  // Every operation called, with its argument: "ClientStop", "ConfSetCurrentLogin(a)".
  std::vector<std::string> calls;
  // ConfLoginEntries per login and the "smime" "key" entries: (name, value) pairs.
  std::map<std::string, std::vector<std::pair<Variant, Variant>>> loginEntries;
  std::vector<std::pair<Variant, Variant>> smimeKeys;
  // ConfSetValue calls in order: section, key, value.
  struct SetValue {
    std::string section;
    std::string key;
    Variant value;
  };
  std::vector<SetValue> setValues;
  // Connected status sinks of client objects.
  std::vector<RefPtr<IAsasEvents>> sinks;

  // S/MIME: certificates by name.
  std::map<std::string, std::string> certificates;
  // Loads and saves that fail before one succeeds (with the code of failures["SmimeLoad"] or
  // failures["SmimeSave"], default E_ACCESSDENIED).
  int loadFailuresLeft = 0;
  int saveFailuresLeft = 0;
  // What SmimeLoad read and the mode of that file; where SmimeSave saved and the mode of that
  // folder.
  std::vector<std::string> loadedPaths;
  std::string loaded;
  unsigned fileMode = 0;
  std::vector<std::string> savedPaths;
  unsigned folderMode = 0;
  // Whether the S/MIME object offers IAsasSmimeMemory; its loads then count as loadedPaths
  // entries "(memory)" and its saves as savedPaths entries "(memory)".
  bool offerMemory = false;
  // Turns the loaded message into the saved envelope. Default: DefaultEnvelope.
  std::function<std::string(const std::string& loaded)> envelope;
};

FakeAsasState& FakeAsas();
// Resets the state and routes the security client's ProgIDs to the fake.
void InstallFakeAsas();
// Raises a status event on every connected sink, on the calling thread.
void RaiseFakeStatus(int16_t level, const std::string& text);

// The default envelope: a header line, an empty line and the loaded message in base64 lines.
std::string DefaultEnvelope(const std::string& loaded);
// Decodes base64 (line ends ignored); empty on malformed input.
std::string DecodeBase64(const std::string& text);

}  // namespace qx::testing
