// `qendix auto` end to end on one machine: the installed security client, the reference Trust
// Center on loopback, real sample invoices of versions 4.0, 4.4, 4.5 and 5.0 with the PDF slip
// of each coding line or QR reference and a GNI invoice in the invoice folder, withPDF on. Every
// invoice is delivered once, every sealed part opened by the Trust Center (the slips byte for
// byte), archived and registered; a second run sends nothing.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <map>

#include "common/reference_trust_center.h"
#include "crypto/envelopes.h"
#include "formats/xml_invoice.h"
#include "integration/asas_home.h"
#include "platform/file_system.h"

namespace qx::testing {
namespace {

class AutoJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.AddLogin("praxis"));
    tc_ = home_.MakeTrustCenter("tc-test", KeyKind::kEc, /*import=*/true);
    ASSERT_FALSE(tc_.name.empty());
    for (const char* dir : {"module", "in", "work", "tmp", "store"})
      ASSERT_EQ(::mkdir((temp_ / dir).c_str(), 0700), 0);
    server_ = std::make_unique<ReferenceTrustCenter>(temp_ / "store", tc_.keyFile, tc_.certFile,
                                                     "tc-test");
    ASSERT_NE(server_->Port(), 0);
    ASSERT_TRUE(WriteFile(temp_ / "module/qendix.xml", server_->CentersDocument()));
  }

  ProcessResult Qendix(const std::vector<std::string>& commands) {
    std::vector<std::string> argv = {QENDIX_BINARY_DIR "/bin/qendix",
                                     "--module-dir",
                                     temp_ / "module",
                                     "--set",
                                     "inputDirectory=" + (temp_ / "in"),
                                     "--set",
                                     "workDirectory=" + (temp_ / "work"),
                                     "--set",
                                     "asasLogin=praxis",
                                     "--set",
                                     "trustCenter=TC test",
                                     "--set",
                                     "withPDF=true"};
    argv.insert(argv.end(), commands.begin(), commands.end());
    std::vector<std::string> env = home_.ChildEnvironment();
    env.push_back("QENDIX_ASAS_LIBRARY=" + kAsasLibrary);
    env.push_back("QENDIX_LOCK_FILE=" + (temp_ / "lock"));
    env.push_back("TMPDIR=" + (temp_ / "tmp"));
    env.push_back("LANGUAGE=de");
    return RunProcess(argv, env, temp_ / "tmp");
  }

  AsasHome home_;
  TrustCenter tc_;
  TempDir temp_;
  std::unique_ptr<ReferenceTrustCenter> server_;
};

