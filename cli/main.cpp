// qendix [--module-dir DIR] [--json] [--set NAME=VALUE]... [COMMAND]...
//
// Commands run in the order given: read, check, anonymize, send, auto (start the job and wait for
// its last end event), get NAME (print a property), centers (the Trust Center labels), logins
// (the security client's logins), code soundex TEXT | code patient ID |
// code person FIRST LAST YYYY-MM-DD ZIP (the code object's results), status [--json] (the
// status report), preview FILE [--json] (what would leave the practice for one invoice).
// Without a command the component is created, the --set values are put, and its release stores
// them as the settings; they are read back, and a value that was not stored fails the command.
// --module-dir DIR is made (private) when it does not exist; a module folder without a Trust
// Center directory gets the shipped one (a notice on stderr). --version prints the version text
// and the build number.
//
// Exit status: 0 all went well; 1 an event of level error or fatal was raised; 2 usage error;
// 3 a job method answered busy (printed on stderr unless that is the systemd journal); 4 any
// other failing result.
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "code_command.h"
#include "event_printer.h"
#include "first_run.h"
#include "library.h"
#include "preview_command.h"
#include "properties.h"
#include "qendix/build_paths.h"
#include "qendix/properties.h"
#include "status_command.h"

namespace {

using qendix_cli::EventPrinter;

constexpr int kExitOk = 0;
constexpr int kExitEventError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBusy = 3;
constexpr int kExitFailed = 4;

std::atomic<int> g_interrupts{0};

void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) >= 1) _exit(130);  // the second Ctrl-C ends the program
}

struct Job {
  const char* name;
  qx::HRESULT (qx::IQendix::*start)();
  qx::tagMsgOrigin lastOrigin;
};

const Job kJobs[] = {
    {"read", &qx::IQendix::Read, qx::moPReader},
    {"check", &qx::IQendix::Check, qx::moPChecker},
    {"anonymize", &qx::IQendix::Anonymize, qx::moPAnonymizer},
    {"send", &qx::IQendix::Send, qx::moPSender},
    {"auto", &qx::IQendix::Auto, qx::moPSender},
};

// Whether standard error goes to the systemd journal (JOURNAL_STREAM names its device and inode).
bool StderrIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  struct stat st {};
  if (!stream || fstat(2, &st) != 0) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  return dev == static_cast<unsigned long long>(st.st_dev) &&
         ino == static_cast<unsigned long long>(st.st_ino);
}

int Fail(const std::string& what, qx::HRESULT hr) {
  // A timer run that finds another job at work has nothing to report: its exit status says it,
  // and the journal stays free of it.
  if (hr != qx::E_BUSY || !StderrIsJournal())
    std::fprintf(stderr, "qendix: %s failed: 0x%08X%s%s\n", what.c_str(), static_cast<unsigned>(hr),
                 (hr & 0xFFFF0000u) == 0x80070000u ? " " : "",
                 (hr & 0xFFFF0000u) == 0x80070000u ? std::strerror(hr & 0xFFFF) : "");
  return hr == qx::E_BUSY ? kExitBusy : kExitFailed;
}

// Waits for the job's last end event; calls Cancel at the first Ctrl-C. A job whose steps send no
// events (cancelled before it began) ends when the library has no job thread left.
void WaitForJob(qx::IQendix* q, EventPrinter* printer, const qendix_cli::Library& lib,
                int objects_before) {
  bool cancelled = false;
  for (;;) {
    if (printer->WaitForEnd(50)) return;
    if (!cancelled && g_interrupts.load() > 0) {
      cancelled = true;
      q->Cancel();
    }
    if (lib.objectCount && lib.objectCount() <= objects_before) return;
  }
}

