// What the security client does with its home: logins and their identities, the choice of the
// login, starting and stopping. Shared by the automation objects and asasctl. Every change holds
// the home's lock from reading to writing; status events are raised after the lock is given up.
#pragma once

#include <string>
#include <vector>

#include "config_store.h"
#include "errors.h"
#include "home.h"
#include "identity_key.h"
#include "run_state.h"

namespace asas {

// Names used in the configuration.
inline constexpr char kSmimeSection[] = "smime";
inline constexpr char kKeyListKey[] = "key";
inline constexpr char kIdentityEntry[] = "identity";
inline constexpr char kKeyEntry[] = "key";

// Adds the login `login` for `identity`: makes the identity's key and certificate unless it has
// them already (`created_key` tells), records the login with its entries "identity" and "key"
// (the key reference) and the entry "<identity>_key" in section "smime", key "key".
// kExists for a known login, E_INVALIDARG for an invalid login or identity name.
HRESULT AddLogin(const Home& home, const std::string& login, const std::string& identity,
                 KeyType type, bool* created_key);

// Chooses the login for the next start. E_INVALIDARG when it is not a configured login.
// Raises "Login switched" when this replaces another login.
HRESULT SelectLogin(const Home& home, const std::string& login);

// Starts the client with the chosen login after checking its key and certificate. S_FALSE when
// it already runs with that login; when it runs with another, it stops and starts again.
// E_UNEXPECTED without a chosen, configured login; kKeyUnusable when the key cannot be used.
HRESULT StartClient(const Home& home);

// Stops the client; S_FALSE when it was not running.
HRESULT StopClient(const Home& home);

// The version text of the client.
std::string ClientVersionText();

}  // namespace asas
