// Envelopes per second: the security client's load / encrypt / save sequence on a message file,
// against starting the openssl command once per envelope. Two recipients (RSA 3072, EC P-256),
// a 2 KB text and a 100 KB binary body.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "cert_store.h"
#include "identity_key.h"
#include "objects.h"

extern char** environ;

namespace {

// A home with two recipients, shared by all benchmarks of the run.
struct Fixture {
  std::string dir;
  asas::Home home;
  std::vector<std::string> cert_files;

  Fixture() {
    std::string pattern = "/tmp/asas-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    dir = pattern;
    home = asas::Home{dir + "/home"};
    const std::pair<const char*, asas::KeyType> recipients[] = {{"tc1", asas::KeyType::kRsa},
                                                                {"tc2", asas::KeyType::kEc}};
    for (const auto& [name, type] : recipients) {
      asas::IdentityKeyPem pem;
      if (qx::Failed(asas::CreateIdentityKey(name, type, &pem)) ||
          qx::Failed(asas::ImportCertificate(home, name, pem.cert)))
        abort();
      std::string file = dir + "/" + name + ".pem";
      std::ofstream(file) << pem.cert;
      cert_files.push_back(file);
    }
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

std::string Body(size_t size, bool text) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i)
    body[i] = text ? "<patient name=\"Muster\"/>\r\n"[i % 26] : char(i * 131 + (i >> 7));
  return body;
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

void EnvelopeInProcess(benchmark::State& state, bool text) {
  Fixture& f = Shared();
  std::string message = "From: dr-muster\r\nTo: tc1,tc2\r\n\r\n" + Body(state.range(0), text);
  std::string file = f.dir + "/message";
  qx::RefPtr<qx::IAsasSmime> smime = asas::MakeSmime(f.home);
  for (auto _ : state) {
    WriteFile(file, message);
    if (qx::Failed(smime->SmimeLoad(file)) || qx::Failed(smime->SmimeEncrypt()) ||
        qx::Failed(smime->SmimeSave(file))) {
      state.SkipWithError("envelope failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void EnvelopeWithOpensslProcess(benchmark::State& state, bool text) {
  Fixture& f = Shared();
  std::string in = f.dir + "/body", out = f.dir + "/body.p7m";
  std::string body = Body(state.range(0), text);
  std::vector<std::string> args = {"openssl", "cms", "-encrypt", "-binary", "-aes256",
                                   "-in",     in,    "-out",     out};
  args.insert(args.end(), f.cert_files.begin(), f.cert_files.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    WriteFile(in, body);
    pid_t pid;
    int status = 0;
    if (posix_spawnp(&pid, "openssl", nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("openssl cms -encrypt failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK_CAPTURE(EnvelopeInProcess, text, true)
    ->Arg(2 * 1024)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(EnvelopeInProcess, binary, false)
    ->Arg(100 * 1024)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(EnvelopeWithOpensslProcess, text, true)
    ->Arg(2 * 1024)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(EnvelopeWithOpensslProcess, binary, false)
    ->Arg(100 * 1024)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
