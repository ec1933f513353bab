#include "faults/fault_scenario.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "crypto/envelopes.h"
#include "formats/xml_invoice.h"

namespace qx::testing {
namespace {

const std::string kSamples = QENDIX_SOURCE_DIR "/tests/formats/data/";

// Every name below `folder` (recursively), with its path relative to `folder`.
void Walk(const std::string& folder, const std::string& prefix,
          std::vector<std::pair<std::string, std::string>>* found) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return;
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    found->emplace_back(name, prefix + name);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      Walk(path, prefix + name + "/", found);
  }
}

void ChownTree(const std::string& root, uid_t uid, gid_t gid) {
  std::vector<std::pair<std::string, std::string>> all;
  Walk(root, "", &all);
  ::lchown(root.c_str(), uid, gid);
  for (const auto& [name, relative] : all) ::lchown((root + "/" + relative).c_str(), uid, gid);
}

bool Holds(const std::string& fileName, const std::string& item) {
  return fileName == item || fileName.rfind(item + ".", 0) == 0;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text.empty() ? "nowhere" : text;
}

}  // namespace

struct FaultScenario::Item {
  std::string name;
  std::string content;
  std::string invoice;           // a slip's invoice; empty for an invoice
  std::vector<std::string> ids;  // an invoice's identifiers, as the register keeps them
};

FaultScenario::FaultScenario(uid_t asUser, gid_t asGroup) : uid_(asUser), gid_(asGroup) {
  if (!home_.AddLogin("praxis")) return;
  const TrustCenter tc = home_.MakeTrustCenter("tc-test", KeyKind::kEc, /*import=*/true);
  if (tc.name.empty() || ::mkdir((temp_ / "store").c_str(), 0700) != 0) return;
  server_ = std::make_unique<ReferenceTrustCenter>(
      temp_ / "store", tc.keyFile, tc.certFile, "tc-test", std::vector<std::string>{"--no-sync"});
  if (server_->Port() == 0) return;
  auto addSlip = [&](const std::string& invoice, const std::string& codingLine,
                     const std::string& tag) {
    items_.push_back({CleanReference(codingLine) + "_" + tag + ".pdf",
                      "%PDF-1.4\n% slip " + tag + "\n" + std::string(2000, 'x'),
                      invoice,
                      {}});
  };
  int tag = 0;
  for (const char* sample : {"xmlinvoice/400_tg_kvg_de.xml",
                             "xmlinvoice-current/5.0/elexis_500_tg_vvg_esrqr_partners.xml"}) {
    const std::string path = kSamples + sample;
    InvoiceKeys keys;
    std::string recipient;
    if (ReadXmlInvoiceFile(path, &keys, &recipient) != InvoiceFileRead::kRead) return;
    const std::string name = path.substr(path.rfind('/') + 1);
    items_.push_back({name, ReadFile(path), "", keys.invoiceIds});
    for (const std::string& line : keys.codingLines) addSlip(name, line, "x" + std::to_string(tag));
    for (const std::string& line : keys.qrReferences)
      addSlip(name, line, "x" + std::to_string(tag));
    ++tag;
  }
  items_.push_back({"praxis.gni",
                    "[DEBITOR1]\r\n106=Z123456\r\n[ADRPAT1]\r\n132=M\xFCller\r\n133=Hans\r\n"
                    "136=8001\r\n155=1965\r\n157=1203\r\n[INFC1]\r\n115=G-77\r\n119=12550\r\n"
                    "[BVR1]\r\n200=0100000125509>77+ 010001628>\r\n",
                    "",
                    {"G-77"}});
  addSlip("praxis.gni", "0100000125509>77+ 010001628>", "gni");
  if (uid_ != static_cast<uid_t>(-1)) {
    ChownTree(home_.Scratch().path(), uid_, gid_);
    ChownTree(temp_.path(), uid_, gid_);
  }
  ready_ = true;
}

FaultScenario::~FaultScenario() = default;

