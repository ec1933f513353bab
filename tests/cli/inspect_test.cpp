// `qendix status` and `qendix preview` on a mixed invoice and work directory (XML invoices of
// versions 4.0, 4.5 and 5.0, a GNI file, PDF slips), in German and French.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include <gtest/gtest.h>

#include "common/process.h"
#include "common/temp_dir.h"

namespace qx::testing {
namespace {

const std::string kData = QENDIX_SOURCE_DIR "/tests/formats/data/";
const std::string kGerman = "LANG=de_CH.UTF-8";
const std::string kFrench = "LC_ALL=fr_CH.UTF-8";

std::string Today() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[16];
  strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The part of a preview between the document's heading and the list of sealed parts.
std::string DocumentPart(const std::string& out) {
  size_t from = out.find("<?xml");
  size_t to = out.find("</qendix:datatransfer>");
  return from == std::string::npos || to == std::string::npos ? "" : out.substr(from, to - from);
}

class Inspect : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"module", "inv", "work", "tmp"}) mkdir((temp_ / dir).c_str(), 0700);
    WriteFile(temp_ / "module/qendix.xml", ReadFile(QENDIX_SOURCE_DIR "/data/qendix.xml"));
    Put("400_tg_kvg_de.xml", "xmlinvoice/400_tg_kvg_de.xml");
    Put("elexis_450.xml", "xmlinvoice-current/4.5/elexis_450_tp_kvg_esr9_tarpoint.xml");
    Put("fd_500.xml", "xmlinvoice-current/5.0/fd_500_tp_kvg_esrqr.xml");
    Put("two_invoices.gni", "gni/two_invoices.gni");
    WriteFile(Inv() + "/0100000125505_000000000000000020050004201_010001628_.pdf",
              "%PDF-1.4 first slip");
    WriteFile(Inv() + "/0100000005008_000000000000000020050004302_010001628_.pdf",
              "%PDF-1.4 the second slip");
    WriteFile(Inv() + "/notes.txt", "not an invoice");
  }
  void Put(const std::string& name, const std::string& sample) {
    WriteFile(Inv() + "/" + name, ReadFile(kData + sample));
  }
  std::string Inv() const { return temp_ / "inv"; }
  std::string Work() const { return temp_ / "work"; }

  ProcessResult Run(std::vector<std::string> commands, const std::string& language,
                    std::vector<std::string> sets = {}) {
    std::vector<std::string> argv = {
        QENDIX_BINARY_DIR "/bin/qendix", "--module-dir", temp_ / "module",         "--set",
        "inputDirectory=" + Inv(),       "--set",        "workDirectory=" + Work()};
    for (const auto& s : sets) argv.insert(argv.end(), {"--set", s});
    argv.insert(argv.end(), commands.begin(), commands.end());
    return RunProcess(argv,
                      {language, "PATH=/usr/bin:/bin", "QENDIX_ASAS_LIBRARY=/nonexistent",
                       "QENDIX_LOCK_FILE=" + temp_ / "job.lock", "TMPDIR=" + temp_ / "tmp"},
                      temp_.path());
  }

  TempDir temp_;
};

struct PreviewCase {
  const char* file;
  const char* language;
  const char* patientName;  // must not leave the practice readable
  const char* maskedLabel;
};

TEST_F(Inspect, PreviewSealsAndMasksWithoutTouchingTheInvoice) {
  const PreviewCase cases[] = {
      {"400_tg_kvg_de.xml", "de", "Muster", "maskiert als"},
      {"elexis_450.xml", "fr", "Maienfeld", "masqué en"},
      {"fd_500.xml", "de", "Muster-Meier", "maskiert als"},
      {"two_invoices.gni", "fr", "Müller", "masqué en"},
      {"two_invoices.gni", "de", "Müller", "weggelassen"},
  };
  const std::vector<std::string> before = Entries(Inv());
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.language);
    const std::string original = ReadFile(Inv() + "/" + c.file);
    ProcessResult r =
        Run({"preview", Inv() + "/" + c.file}, std::string(c.language) == "de" ? kGerman : kFrench);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string document = DocumentPart(r.out);
    ASSERT_NE(document, "") << r.out;
    EXPECT_NE(document.find("[sealed for tc-test: "), std::string::npos);
    EXPECT_EQ(document.find(c.patientName), std::string::npos) << document;
    EXPECT_EQ(r.out.find("Prüfung: angenommen") != std::string::npos,
              std::string(c.language) == "de");
    // The value list names the patient's name where it stood and what became of it.
    const std::string list = r.out.substr(r.out.find("</qendix:datatransfer>"));
    EXPECT_NE(list.find(std::string("\"") + c.patientName + "\" -> "), std::string::npos) << list;
    EXPECT_NE(list.find(c.maskedLabel), std::string::npos) << list;
    EXPECT_EQ(ReadFile(Inv() + "/" + c.file), original);
  }
  EXPECT_EQ(Entries(Inv()), before);
  EXPECT_EQ(Entries(temp_ / "tmp"), std::vector<std::string>{});
  EXPECT_EQ(Entries(Work()), std::vector<std::string>{});
}

