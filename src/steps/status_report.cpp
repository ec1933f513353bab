#include "steps/status_report.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "crypto/asas_objects.h"
#include "crypto/variant_text.h"
#include "formats/file_kind.h"
#include "formats/register_settings.h"
#include "formats/sent_register.h"
#include "net/center_directory.h"
#include "platform/file_system.h"
#include "platform/module.h"
#include "support/json_text.h"
#include "support/messages.h"
#include "support/settings.h"

namespace qx {
namespace {

// The largest day log that is read for the last job.
constexpr size_t kMaxLogBytes = 64u << 20;

std::string LocalDate(time_t when, bool withTime) {
  struct tm local {};
  localtime_r(&when, &local);
  char text[80];
  if (withTime)
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  else
    std::snprintf(text, sizeof text, "%d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
  return text;
}

StatusReport::Folder CountFolder(const std::string& name, const std::string& path) {
  StatusReport::Folder folder;
  folder.name = name;
  folder.path = path;
  folder.exists = !path.empty() && IsDirectory(path);
  std::vector<std::string> names;
  if (folder.exists && Succeeded(ListRegularFiles(path, &names)))
    for (const std::string& file : names)
      if (ClassifyFile(JoinPath(path, file)) != fkOther) ++folder.files;
  return folder;
}

void AskSecurityClient(const std::string& login, StatusReport* report) {
  RefPtr<IAsasClient> client;
  if (Failed(CreateAsasObject("Asas.Client", &client))) return;
  report->asasInstalled = true;
  VariantBool running = VARIANT_FALSE;
  if (Succeeded(client->ClientIsRunning(&running))) report->asasRunning = running != VARIANT_FALSE;
  BStr version;
  if (Succeeded(client->ClientVersion(&version))) report->asasVersion = version.value_or("");
  RefPtr<IAsasClientConf> conf;
  if (Failed(CreateAsasObject("Asas.Client.Conf", &conf))) return;
  BStr current;
  if (Succeeded(conf->ConfCurrentLogin(&current))) report->asasCurrentLogin = current.value_or("");
  Variant logins;
  if (Failed(conf->ConfLogins(&logins))) return;
  RefPtr<IAsasCollection> collection = CollectionOf(logins);
  int32_t count = 0;
  if (!collection || Failed(collection->get_Count(&count))) return;
  for (int32_t i = 1; i <= count && !report->loginKnown; ++i) {
    Variant item;
    std::string name;
    if (Succeeded(collection->get_Item(i, &item)) && Succeeded(VariantToText(item, &name)))
      report->loginKnown = !login.empty() && name == login;
  }
}

// Splits a log line "time|level|class|origin|code|file|message" into its first five numbers
// and the message (after the file name). False for any other line.
bool SplitLogLine(const std::string& line, long long numbers[5], std::string* message) {
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    size_t bar = line.find('|', pos);
    if (bar == std::string::npos || bar == pos) return false;
    char* end = nullptr;
    const std::string field = line.substr(pos, bar - pos);
    numbers[i] = std::strtoll(field.c_str(), &end, 10);
    if (*end != '\0') return false;
    pos = bar + 1;
  }
  const size_t bar = line.find('|', pos);
  if (bar == std::string::npos) return false;
  *message = line.substr(bar + 1);
  if (!message->empty() && message->back() == '\r') message->pop_back();
  return true;
}

}  // namespace

void FindLastJob(const std::string& logText, StatusReport* report) {
  long long lastStartOrigin = -1;
  size_t pos = 0;
  while (pos < logText.size()) {
    size_t end = logText.find('\n', pos);
    if (end == std::string::npos) end = logText.size();
    const std::string line = logText.substr(pos, end - pos);
    pos = end + 1;
    long long n[5];  // time, level, class, origin, code
    std::string message;
    if (!SplitLogLine(line, n, &message)) continue;
    const bool stepEvent =
        n[1] == mlInfo && n[2] == mcModule && n[3] >= moPReader && n[3] <= moPSender;
    if (stepEvent && n[4] == 0) {
      if (n[3] <= lastStartOrigin || !report->jobFound) {
        report->jobFound = true;
        report->jobStarted = n[0];
        report->jobEndTexts.clear();
        report->jobErrors = 0;
      }
      lastStartOrigin = n[3];
      report->jobEnded = 0;
    } else if (stepEvent && n[4] == 1 && report->jobFound) {
      report->jobEndTexts.push_back(message);
      report->jobEnded = n[0];
    } else if (n[1] >= mlError && report->jobFound) {
      ++report->jobErrors;
    }
  }
}

StatusReport CollectStatus(const JobSettings& settings) {
  StatusReport report;
  report.moduleFolder = ModuleDirectory();
  report.settings = settings;
  const std::string label = settings.trustCenter.value_or("");
  CenterDirectory directory;
  if (directory.LoadCache() && !label.empty()) {
    for (const std::string& known : directory.labels()) report.centerKnown |= known == label;
    report.centerUrl = directory.Url(label);
  }
  AskSecurityClient(settings.asasLogin, &report);

  const std::string& work = settings.workDirectory;
  const std::string today = LocalDate(time(nullptr), false);
  report.folders.push_back(CountFolder("invoices", settings.inputDirectory));
  for (const char* name : {"input", "valid", "output"})
    report.folders.push_back(CountFolder(name, work.empty() ? "" : JoinPath(work, name)));
  report.folders.push_back(
      CountFolder("err", work.empty() ? "" : JoinPath(JoinPath(work, "err"), today)));

  report.registerPath = DefaultRegisterPath();
  SentRegister sent;
  report.registerReadable = sent.Load(report.registerPath);
  report.registerEntries = sent.size();
  report.registerOldest = sent.oldestSentAt();

  if (!work.empty()) {
    report.logPath = JoinPath(JoinPath(work, "logs"), today + ".log");
    std::string text;
    if (Succeeded(ReadFileLimited(report.logPath, kMaxLogBytes, &text))) FindLastJob(text, &report);
  }
  return report;
}

namespace {

std::string YesNo(bool yes) {
  return LoadMessage(yes ? 1346 : 1347);
}

std::string Line(uint16_t label, const std::string& value) {
  return "  " + LoadMessage(label) + ": " + value + "\n";
}

}  // namespace

std::string StatusText(const StatusReport& r) {
  const JobSettings& s = r.settings;
  std::string out = LoadMessage(1320) + "\n";
  out += Line(1321, r.moduleFolder);
  out += Line(1343, s.inputDirectory);
  out += Line(1344, s.workDirectory);
  out += Line(1330, s.asasLogin);
  out += "  withPDF: " + YesNo(s.Has(kOptionWithPdf)) +
         ", withArchive: " + YesNo(s.Has(kOptionWithArchive)) +
         ", debug: " + YesNo(s.Has(kOptionDebug)) + "\n";
  out += LoadMessage(1322) + ": " + s.trustCenter.value_or("-") +
         (r.centerKnown ? "" : " (" + LoadMessage(1324) + ")") + "\n";
  out += Line(1323, r.centerUrl.empty() ? "-" : r.centerUrl);
  out += LoadMessage(1325) + ": " + LoadMessage(r.asasInstalled ? 1326 : 1327);
  if (r.asasInstalled) {
    out += ", " + LoadMessage(r.asasRunning ? 1328 : 1329);
    if (!r.asasVersion.empty()) out += ", " + r.asasVersion;
    out += "\n" + Line(1330, (s.asasLogin.empty() ? "-" : s.asasLogin) + " (" +
                                 LoadMessage(r.loginKnown ? 1331 : 1332) + ")");
    if (!r.asasCurrentLogin.empty()) out += Line(1349, r.asasCurrentLogin);
  } else {
    out += "\n";
  }
  out += LoadMessage(1333) + "\n";
  for (const auto& f : r.folders) {
    const std::string label = f.name == "invoices" ? LoadMessage(1343)
                              : f.name == "err"    ? LoadMessage(1334)
                                                   : f.name;
    out += "  " + label + ": " +
           (f.exists ? std::to_string(f.files) : "0 (" + LoadMessage(1335) + ")") + "  " + f.path +
           "\n";
  }
  out += LoadMessage(1336) + ": ";
  if (!r.registerReadable)
    out += LoadMessage(1125);
  else if (r.registerOldest != 0)
    out += FillText(LoadMessage(1337),
                    {std::to_string(r.registerEntries), LocalDate(r.registerOldest, true)});
  else
    out += FillText(LoadMessage(1338), {std::to_string(r.registerEntries)});
  out += "\n  " + r.registerPath + "\n";
  out += LoadMessage(1339) + ": ";
  if (!r.jobFound) return out + LoadMessage(1340) + "\n";
  out += LocalDate(r.jobStarted, true) + ", " +
         FillText(LoadMessage(1341), {std::to_string(r.jobErrors)}) +
         (r.jobEnded ? "" : ", " + LoadMessage(1342)) + "\n";
  for (const std::string& text : r.jobEndTexts) out += "  " + text + "\n";
  return out;
}

std::string StatusJson(const StatusReport& r) {
  const JobSettings& s = r.settings;
  JsonObject settings;
  settings.Raw("trustCenter", s.trustCenter ? JsonString(*s.trustCenter) : "null");
  settings.Text("inputDirectory", s.inputDirectory).Text("workDirectory", s.workDirectory);
  settings.Text("asasLogin", s.asasLogin).Bool("withPDF", s.Has(kOptionWithPdf));
  settings.Bool("withArchive", s.Has(kOptionWithArchive)).Bool("debug", s.Has(kOptionDebug));
  JsonObject center;
  center.Raw("label", s.trustCenter ? JsonString(*s.trustCenter) : "null");
  center.Bool("known", r.centerKnown).Text("url", r.centerUrl);
  JsonObject client;
  client.Bool("installed", r.asasInstalled).Bool("running", r.asasRunning);
  client.Text("version", r.asasVersion).Text("login", s.asasLogin);
  client.Bool("loginKnown", r.loginKnown).Text("currentLogin", r.asasCurrentLogin);
  JsonObject folders;
  for (const auto& f : r.folders) {
    JsonObject folder;
    folder.Text("path", f.path).Bool("exists", f.exists).Number("files", f.files);
    folders.Raw(f.name, folder.Done());
  }
  JsonObject sent;
  sent.Text("path", r.registerPath).Bool("readable", r.registerReadable);
  sent.Number("entries", static_cast<int64_t>(r.registerEntries));
  sent.Raw("oldest", r.registerOldest ? JsonString(LocalDate(r.registerOldest, true)) : "null");
  std::string lastJob = "null";
  if (r.jobFound) {
    std::string ends = "[";
    for (const std::string& t : r.jobEndTexts) ends += (ends.size() > 1 ? "," : "") + JsonString(t);
    JsonObject job;
    job.Text("started", LocalDate(r.jobStarted, true));
    job.Raw("ended", r.jobEnded ? JsonString(LocalDate(r.jobEnded, true)) : "null");
    job.Number("errors", r.jobErrors).Raw("steps", ends + "]");
    lastJob = job.Done();
  }
  JsonObject all;
  all.Text("moduleFolder", r.moduleFolder).Raw("settings", settings.Done());
  all.Raw("trustCenter", center.Done()).Raw("securityClient", client.Done());
  all.Raw("folders", folders.Done()).Raw("register", sent.Done());
  all.Text("log", r.logPath).Raw("lastJob", lastJob);
  return all.Done();
}

}  // namespace qx