void FaultScenario::Fresh() {
  practice_ = temp_ / ("practice" + std::to_string(++trials_));
  for (const char* dir : {"", "/module", "/in", "/work", "/tmp"})
    ::mkdir((practice_ + dir).c_str(), 0700);
  WriteFile(practice_ + "/module/qendix.xml", server_->CentersDocument());
  for (const Item& item : items_) WriteFile(practice_ + "/in/" + item.name, item.content);
  if (uid_ != static_cast<uid_t>(-1)) ChownTree(practice_, uid_, gid_);
  receivedBefore_ = server_->Received().size();
}

ProcessResult FaultScenario::Qendix(const std::string& command, const std::string& plan,
                                    const std::string& log) {
  std::vector<std::string> args = {QENDIX_BINARY_DIR "/bin/qendix",
                                   "--json",
                                   "--module-dir",
                                   practice_ + "/module",
                                   "--set",
                                   "inputDirectory=" + practice_ + "/in",
                                   "--set",
                                   "workDirectory=" + practice_ + "/work",
                                   "--set",
                                   "asasLogin=praxis",
                                   "--set",
                                   "trustCenter=TC test",
                                   "--set",
                                   "withPDF=true",
                                   command};
  std::vector<std::string> env = home_.ChildEnvironment();
  env.push_back("QENDIX_ASAS_LIBRARY=" + kAsasLibrary);
  env.push_back("QENDIX_LOCK_FILE=" + practice_ + "/lock");
  env.push_back("TMPDIR=" + practice_ + "/tmp");
  env.push_back("LANGUAGE=de");
  if (plan.rfind("asas-", 0) == 0)
    env.push_back("ASAS_FAULT=" + plan.substr(5));
  else if (!plan.empty())
    env.push_back("QENDIX_FAULT=" + plan);
  if (!log.empty()) {
    env.push_back("QENDIX_FAULT_LOG=" + log);
    env.push_back("ASAS_FAULT_LOG=" + log);
    if (std::getenv("QENDIX_FAULT_TRACE")) env.push_back("QENDIX_FAULT_TRACE=1");
  }
  // A child of its own, which becomes the given user first: what it prints goes to a file.
  const std::string out = practice_ + "/qendix.out";
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  ProcessResult result;
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    if (uid_ != static_cast<uid_t>(-1) &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(gid_, gid_, gid_) != 0 ||
         ::setresuid(uid_, uid_, uid_) != 0))
      ::_exit(125);
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int none = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0 || none < 0 || ::dup2(none, 0) < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0)
      ::_exit(126);
    ::chdir(practice_.c_str());
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(out);
  ::unlink(out.c_str());
  return result;
}

std::map<std::string, unsigned long> FaultScenario::CountCalls() {
  Fresh();
  const std::string log = practice_ + "/fault.log";
  Qendix("auto", "", log);
  std::map<std::string, unsigned long> counts;
  std::istringstream in(ReadFile(log));
  std::string word, kind;
  unsigned long n = 0;
  while (in >> word >> kind >> n)
    if (word == "calls") counts[kind] += n;
  return counts;
}

std::map<std::string, int> FaultScenario::Accepted() const {
  std::map<std::string, int> count;
  const std::vector<std::string> lines = server_->Received();
  for (size_t i = receivedBefore_; i < lines.size(); ++i) {
    // number, session, verdict, name, parts, code
    std::vector<std::string> f;
    std::istringstream in(lines[i]);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    if (f.size() >= 4 && f[2] == "accepted") ++count[f[3]];
  }
  return count;
}

// Failures that need no event, each with the reason (the walk checks where the files went all
// the same): a call is matched by a part of its tags (where in the job it happened) and of its
// function.
struct QuietFailure {
  const char* tags;
  const char* function;
  const char* reason;
};
constexpr QuietFailure kQuietFailures[] = {
    {"-", "",
     "the host's thread, outside a job: no event reaches the host; what follows shows "
     "in the job"},
    {"reader", "ClassifyFile", "a file of the invoice folder that cannot be read is left alone"},
    {"", "MessageFile::Read", "an envelope is read back again, up to 10 times"},
    {"", "MessageFile::~MessageFile", "the message folder's removal takes the file with it"},
    {"refresh", "", "a failed refresh keeps the cached Trust Center directory"},
    {"qendix.session.close", "", "the answer to closing the session is not needed"},
    {"qendix.querynewversion", "", "no answer about a newer version means none"},
    {"", "MakeMemoryFile", "messages become private named files instead of memory files"},
    {"", "MessageFolder::Create", "each envelope makes a message folder of its own"},
};

