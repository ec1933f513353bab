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

#include <cstdint>
#include <functional>
#include <string>

#include "net/xml_rpc_client.h"
#include "qendix/build_paths.h"

namespace qx {

// The build this component is; compared as text with the server's newest build.
inline constexpr const char* kOwnBuildNumber = QENDIX_BUILD_NUMBER;
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

// Code of the event that tells the host of a newer build and its download address (level info,
// class module, origin Sender, message 201 with the address).
inline constexpr int32_t kNewerVersionEventCode = 23;

// Longest download address that is passed on to the host.
inline constexpr size_t kMaxUpdateUrlBytes = 2048;

// What the update check may do when a newer build exists.
enum class UpdatePolicy {
  // Ask the host, and on Yes fetch the setup program and start it (a build run where it was
  // built, as the component always did).
  kAskAndStart,
  // Only tell the host the download address; nothing is fetched or started. An installed
  // component is updated by the package manager or the administrator, never by a program it
  // downloaded itself.
  kTellOnly,
};

// The policy of this code: kAskAndStart when it runs from its build folder, else kTellOnly.
UpdatePolicy DefaultUpdatePolicy();

// The update check at the end of a send: when QueryNewVersion finds a newer build, under
// kAskAndStart `ask` is asked (title, text from the message catalogue) and on Yes the setup
// program is fetched and started; under kTellOnly `tell` receives the download address and
// nothing else happens (an address that is longer than kMaxUpdateUrlBytes, holds blanks or
// control characters, or that IsAcceptableSetupUrl refuses is not passed on). `client` may be
// null (nothing happens).
void CheckForUpdate(XmlRpcClient* client, const std::string& workDirectory, UpdatePolicy policy,
                    const std::function<bool(const std::string&, const std::string&)>& ask,
                    const std::function<void(const std::string&)>& tell);

}  // namespace qx
