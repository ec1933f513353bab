#include "common/reference_trust_center.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "common/temp_dir.h"

extern char** environ;

namespace qx::testing {

ReferenceTrustCenter::ReferenceTrustCenter(const std::string& store, const std::string& key,
                                           const std::string& cert, const std::string& rcpt,
                                           const std::vector<std::string>& flags)
    : store_(store), rcpt_(rcpt) {
  std::vector<std::string> args = {
      "/usr/bin/python3", QENDIX_SOURCE_DIR "/tools/trustcenter/trustcenter.py",
      "--port",           "0",
      "--store",          store,
      "--rcpt",           rcpt};
  if (!key.empty()) args.insert(args.end(), {"--key", key, "--cert", cert});
  args.insert(args.end(), flags.begin(), flags.end());
  for (const std::string& flag : flags) tls_ = tls_ || flag == "--tls";
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Its output goes to a file beside the store (a pipe closed early would end it with SIGPIPE).
  const std::string outFile = store + ".out";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return;
  }
  // The first line names the port: "listening on 127.0.0.1:PORT".
  std::string line;
  for (int i = 0; i < 2000 && line.find('\n') == std::string::npos; ++i) {
    line = ReadFile(outFile);
    if (line.find('\n') == std::string::npos) ::usleep(10000);
  }
  line = line.substr(0, line.find('\n'));
  const size_t colon = line.rfind(':');
  if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos)
    port_ = std::atoi(line.c_str() + colon + 1);
}

ReferenceTrustCenter::~ReferenceTrustCenter() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::string ReferenceTrustCenter::CentersDocument() const {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<centers xmlns=\"http://www.qendix.org/centers/v1\" version=\"1\">\n"
         "  <update url=\"" +
         BaseUrl() + "/centers\"/>\n  <center label=\"TC test\" url=\"" + BaseUrl() +
         "/RPC2\" rcpt=\"" + rcpt_ + "\"/>\n</centers>\n";
}

std::vector<std::string> ReferenceTrustCenter::Received() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(store_ + "/received.log"));
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace qx::testing
