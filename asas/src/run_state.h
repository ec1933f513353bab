// The client's running state in <home>/state, shared by every object and process that uses the
// home: the login chosen for the next start, and the login the client runs with (empty while it
// is stopped).
//
// File format (UTF-8 text, LF line ends, values percent-encoded as in the configuration):
//
//   selected=LOGIN
//   running=LOGIN      only while the client runs
//   since=TIME         start time, "YYYY-MM-DDTHH:MM:SSZ", only while the client runs
//
// Like the configuration, the file is replaced atomically and written only under the home's lock.
#pragma once

#include <string>
#include <string_view>

#include "errors.h"
#include "home.h"

namespace asas {

struct RunState {
  std::string selected;
  std::string running;
  std::string since;

  bool is_running() const { return !running.empty(); }
  // The login in use: the running one, else the one chosen for the next start.
  const std::string& current() const { return is_running() ? running : selected; }
};

std::string SerializeRunState(const RunState& state);
// kStoreCorrupt for text that does not follow the format; unknown names are ignored.
HRESULT ParseRunState(std::string_view text, RunState* out);

// Reads <home>/state; a missing file gives a stopped client with no login chosen.
HRESULT LoadRunState(const Home& home, RunState* out);
// Replaces <home>/state; the caller holds the home's lock.
HRESULT SaveRunState(const Home& home, const RunState& state);

}  // namespace asas
