// Bringing up the security client for a step, and the identity a login encrypts as.
// Both run on the step's thread.
#pragma once

#include <memory>
#include <string>

#include "crypto/asas_session.h"
#include "support/event_target.h"

namespace qx {

// Makes sure the security client runs under `asasLogin` and starts the step's session.
// Reports each stage through `events` with `origin`:
//  1000 (debug) at the start;
//  client or configuration object missing: 1118, mlFatal, code 18, false;
//  `asasLogin` not among the client's logins (exact, case-sensitive comparison): 1001 with the
//    login and the valid logins, each in single quotes, comma and blank between, mlError, code 8;
//  client running: 1003, and when it runs under another login 1002 followed by
//    "<current> -> <asasLogin>", then stop, choose the login, start;
//  client not running: 1004, choose the login, start;
//  any failing client call: mlError, class mcAsas, the failure code and its text, false;
//  success: a started session in *session, 1005, true.
// The client keeps running after the step. The client objects are released on every path.
bool StartAsas(EventTarget& events, tagMsgOrigin origin, const std::string& asasLogin,
               std::unique_ptr<AsasSession>* session);

// The identity under which the S/MIME key of `login` is kept: the name of the "smime" "key"
// entry whose value equals the value of one of the login's entries, up to its first "_key".
// `fallback` (the step's recipient list) when the configuration offers no such entry.
// Reports nothing.
std::string SenderForLogin(const std::string& login, const std::string& fallback);

}  // namespace qx