bool IsQuiet(const std::string& hit) {
  // "KIND K ERRNO TAGS FILE:LINE FUNCTION..."
  std::istringstream in(hit);
  std::string kind, k, error, tags, where;
  in >> kind >> k >> error >> tags >> where;
  std::string function;
  std::getline(in, function);
  for (const QuietFailure& q : kQuietFailures)
    if ((q.tags[0] == '-' ? tags == "-" : tags.find(q.tags) != std::string::npos) &&
        function.find(q.function) != std::string::npos)
      return true;
  return false;
}

void FaultScenario::CheckPlaces(const std::string& when, bool final, const std::string& events,
                                Trial* trial) {
  // Where each file name lies: the invoice folder, the work folders, the error folder.
  std::map<std::string, std::vector<std::string>> places;  // item -> folders
  std::map<std::string, std::string> paths;                // item -> its (last) file
  std::set<std::string> archived;
  auto look = [&](const std::string& folder, const std::string& label) {
    std::vector<std::pair<std::string, std::string>> names;
    Walk(practice_ + "/" + folder, "", &names);
    for (const auto& [name, relative] : names)
      for (const Item& item : items_)
        if (Holds(name, item.name)) {
          if (label == "archive") {
            archived.insert(item.name);
          } else {
            places[item.name].push_back(label);
            paths[item.name] = practice_ + "/" + folder + "/" + relative;
          }
        }
  };
  look("in", "in");
  for (const char* folder : {"input", "valid", "output", "err"})
    look(std::string("work/") + folder, folder);
  look("work/archive", "archive");
  const std::map<std::string, int> accepted = Accepted();
  const std::string registered = ReadFile(practice_ + "/module/qendix.log");
  auto delivered = [&](const std::string& name) {
    auto it = accepted.find(name);
    return it == accepted.end() ? 0 : it->second;
  };
  auto fail = [&](const std::string& what) { trial->found.push_back(what + " " + when); };
  // Whether a warning or error of the faulty run named the file.
  auto told = [&](const std::string& name) {
    return events.find("\"file\":\"" + name + "\"") != std::string::npos;
  };
  for (const Item& item : items_) {
    std::vector<std::string> at = places[item.name];
    if (!item.invoice.empty()) {
      // A slip travels inside its invoice's transfer document once that is made.
      const std::vector<std::string>& invoiceAt = places[item.invoice];
      const bool carried =
          delivered(item.invoice) > 0 ||
          (invoiceAt.size() == 1 &&
           ReadFile(paths[item.invoice]).find("/transfer/v1") != std::string::npos);
      // A copy whose removal failed, and was told, is known to the user.
      if (carried && !at.empty() && !told(item.name))
        fail(item.name + " is in " + Join(at) + " though its invoice's document carries it");
      else if (!carried && at.size() != 1)
        fail(item.name + " is in " + Join(at));
      else if (final && !carried && at[0] != "err")
        fail(item.name + " is still in " + Join(at));
      continue;
    }
    const int sent = delivered(item.name);
    if (sent > 1) fail(item.name + " delivered " + std::to_string(sent) + " times");
    if (sent > 0) {
      at.push_back("delivered");
      // A document that could not be archived goes without a copy, told.
      if (!archived.count(item.name) && !told(item.name))
        fail(item.name + " delivered but not archived");
      // A delivery the register could not take was told (an error naming the register).
      for (const std::string& id : item.ids)
        if (registered.find("\n" + id + "|") == std::string::npos && !told("qendix.log"))
          fail(item.name + " delivered but " + id + " not in the register");
    }
    if (at.size() != 1)
      fail(item.name + " is in " + Join(at));
    else if (final && at[0] != "delivered" && at[0] != "err")
      fail(item.name + " is still in " + at[0]);
  }
}

