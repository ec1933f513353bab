// Transforms per second of the Anonymizer's XSLT step (AnonymizationTransform: load the invoice,
// transform, serialise the document) on a small invoice (about 1.5 KB) and a 19 KB real one:
//  - ComponentTransform: the embedded stylesheet with its extension calls (the person identifier
//    and three envelopes per invoice), the envelopes made by an in-memory stand-in security client,
//    so that the figure is the transform's own cost plus the envelopes' message files, not the
//    cryptography;
//  - ComponentMasking: the component's transform running bench/anonymize_masking.xsl, the
//    stylesheet without its extension calls (masking only);
//  - XsltprocProcess: `xsltproc` started as a process per invoice on that same masking copy.
// Nothing is written to the output folder in any of them (xsltproc writes to /dev/null).
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "anonymization/anonymization_transform.h"
#include "crypto/anonymizer_context.h"
#include "crypto/fake_asas.h"

extern char** environ;

namespace {

const std::string kMaskingStylesheet = QENDIX_SOURCE_DIR "/bench/anonymize_masking.xsl";
const std::string kLargeInvoice =
    QENDIX_SOURCE_DIR "/tests/formats/data/xmlinvoice/4187_10734368.xml";

class NoEvents final : public qx::EventTarget {
 public:
  void RaiseEvent(qx::tagMsgLevel, qx::tagMsgClass, qx::tagMsgOrigin, int32_t, const qx::BStr&,
                  const qx::BStr&) override {}
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

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

// A small invoice: patient, guarantor, identifiers and the usual frame.
std::string SmallInvoice() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<invoice:request xmlns:invoice=\"http://www.xmlData.ch/xmlInvoice/XSD\" "
         "role=\"production\">\n"
         " <invoice:invoice invoice_id=\"2024-0001\" invoice_date=\"2024-03-01T00:00:00\" "
         "case_id=\"K-77\">\n"
         "  <invoice:balance currency=\"CHF\" amount=\"123.45\" amount_due=\"123.45\"/>\n"
         "  <invoice:esr9 coding_line=\"0100000123457&gt;123456789012345678901234567+ "
         "010001628&gt;\"/>\n"
         "  <invoice:provider ean_party=\"7601000000000\" zsr=\"A123456\"><invoice:person>"
         "<invoice:familyname>Muster</invoice:familyname><invoice:givenname>Hans"
         "</invoice:givenname></invoice:person></invoice:provider>\n"
         "  <invoice:patient gender=\"female\" birthdate=\"1965-03-12T00:00:00\" "
         "ssn=\"756.1234.5678.97\">\n"
         "   <invoice:person salutation=\"Frau\"><invoice:familyname>Robert"
         "</invoice:familyname><invoice:givenname>Anna</invoice:givenname>\n"
         "    <invoice:postal><invoice:street>B\xC3\xA4"
         "ckerweg 12b</invoice:street><invoice:zip>8001</invoice:zip>"
         "<invoice:city>Z\xC3\xBCrich</invoice:city></invoice:postal></invoice:person>\n"
         "  </invoice:patient>\n"
         "  <invoice:guarantor><invoice:person><invoice:familyname>Robert</invoice:familyname>"
         "<invoice:givenname>Paul</invoice:givenname><invoice:postal><invoice:street>"
         "B\xC3\xA4"
         "ckerweg 12b</invoice:street><invoice:zip>8001</invoice:zip></invoice:postal>"
         "</invoice:person></invoice:guarantor>\n"
         "  <invoice:detail><invoice:treatment case_id=\"D-9\"/>\n"
         "   <invoice:services><invoice:record_tarmed record_id=\"1\" code=\"00.0010\" "
         "quantity=\"1\" amount=\"16.34\">Konsultation, erste 5 Min.</invoice:record_tarmed>"
         "</invoice:services></invoice:detail>\n"
         " </invoice:invoice>\n</invoice:request>\n";
}

// Invoice files and the stand-in security client, made once per process.
struct Fixture {
  std::string dir;
  std::string small;
  std::string large;
  std::string masking;
  std::shared_ptr<qx::AnonymizerContext> context;
  NoEvents events;
  bool ready = false;

  Fixture() {
    std::string pattern = "/tmp/qendix-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    dir = pattern;
    mkdir((dir + "/valid").c_str(), 0700);
    mkdir((dir + "/tmp").c_str(), 0700);
    setenv("TMPDIR", (dir + "/tmp").c_str(), 1);  // the envelopes' message folders
    small = dir + "/small.xml";
    large = dir + "/large.xml";
    std::ofstream(small, std::ios::binary) << SmallInvoice();
    std::filesystem::copy_file(kLargeInvoice, large);
    masking = ReadWhole(kMaskingStylesheet);

    qx::testing::InstallFakeAsas();
    context = std::make_shared<qx::AnonymizerContext>(nullptr, qx::moPAnonymizer);
    context->SetSender("dr-muster");
    context->SetRcpt("tc1");
    context->SetValidFolder(dir + "/valid");
    context->SetRetryWait([] {});
    ready = !masking.empty();
  }
  ~Fixture() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  const std::string& Invoice(int which) const { return which == 0 ? small : large; }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void RunComponent(benchmark::State& state, qx::AnonymizationTransform& transform) {
  Fixture& f = Shared();
  const std::string& path = f.Invoice(static_cast<int>(state.range(0)));
  size_t bytes = 0;
  for (auto _ : state) {
    std::string document;
    if (qx::Failed(transform.LoadInput(path)) ||
        qx::Failed(transform.Transform("inv.xml", "tc1", false, f.context)) ||
        qx::Failed(transform.SaveOutput(&document)))
      return state.SkipWithError("the transform failed");
    bytes = document.size();
    // The stand-in client records every call; keep that record from growing.
    qx::testing::FakeAsas().calls.clear();
    qx::testing::FakeAsas().loadedPaths.clear();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["output_bytes"] = static_cast<double>(bytes);
}

void ComponentTransform(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ready) return state.SkipWithError("no fixture");
  qx::AnonymizationTransform transform(f.events, "qendix-Praxis V2.1.14 / bench");
  RunComponent(state, transform);
}

void ComponentMasking(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ready) return state.SkipWithError("no fixture");
  qx::AnonymizationTransform transform(f.events, "qendix-Praxis V2.1.14 / bench", f.masking);
  if (!transform.Loaded()) return state.SkipWithError("masking stylesheet does not compile");
  RunComponent(state, transform);
}

void XsltprocProcess(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ready) return state.SkipWithError("no fixture");
  const std::string& path = f.Invoice(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    if (!Spawn({"xsltproc", "--nonet", "--stringparam", "filename", "inv.xml", "--stringparam",
                "libVersion", "qendix-Praxis V2.1.14 / bench", "--stringparam", "rcpt", "tc1", "-o",
                "/dev/null", kMaskingStylesheet, path}))
      return state.SkipWithError("xsltproc failed or is not installed (package xsltproc)");
  }
  state.SetItemsProcessed(state.iterations());
}

// Argument 0: the small invoice, 1: the 19 KB one.
BENCHMARK(ComponentTransform)
    ->ArgName("large")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(ComponentMasking)
    ->ArgName("large")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(XsltprocProcess)
    ->ArgName("large")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