TEST_F(Inspect, PreviewCarriesTheNamedSlipsWithTheirSize) {
  ProcessResult r = Run({"preview", Inv() + "/two_invoices.gni"}, kGerman, {"withPDF=1"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("PDF-Dateien dazu: "), std::string::npos) << r.out;
  const std::string document = DocumentPart(r.out);
  EXPECT_NE(document.find("type=\"pdf\">[sealed for tc-test: 19 bytes]"), std::string::npos)
      << document;
  EXPECT_NE(document.find("type=\"pdf\">[sealed for tc-test: 24 bytes]"), std::string::npos);
  EXPECT_EQ(Entries(Inv()).size(), 7u);  // the slips stay where they are
}

TEST_F(Inspect, PreviewOfARefusedInvoiceSaysWhy) {
  WriteFile(Inv() + "/bad.xml", "<?xml version=\"1.0\"?><nothing/>");
  ProcessResult de = Run({"preview", Inv() + "/bad.xml"}, kGerman);
  EXPECT_EQ(de.status, 1);
  EXPECT_NE(de.out.find("Prüfung: abgewiesen\n  Unbekanntes Dateiformat"), std::string::npos)
      << de.out;
  ProcessResult fr = Run({"preview", Inv() + "/bad.xml", "--json"}, kFrench);
  EXPECT_EQ(fr.status, 1);
  EXPECT_NE(fr.out.find("\"accepted\":false,\"checkErrors\":[\"Format de fichier inconu\"]"),
            std::string::npos)
      << fr.out;
  EXPECT_EQ(Run({"preview", Inv() + "/missing.xml"}, kGerman).status, 4);
}

TEST_F(Inspect, StatusCountsTheWaitingFilesAndReadsTheRegisterAndLog) {
  for (const char* dir : {"input", "valid", "err", "logs"})
    mkdir((Work() + "/" + dir).c_str(), 0700);
  mkdir((Work() + "/err/" + Today()).c_str(), 0700);
  WriteFile(Work() + "/input/a.gni", ReadFile(kData + "gni/two_invoices.gni"));
  WriteFile(Work() + "/err/" + Today() + "/b.xml", "<?xml version=\"1.0\"?><x/>");
  const long now = static_cast<long>(time(nullptr));
  WriteFile(temp_ / "module/qendix.log",
            "qxdl-1.0\r\n2005-0042|125.50|" + std::to_string(now - 86400) + "|Z123456\r\n" +
                "2005-0043|-5.00|" + std::to_string(now) + "|Z123456\r\n");
  const std::string t = std::to_string(now);
  WriteFile(Work() + "/logs/" + Today() + ".log",
            "generator\n" + t + "|1|2|0|0|(null)|Einlesen gestartet\n" + t +
                "|1|2|0|1|(null)|Einlesen abgeschlossen: 1 kopiert, 0 fehlerhafte\n" + t +
                "|1|2|0|0|(null)|Einlesen gestartet\n" + t +
                "|1|2|0|1|(null)|Einlesen abgeschlossen: 3 kopiert, 0 fehlerhafte\n" + t +
                "|1|2|1|0|(null)|Überprüfen gestartet\n" + t + "|3|2|1|10|b.xml|Unbekannt\n" + t +
                "|1|2|1|1|(null)|Überprüfen abgeschlossen: 2 kopiert, 1 fehlerhafte\n");

  ProcessResult de = Run({"status"}, kGerman);
  EXPECT_EQ(de.status, 0) << de.err;
  for (const std::string expected :
       {"Trust Center: TC test\n  URL: http://127.0.0.1:8470/RPC2\n",
        "Sicherheitsclient: nicht installiert\n", "  Rechnungsverzeichnis: 6  ", "  input: 1  ",
        "  valid: 0  ", "  output: 0 (fehlt)  ", "  Fehlerordner von heute: 1  ",
        "Register der übermittelten Rechnungen: 2 Einträge, ältester vom ",
        ", 1 Fehler\n  Einlesen abgeschlossen: 3 kopiert, 0 fehlerhafte\n  Überprüfen "})
    EXPECT_NE(de.out.find(expected), std::string::npos) << expected << "\n" << de.out;

  ProcessResult fr = Run({"status"}, kFrench);
  EXPECT_NE(fr.out.find("Client de sécurité: non installé\n"), std::string::npos) << fr.out;
  EXPECT_NE(fr.out.find("Registre des factures transmises: 2 entrées, la plus ancienne du "),
            std::string::npos);
  EXPECT_NE(fr.out.find("  Dossier d'erreurs d'aujourd'hui: 1  "), std::string::npos);

  ProcessResult json = Run({"status", "--json"}, kGerman);
  EXPECT_EQ(json.status, 0);
  for (const std::string& expected : std::vector<std::string>{
           "\"url\":\"http://127.0.0.1:8470/RPC2\"", "\"securityClient\":{\"installed\":false",
           "\"input\":{\"path\":\"" + Work() + "/input\",\"exists\":true,\"files\":1}",
           "\"entries\":2", "\"errors\":1,\"steps\":[\"Einlesen abgeschlossen: 3 kopiert"})
    EXPECT_NE(json.out.find(expected), std::string::npos) << expected << "\n" << json.out;
}

}  // namespace
}  // namespace qx::testing
