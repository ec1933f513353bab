// Envelopes per second made by the component through the installed security client (the
// build's libasas.so.1, loaded by the class registry as in production): EncryptText of a 2 KB
// text and EncryptPdfs of a 100 KB PDF for one Trust Center recipient whose certificate the
// certificate cache published. Against them: `openssl cms -encrypt -aes256 -binary` started as a
// process per envelope on the same text and the same PDF.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "crypto/anonymizer_context.h"
#include "crypto/certificate_cache.h"
#include "crypto/envelopes.h"

extern char** environ;

namespace {

constexpr char kPdfName[] = "01_123_45_.pdf";
constexpr char kCodingLine[] = "coding_line=\"01&gt;123+ 45&gt;\"";

bool Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int status = 0;
  bool ok = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
            waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return ok;
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// A 2 KB invoice fragment with umlauts and line breaks (UTF-8, as the transform hands it over).
std::string Text() {
  std::string text;
  while (text.size() < 2048)
    text += "<patient name=\"Müller\" city=\"Zürich\">Ölz 12.50 €</patient>\n";
  text.resize(2048);
  return text;
}

std::string Pdf() {
  std::string pdf = "%PDF-1.4\n";
  pdf.reserve(100 * 1024);
  for (size_t i = pdf.size(); i < 100 * 1024; ++i) pdf += static_cast<char>(i * 131 + (i >> 7));
  return pdf;
}

// A security-client home with one Trust Center certificate, published by the certificate cache,
// and the current anonymizer that every envelope of the run uses.
struct Fixture {
  std::string dir;
  std::string certFile;
  std::shared_ptr<qx::AnonymizerContext> context;
  std::unique_ptr<qx::CertificateCache> cache;
  int retries = 0;
  bool ready = false;

  Fixture() {
    std::string pattern = "/tmp/qendix-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    dir = pattern;
    const std::string home = dir + "/asas";
    const std::string work = dir + "/work";
    const std::string tmp = dir + "/tmp";
    mkdir(work.c_str(), 0700);
    mkdir((work + "/valid").c_str(), 0700);
    mkdir(tmp.c_str(), 0700);
    // Before the first security-client object: the library is loaded once per process.
    setenv("ASAS_HOME", home.c_str(), 1);
    setenv("QENDIX_ASAS_LIBRARY", QENDIX_BINARY_DIR "/lib/libasas.so.1", 1);
    setenv("TMPDIR", tmp.c_str(), 1);

    certFile = dir + "/tc1.crt";
    if (!Spawn({"openssl", "req", "-x509", "-nodes", "-days", "2", "-subj", "/CN=tc1", "-newkey",
                "rsa:2048", "-keyout", dir + "/tc1.key", "-out", certFile}) ||
        !Spawn({QENDIX_BINARY_DIR "/bin/asasctl", "cert", "import", "tc1", certFile}))
      return;

    context = std::make_shared<qx::AnonymizerContext>(nullptr, qx::moPAnonymizer);
    context->SetSender("dr-muster");
    context->SetRcpt("tc1");
    context->SetValidFolder(work + "/valid");
    context->SetPdfFiles({kPdfName});
    context->SetRetryWait([this] { ++retries; });
    cache = std::make_unique<qx::CertificateCache>(work, nullptr);
    WriteFile(work + "/valid/" + kPdfName, Pdf());
    // The Anonymizer step opens one envelope workspace for its run; so does the benchmark.
    ready = cache->Lookup("tc1") &&
            cache->RegisteredKeys() == std::vector<std::string>{"tc1_cert"} &&
            qx::Succeeded(context->OpenEnvelopeWorkspace());
  }
  ~Fixture() {
    cache.reset();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void ComponentEncryptText(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ready) return state.SkipWithError("no security client home");
  const std::string text = Text();
  const int retriesBefore = f.retries;
  for (auto _ : state) {
    std::string body;
    if (qx::Failed(qx::EncryptText(*f.context, text, &body)) || body.empty())
      return state.SkipWithError("EncryptText failed");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.counters["retries"] = f.retries - retriesBefore;
}

void ComponentEncryptPdfs(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ready) return state.SkipWithError("no security client home");
  const int retriesBefore = f.retries;
  for (auto _ : state) {
    qx::RefPtr<qx::IXmlDocument> document;
    if (qx::Failed(qx::EncryptPdfs(*f.context, kCodingLine, &document)) ||
        f.context->EnvelopedPdfs().empty())
      return state.SkipWithError("EncryptPdfs failed");
    f.context->ForgetEnvelopedPdfs();  // the PDF stays in "valid" for the next round
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 100 * 1024);
  state.counters["retries"] = f.retries - retriesBefore;
}

void OpensslProcess(benchmark::State& state, bool pdf) {
  Fixture& f = Shared();
  if (!f.ready) return state.SkipWithError("no security client home");
  const std::string input = pdf ? Pdf() : Text();
  const std::string in = f.dir + "/openssl.in";
  const std::string out = f.dir + "/openssl.p7m";
  for (auto _ : state) {
    WriteFile(in, input);
    if (!Spawn({"openssl", "cms", "-encrypt", "-aes256", "-binary", "-in", in, "-out", out,
                f.certFile}))
      return state.SkipWithError("openssl cms -encrypt failed");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

BENCHMARK(ComponentEncryptText)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ComponentEncryptPdfs)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(OpensslProcess, text_2k, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(OpensslProcess, pdf_100k, true)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
