#include "run_state.h"

#include "file_io.h"
#include "text.h"

namespace asas {
namespace {
constexpr size_t kMaxStateBytes = 64 * 1024;
}

std::string SerializeRunState(const RunState& state) {
  std::string out = "# asas running state\n";
  if (!state.selected.empty()) out += "selected=" + PercentEncode(state.selected) + "\n";
  if (!state.running.empty()) {
    out += "running=" + PercentEncode(state.running) + "\n";
    if (!state.since.empty()) out += "since=" + PercentEncode(state.since) + "\n";
  }
  return out;
}

HRESULT ParseRunState(std::string_view text, RunState* out) {
  RunState state;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return kStoreCorrupt;
    auto value = PercentDecode(line.substr(eq + 1));
    if (!value) return kStoreCorrupt;
    std::string_view name = line.substr(0, eq);
    if (name == "selected")
      state.selected = std::move(*value);
    else if (name == "running")
      state.running = std::move(*value);
    else if (name == "since")
      state.since = std::move(*value);
  }
  *out = std::move(state);
  return qx::S_OK;
}

HRESULT LoadRunState(const Home& home, RunState* out) {
  std::string text;
  HRESULT hr = ReadFileBounded(home.StatePath(), kMaxStateBytes, &text);
  if (hr == HresultFromErrno(ENOENT)) {
    *out = RunState{};
    return qx::S_OK;
  }
  if (qx::Failed(hr)) return hr;
  return ParseRunState(text, out);
}

HRESULT SaveRunState(const Home& home, const RunState& state) {
  return WriteFileAtomic(home.StatePath(), SerializeRunState(state), 0600);
}

}  // namespace asas