// Waits (bounded) until the library has no objects or job threads left, so that the settings
// stored at the final release are on disk before the program ends.
void WaitForUnload(const qendix_cli::Library& lib) {
  if (!lib.objectCount) return;
  for (int i = 0; i < 600 && lib.objectCount() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

int main(int argc, char** argv) {
  // A job allocates and frees buffers of some hundred kilobytes for every invoice with a PDF slip
  // (its envelope on the way through the security client, the transfer document). By default
  // glibc gives such memory back to the system after each invoice and the next one faults it in
  // again, which doubled the time of those invoices. This process keeps freed memory for reuse
  // instead; its peak resident memory stays the same.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  CLI::App app{"qendix: forwards the practice's invoices to the Trust Center"};
  std::string module_dir;
  bool json = false;
  std::vector<std::string> sets;
  app.add_option("--module-dir", module_dir, "folder of the settings, register and directory");
  app.add_flag("--json", json, "one JSON object per event per line");
  app.add_option("--set", sets, "NAME=VALUE: put a property before the commands run")
      ->allow_extra_args(false);
  app.set_version_flag("--version", QENDIX_VERSION_TEXT " (build " QENDIX_BUILD_NUMBER ")",
                       "print the version text and the build number");
  app.prefix_command();
  app.footer(
      "Commands: read | check | anonymize | send | auto | get NAME | centers | logins |\n"
      "          code soundex TEXT | code patient ID | code person FIRST LAST YYYY-MM-DD ZIP |\n"
      "          status [--json] | preview FILE [--json]\n"
      "--set NAME: trustCenter inputDirectory workDirectory asasLogin withPDF withArchive debug");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  std::vector<std::string> commands = app.remaining();

  // Check the command line fully before anything runs.
  for (size_t i = 0; i < commands.size(); ++i) {
    const std::string& c = commands[i];
    bool job = false;
    for (const auto& j : kJobs) job = job || c == j.name;
    if (job || c == "centers" || c == "logins") continue;
    if (c == "status" || (c == "preview" && i + 1 < commands.size())) {
      if (c == "preview") ++i;
      if (i + 1 < commands.size() && commands[i + 1] == "--json") ++i;
      continue;
    }
    if (c == "get" && i + 1 < commands.size()) {
      ++i;
      continue;
    }
    if (c == "code" && i + 1 < commands.size()) {
      int n = qendix_cli::CodeArgumentCount(commands[i + 1]);
      if (n >= 0 && i + 1 + n < commands.size()) {
        i += 1 + n;
        continue;
      }
    }
    std::fprintf(stderr, "qendix: unknown command or missing argument: %s\n", c.c_str());
    return kExitUsage;
  }
  for (const auto& s : sets) {
    auto eq = s.find('=');
    bool b = false;
    std::string name = s.substr(0, eq);
    bool settable = false;
    for (const auto& n : qendix_cli::SettableProperties()) settable = settable || n == name;
    if (eq == std::string::npos || !settable) {
      std::fprintf(stderr, "qendix: --set takes NAME=VALUE with a settable NAME: %s\n", s.c_str());
      return kExitUsage;
    }
    if (qx::FindBoolProperty(name) && !qendix_cli::ParseBool(s.substr(eq + 1), &b)) {
      std::fprintf(stderr, "qendix: %s takes true/false, 1/0, yes/no or on/off\n", name.c_str());
      return kExitUsage;
    }
  }

  if (!module_dir.empty()) {
    std::string problem;
    if (!qendix_cli::PrepareModuleFolder(module_dir, &problem)) {
      std::fprintf(stderr, "qendix: %s\n", problem.c_str());
      return kExitFailed;
    }
    setenv("QENDIX_MODULE_DIR", module_dir.c_str(), 1);
  }

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);

  qendix_cli::Library lib;
  std::string error;
  if (!qendix_cli::LoadLibrary(&lib, &error)) {
    std::fprintf(stderr, "qendix: %s\n", error.c_str());
    return kExitFailed;
  }

  const std::string module_folder = qendix_cli::ModuleFolderOf(lib);
  const bool had_directory = qendix_cli::HasCenterDirectory(module_folder);
  qx::RefPtr<qx::IQendix> q;
  qx::HRESULT hr = lib.createObject("qendix.1", &qx::IQendix::kIid, q.PutVoid());
  if (qx::Failed(hr) || !q) return Fail("creating the component", hr);
  if (!had_directory) qendix_cli::ReportDirectoryPlaced(module_folder);

  qx::RefPtr<qx::IConnectionPoint> point;
  uint32_t cookie = 0;
  qx::RefPtr<EventPrinter> printer = qx::RefPtr<EventPrinter>::Adopt(new EventPrinter(json));
  {
    auto container = q.As<qx::IConnectionPointContainer>();
    if (container) container->FindConnectionPoint(qx::_IQendixEvents::kIid, point.Put());
    if (point) point->Advise(static_cast<qx::_IQendixEvents*>(printer.Get()), &cookie);
  }

  int status = kExitOk;
  for (const auto& s : sets) {
    auto eq = s.find('=');
    bool known = false, bad = false;
    hr = qendix_cli::SetProperty(q.Get(), s.substr(0, eq), s.substr(eq + 1), &known, &bad);
    if (qx::Failed(hr)) {
      status = kExitFailed;
      std::fprintf(stderr, "qendix: --set %s failed: 0x%08X\n", s.substr(0, eq).c_str(),
                   static_cast<unsigned>(hr));
      break;
    }
  }

  for (size_t i = 0; status == kExitOk && i < commands.size(); ++i) {
    const std::string& c = commands[i];
    if (c == "code") {
      int n = qendix_cli::CodeArgumentCount(commands[i + 1]);
      std::vector<std::string> args(commands.begin() + i + 1, commands.begin() + i + 2 + n);
      i += 1 + n;
      qx::RefPtr<qx::ICode> code;
      hr = lib.createObject("qendix.Code.1", &qx::ICode::kIid, code.PutVoid());
      std::string text;
      if (qx::Succeeded(hr)) hr = qendix_cli::RunCode(code.Get(), args, &text);
      if (qx::Failed(hr)) {
        status = Fail("code " + args[0], hr);
        break;
      }
      std::printf("%s\n", text.c_str());
      std::fflush(stdout);
      continue;
    }
    if (c == "status" || c == "preview") {
      std::string file = c == "preview" ? commands[++i] : std::string();
      bool as_json = json;
      if (i + 1 < commands.size() && commands[i + 1] == "--json") as_json = true, ++i;
      int result = c == "status" ? qendix_cli::RunStatus(q.Get(), as_json)
                                 : qendix_cli::RunPreview(q.Get(), file, as_json);
      if (result == 4) status = kExitFailed;
      if (result == 1) status = kExitEventError;
      continue;
    }
    if (c == "get" || c == "centers" || c == "logins") {
      std::string name = c == "get"       ? commands[++i]
                         : c == "centers" ? "trustCenters"
                                          : "asasLogins";
      std::vector<std::string> lines;
      bool known = false;
      hr = qendix_cli::GetProperty(q.Get(), name, &lines, &known);
      if (!known) {
        std::fprintf(stderr, "qendix: no readable property %s\n", name.c_str());
        status = kExitUsage;
        break;
      }
      if (qx::Failed(hr)) {
        status = Fail("get " + name, hr);
        break;
      }
      for (const auto& line : lines) std::printf("%s\n", line.c_str());
      std::fflush(stdout);
      continue;
    }
    for (const auto& j : kJobs) {
      if (c != j.name) continue;
      printer->ExpectEnd(j.lastOrigin);
      int objects_before = lib.objectCount ? lib.objectCount() : 0;
      hr = (q.Get()->*j.start)();
      if (qx::Failed(hr)) {
        status = Fail(c, hr);
        break;
      }
      WaitForJob(q.Get(), printer.Get(), lib, objects_before);
    }
  }

  if (point) point->Unadvise(cookie);
  point.Reset();
  q.Reset();
  WaitForUnload(lib);
  std::string lost;
  if (status == kExitOk && !sets.empty() && !qendix_cli::SettingsWereStored(lib, sets, &lost)) {
    std::fprintf(stderr, "qendix: the settings were not stored in %s/qendix.ini (%s)\n",
                 module_folder.c_str(), lost.c_str());
    status = kExitFailed;
    WaitForUnload(lib);
  }
  if (status == kExitOk && printer->SawError()) status = kExitEventError;
  return status;
}