std::vector<std::string> FaultScenario::Leftovers() {
  std::vector<std::string> left;
  std::vector<std::pair<std::string, std::string>> names;
  for (const char* folder : {"in", "module", "work"}) {
    names.clear();
    Walk(practice_ + "/" + folder, "", &names);
    for (const auto& [name, relative] : names)
      if (name[0] == '.') left.push_back(std::string(folder) + "/" + relative);
  }
  names.clear();
  Walk(practice_ + "/tmp", "", &names);
  for (const auto& [name, relative] : names)
    if (name.rfind("qendix-msg-", 0) == 0) left.push_back("tmp/" + relative);
  names.clear();
  Walk(home_.Root(), "", &names);
  for (const auto& [name, relative] : names)
    if (name.find(".tmp.") != std::string::npos)
      left.push_back("the security client's " + relative);
  return left;
}

Trial FaultScenario::Run(const std::vector<std::string>& before, const std::string& faulty,
                         const std::string& plan,
                         const std::function<void(const std::string&)>& prepare,
                         const std::function<void(const std::string&)>& restore) {
  Trial trial;
  Fresh();
  for (const std::string& command : before) Qendix(command, "", practice_ + "/clean.log");
  if (prepare) prepare(practice_);
  const std::string log = practice_ + "/fault.log";
  const ProcessResult faultyRun = Qendix(faulty, plan, log);
  // The first failed call, with the callers the log may give after it.
  std::istringstream hits(ReadFile(log));
  for (std::string line; std::getline(hits, line);) {
    if (line.rfind("hit ", 0) == 0 && trial.fired) break;
    if (line.rfind("hit ", 0) == 0) {
      trial.fired = true;
      trial.hit = line.substr(4);
    } else if (trial.fired && line.rfind("calls ", 0) != 0) {
      trial.hit += "\n    " + line;
    }
  }
  // 4 is a failure the command names itself on a line of its own (a job that could not start,
  // settings it could not store); 3 (busy) never is: no other job runs.
  const bool namedFailure =
      faultyRun.status == 4 && (faultyRun.out.rfind("qendix: ", 0) == 0 ||
                                faultyRun.out.find("\nqendix: ") != std::string::npos);
  if (faultyRun.status != 0 && faultyRun.status != 1 && !namedFailure)
    trial.found.push_back("qendix ended with status " + std::to_string(faultyRun.status));
  // Warnings and errors, without the warning that a step found no file (code 4, no file name),
  // which says nothing about a failure.
  std::istringstream out(faultyRun.out);
  for (std::string line; std::getline(out, line);)
    if (line.rfind("{\"level\":", 0) == 0 && line.find("\"level\":1,") == std::string::npos &&
        line.find("\"level\":0,") == std::string::npos &&
        line.find("\"code\":4,\"file\":null") == std::string::npos)
      trial.events += line + "\n";
  const size_t foundBefore = trial.found.size();
  CheckPlaces("after the failure", false, trial.events, &trial);
  const std::vector<std::string> left = Leftovers();
  // A failure needs no event when the component made up for it (a retried envelope, a folder
  // made again by the move that needs it): the run then ended as a clean one, every invoice
  // delivered and nothing left.
  const size_t invoices = static_cast<size_t>(
      std::count_if(items_.begin(), items_.end(), [](const Item& i) { return i.invoice.empty(); }));
  const bool clean =
      trial.found.size() == foundBefore && left.empty() && Accepted().size() == invoices;
  if (trial.fired && trial.events.empty() && !IsQuiet(trial.hit) && !clean)
    trial.found.push_back("the failed call was not reported");
  // A file that could not be removed may stay until the next job clears it, when it was told.
  if (trial.events.empty())
    for (const std::string& file : left) trial.found.push_back(file + " left after the failure");
  if (restore) restore(practice_);
  // With a log but no failure armed: the switch only counts, and the waits stay short.
  const ProcessResult cleanRun = Qendix("auto", "", practice_ + "/clean.log");
  if (cleanRun.status != 0 && cleanRun.status != 1)
    trial.found.push_back("the clean run ended with status " + std::to_string(cleanRun.status));
  CheckPlaces("after the clean run", true, trial.events, &trial);
  for (const std::string& file : Leftovers())
    trial.found.push_back(file + " left after the clean run");
  return trial;
}

}  // namespace qx::testing