TEST_F(AutoJobTest, DeliversEveryInvoiceOnceAndASecondRunSendsNothing) {
  // Versions 4.0, 4.4, 4.5 and 5.0 (esr5, esr9, esrRed and QR bills, a reminder beside its
  // invoice, an attached document, partners), and a GNI invoice last. The samples of different
  // versions that render one invoice (same identifier and provider) are left out: they are
  // duplicates of each other.
  const std::string samples = QENDIX_SOURCE_DIR "/tests/formats/data/";
  const std::vector<std::string> paths = {
      "xmlinvoice/400_tg_kvg_de.xml",
      "xmlinvoice/4187_10734361.xml",
      "xmlinvoice-current/4.4/fd_440_tp_kvg_de.xml",
      "xmlinvoice-current/4.4/elexis_440_tg_kvg_213_invoice.xml",
      "xmlinvoice-current/4.4/elexis_440_tg_kvg_213_reminder1.xml",
      "xmlinvoice-current/4.4/metasfresh_440_tp_kvg_kanton_other_with_document.xml",
      "xmlinvoice-current/4.5/metasfresh_450_tp_kvg_hospital_esrqr_streha_invoice_03.xml",
      "xmlinvoice-current/4.5/elexis_450_tp_kvg_esr9_tarpoint.xml",
      "xmlinvoice-current/5.0/elexis_500_tg_vvg_esrqr_partners.xml",
      "xmlinvoice-current/5.0/fd_500_tp_kvg_esrqr_12qr.xml",
      "praxis.gni"};
  std::vector<std::string> invoices;
  for (const std::string& path : paths) invoices.push_back(path.substr(path.rfind('/') + 1));
  // The slip of each coding line, named as the practice software names it.
  std::map<std::string, std::string> slips;  // name -> content
  auto addSlip = [&](const std::string& codingLine, const std::string& tag) {
    const std::string name = CleanReference(codingLine) + "_" + tag + ".pdf";
    slips[name] = "%PDF-1.4\n% slip " + tag + "\n" + std::string(3000, 'x');
    return WriteFile(temp_ / ("in/" + name), slips[name]);
  };
  for (size_t i = 0; i + 1 < invoices.size(); ++i) {
    ASSERT_TRUE(WriteFile(temp_ / ("in/" + invoices[i]), ReadFile(samples + paths[i])));
    InvoiceKeys keys;
    std::string recipient;
    ASSERT_EQ(ReadXmlInvoiceFile(samples + paths[i], &keys, &recipient), InvoiceFileRead::kRead);
    // A short tag: the Trust Center keeps a part under its name cut to 100 characters.
    const std::string tag = "inv" + std::to_string(i);
    for (const std::string& line : keys.codingLines) ASSERT_TRUE(addSlip(line, tag));
    for (const std::string& reference : keys.qrReferences) ASSERT_TRUE(addSlip(reference, tag));
  }
  ASSERT_TRUE(WriteFile(temp_ / "in/praxis.gni",
                        "[DEBITOR1]\r\n106=Z123456\r\n[ADRPAT1]\r\n132=M\xFCller\r\n133=Hans\r\n"
                        "136=8001\r\n155=1965\r\n157=1203\r\n[INFC1]\r\n115=G-77\r\n119=12550\r\n"
                        "[BVR1]\r\n200=0100000125509>77+ 010001628>\r\n"));
  ASSERT_TRUE(addSlip("0100000125509>77+ 010001628>", "gni"));

  ProcessResult first = Qendix({"auto"});
  EXPECT_EQ(first.status, 0) << first.out << first.err;
  std::vector<std::string> received = server_->Received();
  ASSERT_EQ(received.size(), invoices.size())
      << first.out << "requests: " << ReadFile(temp_ / "store/requests.log");
  for (const std::string& line : received) {
    EXPECT_NE(line.find("\taccepted\t"), std::string::npos) << line;
    EXPECT_EQ(std::count_if(invoices.begin(), invoices.end(),
                            [&](const std::string& n) { return line.find(n) != line.npos; }),
              1)
        << line;
  }
  // Each slip reached the Trust Center inside its invoice's document and opened to its bytes.
  for (const auto& [name, content] : slips) {
    bool found = false;
    std::vector<std::string> documents;
    ListRegularFiles(temp_ / "store/accepted", &documents);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir((temp_ / "store/accepted").c_str()),
                                            ::closedir);
    ASSERT_TRUE(dir);
    while (dirent* e = ::readdir(dir.get())) {
      const std::string parts = temp_ / ("store/accepted/" + std::string(e->d_name));
      if (!IsDirectory(parts)) continue;
      std::vector<std::string> files;
      ListRegularFiles(parts, &files);
      for (const std::string& f : files)
        if (f.size() > name.size() && f.compare(f.size() - name.size(), name.size(), name) == 0 &&
            ReadFile(parts + "/" + f) == content)
          found = true;
    }
    EXPECT_TRUE(found) << name;
  }
  // Archived, and on record in the register.
  std::vector<std::string> left, days, archived;
  ASSERT_EQ(ListRegularFiles(temp_ / "work/output", &left), S_OK);
  EXPECT_TRUE(left.empty());
  ASSERT_EQ(ListRegularFiles(temp_ / "work/logs", &days), S_OK);
  ASSERT_EQ(days.size(), 1u);
  const std::string day = days[0].substr(0, days[0].find('.'));
  ASSERT_EQ(ListRegularFiles(temp_ / ("work/archive/" + day), &archived), S_OK);
  EXPECT_EQ(archived.size(), invoices.size());
  const std::string registerText = ReadFile(temp_ / "module/qendix.log");
  EXPECT_NE(registerText.find("\nG-77|125.50|"), std::string::npos) << registerText;

  // The same invoices once more: the Checker finds them in the register; nothing goes out.
  for (size_t i = 0; i + 1 < invoices.size(); ++i)
    ASSERT_TRUE(WriteFile(temp_ / ("in/" + invoices[i]), ReadFile(samples + paths[i])));
  ProcessResult second = Qendix({"auto"});
  EXPECT_EQ(server_->Received().size(), invoices.size()) << second.out;
}

}  // namespace
}  // namespace qx::testing
