// The software update: asks the Trust Center whether a newer build exists
// (qendix.querynewversion) and, when the user agrees, downloads the setup program into the work
// directory and starts it detached.
//
// A download is started only when it is complete: it must come from https (certificate verified)
// or from plain http on the loopback interface, answer HTTP 200 and deliver its whole body (the
// announced length, when given). It is written to a private temporary file (0700) beside its
// final name and renamed into place only then; otherwise the temporary file is removed and
// nothing runs.
//
// Runs on the Sender's worker thread; not thread-safe.
#pragma once

#include <functional>
#include <string>

#include "net/xml_rpc_client.h"

namespace qx {

// The build this component is; compared as text with the server's newest build.
inline constexpr const char* kOwnBuildNumber = "200506240";
// The name the setup program gets in the work directory.
inline constexpr const char* kSetupFileName = "qendix-setup";

// Asks `client`'s endpoint for the newest build. True, with `*updateUrl` set, when the server
// names a build that sorts after kOwnBuildNumber as text (so "99" is newer), its download
// address and a third value. A status other than 200 is reported by the client; a fault,
// a missing value or an older build give false quietly.
bool QueryNewVersion(XmlRpcClient& client, std::string* updateUrl);

// Whether a setup program may be fetched from `url`: https anywhere, http only on loopback
// (127.0.0.0/8, localhost).
bool IsAcceptableSetupUrl(const std::string& url);

// Downloads `url` into `workDirectory`/kSetupFileName (replacing an older one) and starts it
// detached, in its own session with standard input and output on /dev/null. True when it was
// started. Nothing is left behind and nothing started when any of it fails.
bool DownloadAndStartSetup(const std::string& url, const std::string& workDirectory);

// The update check at the end of a send: when QueryNewVersion finds a newer build, `ask` is
// asked (title, text from the message catalogue) and on Yes the setup program is fetched and
// started. `client` may be null (nothing happens).
void CheckForUpdate(XmlRpcClient* client, const std::string& workDirectory,
                    const std::function<bool(const std::string&, const std::string&)>& ask);

}  // namespace qx
