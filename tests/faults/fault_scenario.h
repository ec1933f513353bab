// One practice for the walks over injected failures: the installed security client with a login,
// the reference Trust Center on loopback, and a few invoices (an XML invoice of version 4.0, one
// of version 5.0 with a QR bill, a GNI invoice, the PDF slip of each, withPDF on) that `qendix`
// runs as a child process take through every step.
//
// Each trial starts from a fresh practice (module, invoice and work folders; the security client
// and the Trust Center are kept), runs the commands under one armed failure, checks, runs a clean
// `auto` and checks again:
//   - every invoice is in exactly one place: delivered (accepted by the Trust Center, archived and
//     in the register), or in one folder (the invoice folder, a work folder, the error folder);
//     a slip is in its invoice's document once that document is made and in no folder then;
//   - no temporary file is left (a hidden name in the module or work folders, a message folder
//     qendix-msg-* in TMPDIR, a temporary file of the security client);
//   - the failure, if it happened, was reported by an event of level warning or above;
//   - after the clean run everything not in the error folder was delivered, each exactly once.
// Not thread-safe; one object per test case.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/reference_trust_center.h"
#include "integration/asas_home.h"

namespace qx::testing {

// What one trial did and found.
struct Trial {
  bool fired = false;              // the armed failure happened
  std::string hit;                 // the log line of the (first) failed call
  std::vector<std::string> found;  // the broken rules, one line each; empty when all held
  std::string events;              // the warning and error events of the faulty run
};

class FaultScenario {
 public:
  // `asUser`: the runs are made by this user (uid, gid), for the cases that need file
  // permissions to count; -1 runs them as this process.
  explicit FaultScenario(uid_t asUser = static_cast<uid_t>(-1), gid_t asGroup = 0);
  ~FaultScenario();
  FaultScenario(const FaultScenario&) = delete;
  FaultScenario& operator=(const FaultScenario&) = delete;

  bool Ready() const { return ready_; }

  // The number of calls of each kind ("open", ..., "asas-open", ...) in a clean `auto` run.
  std::map<std::string, unsigned long> CountCalls();

  // A trial: `before` run clean one command each, then `faulty` with `plan` armed (QENDIX_FAULT,
  // or ASAS_FAULT for a kind "asas-..."; empty for none), after `prepare` (may be empty) changed
  // the fresh practice; then `restore` (may be empty) and a clean `auto`.
  Trial Run(const std::vector<std::string>& before, const std::string& faulty,
            const std::string& plan, const std::function<void(const std::string&)>& prepare = {},
            const std::function<void(const std::string&)>& restore = {});

 private:
  struct Item;
  ProcessResult Qendix(const std::string& command, const std::string& plan, const std::string& log);
  void Fresh();
  // Checks where every invoice and slip is; `events` are the warnings and errors of the run.
  void CheckPlaces(const std::string& when, bool final, const std::string& events, Trial* trial);
  // Temporary files and message folders that are there.
  std::vector<std::string> Leftovers();
  std::map<std::string, int> Accepted() const;

  uid_t uid_;
  gid_t gid_;
  AsasHome home_;
  TempDir temp_;
  std::unique_ptr<ReferenceTrustCenter> server_;
  std::vector<Item> items_;
  std::string practice_;  // the current trial's folder
  size_t receivedBefore_ = 0;
  int trials_ = 0;
  bool ready_ = false;
};

}  // namespace qx::testing
