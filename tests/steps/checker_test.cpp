// The Check job: where each file ends and which events say why.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <set>

#include <gtest/gtest.h>

#include "common/component_fixture.h"
#include "component/cqendix.h"
#include "platform/job_lock.h"
#include "platform/last_error.h"
#include "steps/checker.h"

namespace qx::testing {
namespace {

std::string XmlInvoice(const std::string& id, const std::string& amount,
                       const std::string& coding_line = "") {
  std::string esr = coding_line.empty() ? "" : "<esr9 coding_line=\"" + coding_line + "\"/>";
  std::string balance = amount.empty() ? "" : "<balance amount=\"" + amount + "\"/>";
  return "<?xml version=\"1.0\"?>\n<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\">"
         "<invoice invoice_id=\"" +
         id + "\"/>" + balance + "<provider zsr=\"Z123456\"/>" + esr + "</request>\n";
}

std::string Gni(const std::string& fields) {
  return "[DEBITOR1]\r\n106=Z123456\r\n" + fields;
}

class Checker : public ComponentTest {
 protected:
  void SetUp() override {
    for (const char* n : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(n);
    ComponentTest::SetUp();
    mkdir(Work("input").c_str(), 0755);
    std::string now = std::to_string(std::time(nullptr));
    WriteFile(ModuleDir() + "/qendix.log",
              "qxdl-1.0\r\nDUP1|100.00|" + now + "|Z123456\r\nREV1|100.00|" + now + "|Z123456\r\n");
  }
  void In(const std::string& name, const std::string& content) {
    ASSERT_TRUE(WriteFile(Work("input/" + name), content));
  }
  void RunCheck() {
    ASSERT_EQ(q_->Check(), S_OK);
    ASSERT_TRUE(events_->WaitForEnd(moPChecker));
  }
  std::string ErrorDir() {
    BStr session;
    q_->get_session(&session);
    return Work("err/" + session.value_or(""));
  }
  // The events that name `file`, as "level|code|msg".
  std::vector<std::string> About(const std::string& file) {
    std::vector<std::string> out;
    for (const auto& e : events_->Events())
      if (e.file == file)
        out.push_back(std::to_string(e.level) + "|" + std::to_string(e.code) + "|" +
                      e.msg.value_or("(null)"));
    return out;
  }
  std::string EndText() { return events_->Events().back().msg.value_or(""); }
};

TEST_F(Checker, SortsAFolderOfInvoicesWithoutPdf) {
  In("good.xml", XmlInvoice("X1", "125.50"));
  In("good.gni", Gni("115=G1\r\n119=12345\r\n"));
  In("incomplete.xml", XmlInvoice("X2", ""));
  In("duplicate.xml", XmlInvoice("DUP1", "80.00"));
  In("reversal.xml", XmlInvoice("REV1", "-100.00"));
  In("unknown.gni", "[DEBITOR]\r\nthis is no field line\r\n");
  In("slip.pdf", "%PDF-1.4");
  In("notes.txt", "not an invoice");
  Create();
  RunCheck();
  for (const char* f : {"good.xml", "good.gni", "reversal.xml"})
    EXPECT_TRUE(FileExists(Work("valid/") + f)) << f;
  for (const char* f : {"incomplete.xml", "duplicate.xml", "unknown.gni", "slip.pdf"})
    EXPECT_TRUE(FileExists(ErrorDir() + "/" + f)) << f;
  EXPECT_TRUE(FileExists(Work("input/notes.txt")));

  using V = std::vector<std::string>;
  EXPECT_EQ(About("good.xml"), V{"1|2|Gültiges Dateiformat"});
  EXPECT_EQ(About("incomplete.xml"), V{"3|11|Unvollständige Rechnung"});
  EXPECT_EQ(About("duplicate.xml"), V{"3|12|Doppelte Rechnung"});
  EXPECT_EQ(About("reversal.xml"), V{"1|2|Gültiges Dateiformat"});
  EXPECT_EQ(About("unknown.gni"), V{"3|10|Unbekanntes Dateiformat"});
  EXPECT_EQ(About("slip.pdf"), V{"3|10|Unbekanntes Dateiformat"});
  EXPECT_EQ(events_->Events()[1].code, 7);  // count: notes.txt is not listed
  EXPECT_EQ(EndText(), "Überprüfen abgeschlossen: 3 kopiert, 4 fehlerhafte Rechnungsdateien");
}

TEST_F(Checker, PdfPaymentSlipsTravelWithTheirInvoice) {
  In("paid.xml", XmlInvoice("P1", "10.00", "01 000162 8>"));
  In("010001628_Rechnung.PDF", "%PDF-1.4 slip");
  In("010001628_second.pdf", "%PDF-1.4 second");
  In("nopdf.xml", XmlInvoice("P2", "10.00", "99 999999 9>"));
  In("quick.gni", Gni("115=Q1\r\n119=100\r\n115=Q2\r\n119=200\r\n200=0100003>\r\n"));
  In("orphan.pdf", "%PDF-1.4 orphan");
  In("noline.xml", XmlInvoice("P3", "10.00"));
  Create();
  q_->put_withPDF(VARIANT_TRUE);
  q_->put_debug(VARIANT_TRUE);
  RunCheck();
  EXPECT_TRUE(FileExists(Work("valid/paid.xml")));
  EXPECT_TRUE(FileExists(Work("valid/010001628_Rechnung.PDF")));
  EXPECT_TRUE(FileExists(ErrorDir() + "/010001628_second.pdf"));
  EXPECT_TRUE(FileExists(ErrorDir() + "/nopdf.xml"));
  EXPECT_TRUE(FileExists(ErrorDir() + "/orphan.pdf"));
  EXPECT_TRUE(FileExists(ErrorDir() + "/noline.xml"));
  EXPECT_TRUE(FileExists(Work("input/quick.gni")));

  using V = std::vector<std::string>;
  auto paid = About("paid.xml");
  ASSERT_EQ(paid.size(), 1u);
  EXPECT_EQ(paid[0], "1|2|Gültiges Dateiformat");
  EXPECT_EQ(About("010001628_Rechnung.PDF"), V{"1|2|Gültiges Dateiformat"});
  EXPECT_EQ(About("nopdf.xml"), V{"3|13|PDF-Datei nicht gefunden (999999999_.?\?\?)"});
  EXPECT_EQ(About("quick.gni"), V{"0|0|Annahme: GNI-Schnellrechnung"});
  EXPECT_EQ(About("noline.xml"), V{"3|11|Unvollständige Rechnung"});
  EXPECT_EQ(About("orphan.pdf"), V{"3|14|Unreferenzierte PDF-Datei"});
  EXPECT_EQ(About("010001628_second.pdf"), V{"3|14|Unreferenzierte PDF-Datei"});
  // The reader's debug events name the full path.
  bool saw_xml = false;
  for (const auto& e : events_->Events())
    saw_xml |= e.msg == "XML" && e.file == Work("input/paid.xml") && e.level == mlDebug;
  EXPECT_TRUE(saw_xml);
  EXPECT_EQ(EndText(), "Überprüfen abgeschlossen: 2 kopiert, 4 fehlerhafte Rechnungsdateien");
  // The quick invoice is met again by the next run, the same way.
  events_->Clear();
  RunCheck();
  EXPECT_EQ(About("quick.gni"), V{"0|0|Annahme: GNI-Schnellrechnung"});
}

// Slips are found by the start of their name whatever its letter case, also with letters
// beyond ASCII; each slip goes with one invoice only.
TEST_F(Checker, EachSlipGoesWithOneInvoiceWhateverTheLetterCase) {
  In("a.xml", XmlInvoice("A1", "10.00", "01 000162 8>"));
  In("b.xml", XmlInvoice("B1", "10.00", "01 000162 8>"));
  In("c.xml", XmlInvoice("C1", "10.00",
                         "\xC3\x84"
                         "b 12>"));
  In("d.xml", XmlInvoice("D1", "10.00", "Ab 7>"));
  const char* slips[] = {"010001628_x.pdf", "010001628_Y.PDF",
                         "\xC3\xA4"
                         "B12_c.pdf",
                         "aB7_d.pdf"};
  for (const char* slip : slips) In(slip, "%PDF-1.4");
  In("010001629_none.pdf", "%PDF-1.4");
  Create();
  q_->put_withPDF(VARIANT_TRUE);
  RunCheck();
  for (const char* file : {"a.xml", "b.xml", "c.xml", "d.xml"})
    EXPECT_TRUE(FileExists(Work("valid/") + file)) << file;
  for (const char* slip : slips) EXPECT_TRUE(FileExists(Work("valid/") + slip)) << slip;
  EXPECT_TRUE(FileExists(ErrorDir() + "/010001629_none.pdf"));
  EXPECT_EQ(EndText(), "Überprüfen abgeschlossen: 8 kopiert, 1 fehlerhafte Rechnungsdateien");
}

TEST_F(Checker, WithoutDebugTheQuickInvoiceIsSilent) {
  In("quick.gni", Gni("115=Q1\r\n119=100\r\n"));
  Create();
  q_->put_withPDF(VARIANT_TRUE);
  RunCheck();
  EXPECT_TRUE(About("quick.gni").empty());
  EXPECT_TRUE(FileExists(Work("input/quick.gni")));
  EXPECT_EQ(EndText(), "Überprüfen abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien");
}

TEST_F(Checker, RealSamplesOfTheStandardPass) {
  for (const char* f : {"4187_10734361.xml", "400_tg_kvg_de.xml", "aerztekasse_test_ok1.xml"})
    In(f, ReadFile(std::string(QENDIX_SAMPLES_DIR) + "/" + f));
  Create();
  RunCheck();
  for (const char* f : {"4187_10734361.xml", "400_tg_kvg_de.xml", "aerztekasse_test_ok1.xml"})
    EXPECT_TRUE(FileExists(Work("valid/") + f)) << f << "\n"
                                                << ::testing::PrintToString(events_->Lines());
}

// ---- Invoices of the standard's later versions -------------------------------------------------

std::string CurrentSample(const std::string& file) {
  return ReadFile(std::string(QENDIX_SAMPLES_DIR) + "/../xmlinvoice-current/" + file);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST_F(Checker, CurrentVersionsDuplicatesCancellationsAndEncryptedPayloads) {
  std::string now = std::to_string(std::time(nullptr));
  WriteFile(ModuleDir() + "/qendix.log", "qxdl-1.0\r\n2009_01:001|2514.52|" + now +
                                             "|P123456\r\nSTO1|2514.52|" + now +
                                             "|P123456\r\nSTO2|2514.52|" + now +
                                             "|P123456\r\nSTO2|-2514.52|" + now + "|P123456\r\n");
  const char* kinds[] = {"tg_kvg", "tg_uvg", "tg_ivg", "tg_mvg",
                         "tp_kvg", "tp_uvg", "tp_ivg", "tp_mvg"};
  for (const char* k : kinds)
    In(std::string("fd_") + k + ".xml", CurrentSample(std::string("4.4/fd_440_") + k + "_de.xml"));
  std::string invoice = CurrentSample("4.4/fd_440_tg_kvg_de.xml");
  std::string storno = Replaced(invoice, "storno=\"0\"", "storno=\"1\"");
  In("storno1.xml", Replaced(storno, "request_id=\"2009_01:001\"", "request_id=\"STO1\""));
  In("storno2.xml", Replaced(storno, "request_id=\"2009_01:001\"", "request_id=\"STO2\""));
  In("reminder.xml", CurrentSample("4.4/elexis_440_tg_kvg_213_reminder1.xml"));
  In("encrypted.xml",
     "<?xml version=\"1.0\"?><request xmlns=\"http://www.forum-datenaustausch.ch/invoice\">"
     "<processing/><payload type=\"invoice\"><invoice request_id=\"E1\"/>"
     "<EncryptedData xmlns=\"http://www.w3.org/2001/04/xmlenc#\"/></payload></request>");
  Create();
  RunCheck();
  using V = std::vector<std::string>;
  for (const char* k : kinds)
    EXPECT_EQ(About(std::string("fd_") + k + ".xml"), V{"3|12|Doppelte Rechnung"}) << k;
  EXPECT_EQ(About("storno1.xml"), V{"1|2|Gültiges Dateiformat"});
  EXPECT_EQ(About("storno2.xml"), V{"3|12|Doppelte Rechnung"});
  EXPECT_EQ(About("reminder.xml"), V{"1|2|Gültiges Dateiformat"});
  EXPECT_EQ(About("encrypted.xml"),
            V{"3|10|Verschlüsselte Rechnung kann nicht anonymisiert werden"});
  EXPECT_TRUE(FileExists(ErrorDir() + "/encrypted.xml"));
  EXPECT_TRUE(FileExists(Work("valid/storno1.xml")));
}

TEST_F(Checker, AQrBillTakesThePdfNamedByItsReference) {
  In("qr.xml", CurrentSample("5.0/fd_500_tp_kvg_esrqr.xml"));
  In("210000000003139471430009017.pdf", "%PDF-1.4 qr bill");
  In("nopdf.xml", CurrentSample("4.5/elexis_450_tg_mvg_esrqr.xml"));
  Create();
  q_->put_withPDF(VARIANT_TRUE);
  RunCheck();
  EXPECT_TRUE(FileExists(Work("valid/qr.xml")));
  EXPECT_TRUE(FileExists(Work("valid/210000000003139471430009017.pdf")));
  using V = std::vector<std::string>;
  EXPECT_EQ(About("nopdf.xml"),
            V{"3|13|PDF-Datei nicht gefunden (154530000000000000010000018.?\?\?)"});
  EXPECT_EQ(EndText(), "Überprüfen abgeschlossen: 2 kopiert, 1 fehlerhafte Rechnungsdateien");
}

TEST_F(Checker, FrenchTexts) {
  setenv("LC_ALL", "fr_CH.UTF-8", 1);
  In("incomplete.xml", XmlInvoice("X2", ""));
  Create();
  RunCheck();
  EXPECT_EQ(About("incomplete.xml"), std::vector<std::string>{"3|11|Facture incomplète"});
  EXPECT_EQ(events_->Events().front().msg, "Vérifier démarré");
}

// A register whose history cannot be known stops the check before any invoice passes or moves.
TEST_F(Checker, AnUnreadableRegisterStopsTheCheck) {
  using V = std::vector<std::string>;
  const std::string text = "3|7|Register der übermittelten Rechnungen nicht lesbar";
  const std::string reg = ModuleDir() + "/qendix.log";
  WriteFile(reg, "qxdl-2.0\r\nDUP1|100.00|1|Z123456\r\n");  // another header
  In("duplicate.xml", XmlInvoice("DUP1", "80.00"));
  Create();
  RunCheck();
  EXPECT_EQ(About("qendix.log"), V{text});
  ASSERT_EQ(unlink(reg.c_str()), 0);
  ASSERT_EQ(mkdir(reg.c_str(), 0700), 0);  // a folder in its place
  events_->Clear();
  RunCheck();
  EXPECT_EQ(About("qendix.log"), (V{"3|22|" + SystemErrorText(EINVAL), text}));
  EXPECT_TRUE(FileExists(Work("input/duplicate.xml")));
  EXPECT_EQ(EndText(), "Überprüfen abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien");
}

TEST_F(Checker, ARegisterWithAByteOrderMarkStillFindsDuplicates) {
  WriteFile(ModuleDir() + "/qendix.log", "\xEF\xBB\xBFqxdl-1.0\r\nDUP1|100.00|" +
                                             std::to_string(std::time(nullptr)) + "|Z123456\r\n");
  In("duplicate.xml", XmlInvoice("DUP1", "80.00"));
  Create();
  RunCheck();
  EXPECT_EQ(About("duplicate.xml"), std::vector<std::string>{"3|12|Doppelte Rechnung"});
}

// An empty or blank coding line names no payment slip; it must not take another patient's.
TEST_F(Checker, ABlankCodingLineMatchesNoPdf) {
  In("blank.xml", XmlInvoice("B1", "10.00", "   "));
  In("empty.gni", Gni("115=E1\r\n119=100\r\n200=\r\n"));
  In("0100001234_other_patient.pdf", "%PDF-1.4 slip");
  Create();
  q_->put_withPDF(VARIANT_TRUE);
  RunCheck();
  using V = std::vector<std::string>;
  for (const char* f : {"blank.xml", "empty.gni"}) {
    EXPECT_TRUE(FileExists(ErrorDir() + "/" + f)) << f;
    EXPECT_EQ(About(f), V{"3|13|PDF-Datei nicht gefunden (.?\?\?)"}) << f;
  }
  EXPECT_EQ(About("0100001234_other_patient.pdf"), V{"3|14|Unreferenzierte PDF-Datei"});
}

TEST_F(Checker, AnInvoiceOverTheSizeLimitIsSetAsideUnread) {
  const std::pair<const char*, std::string> files[] = {{"big.xml", XmlInvoice("L1", "1.00")},
                                                       {"big.gni", Gni("115=L2\r\n119=100\r\n")}};
  for (const auto& [name, start] : files) {
    In(name, start);  // a valid invoice, then a hole up to one byte over the limit
    ASSERT_EQ(truncate(Work(std::string("input/") + name).c_str(), kMaxInvoiceFileBytes + 1), 0);
  }
  Create();
  RunCheck();
  for (const auto& [name, start] : files) {
    EXPECT_TRUE(FileExists(ErrorDir() + "/" + name)) << name;
    EXPECT_EQ(About(name), std::vector<std::string>{"3|27|" + SystemErrorText(EFBIG)}) << name;
  }
}

// A step that records deliveries in the register, as the Sender does with its own checker.
class RecordingChecker : public PChecker {
 public:
  using PChecker::PChecker;

 protected:
  void ProcessFile(const std::string& name) override {
    InvoiceKeys keys;
    if (ReadXmlInvoice(SourcePath(name), &keys) == InvoiceFileRead::kRead) RecordSent(keys);
  }
};

// The next job may start from the handler of the end event: by then the lock is free and the
// register must already hold what this step recorded.
TEST_F(Checker, TheRegisterIsSavedBeforeTheJobLockIsGivenBack) {
  In("sent.xml", XmlInvoice("S1", "10.00"));
  Create();
  std::string atEnd;
  bool lockFree = false;
  events_->SetHook([&](const RecordedEvent& e) {
    if (e.mclass != mcModule || e.code != 1) return;
    atEnd = ReadFile(ModuleDir() + "/qendix.log");
    lockFree = !JobLock::Instance().IsHeldHere();
  });
  ASSERT_TRUE(JobLock::Instance().TryAcquire());
  JobContext context(*static_cast<CQendix*>(q_.Get()), nullptr);
  RecordingChecker(context).Run();
  EXPECT_TRUE(lockFree);
  EXPECT_NE(atEnd.find("\nS1|10.00|"), std::string::npos) << atEnd;
}

TEST(StartsWithNoCase, FoldsAsciiAndLatinLetters) {
  EXPECT_TRUE(StartsWithNoCase("010001628_ABC.pdf", "010001628_"));
  EXPECT_TRUE(StartsWithNoCase("ÄRZTE.pdf", "ärzte"));
  EXPECT_TRUE(StartsWithNoCase("x.pdf", ""));
  EXPECT_FALSE(StartsWithNoCase("01000162.pdf", "010001628_"));
  EXPECT_FALSE(StartsWithNoCase("short", "shorter"));
}

}  // namespace
}  // namespace qx::testing
