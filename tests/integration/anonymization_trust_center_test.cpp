// XML invoices anonymized through the installed security client, read the way a Trust Center
// reads them: every sealed part opened with `openssl cms -decrypt` and the Trust Center's key
// gives back exactly the invoice's fragment (equal after exclusive canonicalisation, which
// declares the namespaces in scope that the fragment uses), and the anonymized part shows no
// name, street, birth date or identifier of the patient, guarantor or employer in clear.
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "anonymization/anonymization_transform.h"
#include "anonymization/transfer_reader.h"
#include "crypto/anonymizer_context.h"
#include "crypto/certificate_cache.h"
#include "crypto/start_asas.h"
#include "crypto/xml_nodes.h"
#include "integration/asas_home.h"
#include "platform/codepage.h"
#include "platform/file_system.h"

namespace qx::testing {
namespace {

const std::string kSamples = QENDIX_SOURCE_DIR "/tests/formats/data/xmlinvoice";
constexpr char kParts[] = "//i:patient|//i:guarantor|//i:employer";

// C14N visibility: the node lies in the subtree of `data` (an element).
int InSubtree(void* data, xmlNodePtr node, xmlNodePtr parent) {
  const xmlNode* n = node && node->type != XML_NAMESPACE_DECL ? node : parent;
  for (; n; n = n->parent)
    if (n == data) return 1;
  return 0;
}

// Exclusive canonical form (with comments) of the element `root` and its subtree.
std::string Canonical(xmlDoc* doc, xmlNode* root) {
  std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), xmlBufferFree);
  xmlOutputBufferPtr out = xmlOutputBufferCreateBuffer(buffer.get(), nullptr);
  int rc = xmlC14NExecute(doc, &InSubtree, root, XML_C14N_EXCLUSIVE_1_0, nullptr, 1, out);
  xmlOutputBufferClose(out);
  if (rc < 0) return "<c14n failed>";
  return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                     static_cast<size_t>(xmlBufferLength(buffer.get())));
}

std::string Trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string Masked(std::string text) {
  for (char& c : text) {
    if (c >= '0' && c <= '9') c = '9';
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = 'X';
  }
  return text;
}

// Identifying values of the invoice's patient, guarantor and employer that could appear in clear.
std::set<std::string> IdentifyingValues(const TransferReader& invoice) {
  std::set<std::string> values;
  const std::string inParts =
      "ancestor-or-self::i:patient or ancestor-or-self::i:guarantor or "
      "ancestor-or-self::i:employer";
  // Every text (the postal code keeps three of its characters by design).
  for (const std::string& v :
       invoice.Values("(" + std::string(kParts) + ")//text()[not(ancestor::i:zip)]"))
    values.insert(Trimmed(v));
  for (const std::string& v :
       invoice.Values("//@patient_id|//@ssn|//i:patient//@card_id|//i:patient/@unique_id|//"
                      "i:guarantor/@*|//i:employer/@*"))
    values.insert(v);
  for (const std::string& v : invoice.Values("//i:patient/@birthdate"))
    if (v.size() >= 10 && v.substr(4, 6) != "-01-01") values.insert(v.substr(0, 10));
  // What also stands outside these parts does not count.
  std::string outside;
  for (const std::string& v : invoice.Values("//text()[not(" + inParts + ")]|//@*[not(" + inParts +
                                             ") and not(name()='patient_id' or name()='ssn')]"))
    outside += v + "\n";
  std::set<std::string> identifying;
  for (const std::string& v : values)
    if (!v.empty() && Masked(v) != v && outside.find(v) == std::string::npos) identifying.insert(v);
  return identifying;
}

std::string Escaped(const std::string& text) {
  std::string out;
  AppendXmlEscaped(out, text, false);
  return out;
}

class AnonymizationTrustCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TMPDIR", messages_.path().c_str(), 1);
    ASSERT_TRUE(home_.AddLogin("praxis", "dr-muster"));
    tc_ = home_.MakeTrustCenter("tc1", KeyKind::kEc, /*import=*/true);
    ASSERT_FALSE(tc_.name.empty());
    ASSERT_EQ(::mkdir((work_ / "valid").c_str(), 0700), 0);
    context_ = std::make_shared<AnonymizerContext>(&events_, moPAnonymizer);
    context_->SetSender(SenderForLogin("praxis", "tc1"));
    context_->SetRcpt("tc1");
    context_->SetValidFolder(work_ / "valid");
    cache_ = std::make_unique<CertificateCache>(work_.path(), &events_);
    ASSERT_TRUE(cache_->Lookup("tc1"));
  }
  void TearDown() override {
    cache_.reset();
    unsetenv("TMPDIR");
  }

  // Anonymizes the invoice file at `path` with the PDF option on.
  std::string Anonymize(const std::string& path) {
    std::string document;
    EXPECT_EQ(transform_.LoadInput(path), S_OK) << path;
    EXPECT_EQ(transform_.Transform(BaseName(path), "tc1", true, context_), S_OK)
        << path << ": " << transform_.ErrorText();
    EXPECT_EQ(transform_.SaveOutput(&document), S_OK) << path;
    return document;
  }

  // Opens the sealed part; its text as UTF-8 after checking the Windows-1252 CR LF form.
  std::string Open(const std::string& body) {
    std::string plain;
    EXPECT_TRUE(OpenEnvelope(home_, body, tc_, &plain)) << plain;
    size_t bareLineFeeds = 0;
    for (size_t i = 0; i < plain.size(); ++i)
      bareLineFeeds += plain[i] == '\n' && (i == 0 || plain[i - 1] != '\r');
    EXPECT_EQ(bareLineFeeds, 0u);
    return Cp1252ToUtf8(plain);
  }

  // Every sealed part of `transfer` equals its fragment of `invoice`.
  void ExpectSealedPartsAreTheFragments(const std::string& name, const TransferReader& invoice,
                                        const TransferReader& transfer) {
    for (const char* type : {"patient", "guarantor", "employer"}) {
      std::vector<xmlNode*> fragments = invoice.Nodes(std::string("//i:") + type);
      std::vector<std::string> bodies =
          transfer.Values(std::string("//q:data[@type='") + type + "']");
      if (fragments.empty()) {
        // Without a patient the patient part is there and empty; the others are left out.
        const bool empty = std::string(type) == "patient" ? bodies == std::vector<std::string>{""}
                                                          : bodies.empty();
        EXPECT_TRUE(empty) << name << " " << type;
        continue;
      }
      ASSERT_EQ(bodies.size(), 1u) << name << " " << type;
      TransferReader opened(Open(bodies[0]));
      ASSERT_TRUE(opened.Ok()) << name << " " << type;
      EXPECT_EQ(Canonical(opened.Doc(), xmlDocGetRootElement(opened.Doc())),
                Canonical(invoice.Doc(), fragments[0]))
          << name << " " << type;
    }
    auto first = [&](const std::string& xpath) {
      std::vector<std::string> v = invoice.Values(xpath);
      return v.empty() ? std::string() : Escaped(v[0]);
    };
    const std::string ids = "/pid:" + first("//i:*/@patient_id") + "/ssn:" + first("//i:*/@ssn") +
                            "/case_id:" + first("//i:invoice/@case_id") +
                            "/case_id2:" + first("//i:detail/i:*/@case_id");
    std::vector<std::string> bodies = transfer.Values("//q:data[@type='patient_ids']");
    if (ids == "/pid:/ssn:/case_id:/case_id2:") {
      EXPECT_TRUE(bodies.empty()) << name;
    } else {
      ASSERT_EQ(bodies.size(), 1u) << name;
      EXPECT_EQ(Open(bodies[0]), ids) << name;
    }
  }

  AsasHome home_;
  TempDir work_;
  TempDir messages_;
  TrustCenter tc_;
  EventLines events_;
  std::shared_ptr<AnonymizerContext> context_;
  std::unique_ptr<CertificateCache> cache_;
  AnonymizationTransform transform_{events_, "qendix-Praxis V2.1.14 / Test"};
};

TEST_F(AnonymizationTrustCenterTest, EveryRealSampleAnonymizesAndItsSealedPartsOpen) {
  size_t samples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kSamples)) {
    if (entry.path().extension() != ".xml") continue;
    ++samples;
    const std::string name = entry.path().filename();
    const TransferReader invoice(ReadFile(entry.path()));
    ASSERT_TRUE(invoice.Ok()) << name;
    const TransferReader transfer(Anonymize(entry.path()));
    ASSERT_TRUE(transfer.Ok()) << name;

    std::vector<xmlNode*> anonymized = transfer.Nodes("//q:data[@type='anonymized']");
    ASSERT_EQ(anonymized.size(), 1u) << name;
    std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> dump(xmlBufferCreate(), xmlBufferFree);
    xmlNodeDump(dump.get(), transfer.Doc(), anonymized[0], 0, 0);
    const std::string text = reinterpret_cast<const char*>(xmlBufferContent(dump.get()));
    const std::set<std::string> identifying = IdentifyingValues(invoice);
    // A check that finds nothing to look for would prove nothing.
    EXPECT_TRUE(invoice.Nodes("//i:patient").empty() || !identifying.empty()) << name;
    for (const std::string& value : identifying) {
      EXPECT_EQ(text.find(value), std::string::npos) << name << ": " << value;
      EXPECT_EQ(text.find(Escaped(value)), std::string::npos) << name << ": " << value;
    }
    ExpectSealedPartsAreTheFragments(name, invoice, transfer);
  }
  EXPECT_EQ(samples, 11u);
}

TEST_F(AnonymizationTrustCenterTest, EverySealedPartOfTheNewerVersionsOpensToItsFragment) {
  const std::string samples = QENDIX_SOURCE_DIR "/tests/formats/data/xmlinvoice-current/";
  const std::pair<std::string, std::string> parts[] = {{"patient", "//n:patient"},
                                                       {"insured", "//n:insured"},
                                                       {"guarantor", "//n:guarantor"},
                                                       {"debitor", "//n:debitor[n:person]"},
                                                       {"employer", "//n:employer"},
                                                       {"partners", "//n:partners"},
                                                       {"document", "//n:documents/n:document"}};
  size_t opened = 0;
  for (const char* version : {"4.4", "4.5", "5.0"}) {
    for (const auto& entry : std::filesystem::directory_iterator(samples + version)) {
      const std::string name = entry.path().filename();
      const TransferReader invoice(ReadFile(entry.path()));
      ASSERT_TRUE(invoice.Ok()) << name;
      const TransferReader transfer(Anonymize(entry.path()));
      ASSERT_TRUE(transfer.Ok()) << name;
      for (const auto& [type, xpath] : parts) {
        const std::vector<xmlNode*> fragments = invoice.Nodes(xpath);
        const std::vector<std::string> bodies = transfer.Values("//q:data[@type='" + type + "']");
        ASSERT_EQ(bodies.size(), fragments.size()) << name << " " << type;
        for (size_t i = 0; i < bodies.size(); ++i, ++opened) {
          const TransferReader part(Open(bodies[i]));
          ASSERT_TRUE(part.Ok()) << name << " " << type;
          EXPECT_EQ(Canonical(part.Doc(), xmlDocGetRootElement(part.Doc())),
                    Canonical(invoice.Doc(), fragments[i]))
              << name << " " << type << " " << i;
        }
      }
    }
  }
  EXPECT_GE(opened, 60u);
}

TEST_F(AnonymizationTrustCenterTest, FragmentsWithWindows1252TextAndEveryPartOpen) {
  const std::string invoice =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r"
      "<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:u=\"urn:unused\">\r"
      "<invoice invoice_id=\"1\" case_id=\"K-1\"><esr9 coding_line=\"01&gt;123+ 45&gt;\"/>\r"
      "<patient birthdate=\"1980-07-04T00:00:00\" ssn=\"756.1\" xsi:type=\"p\">\r\n"
      "<!-- Z\xC3\xB6\xC3\xA9 -->\r\n<person><familyname>M\xC3\xBCller &amp; S\xC3\xB6hne"
      "</familyname><givenname>Ren\xC3\xA9\xE2\x80\x99s</givenname>\t<postal><street>"
      "\xC5\x92illet 5 \xE2\x82\xAC</street><zip>8001</zip></postal></person></patient>\r"
      "<guarantor><person><familyname>M\xC3\xBCller</familyname></person></guarantor>"
      "<employer><company><companyname>K&lt;&gt;K \"AG\"</companyname></company></employer>"
      "<detail><x case_id=\"D-2\"/></detail></invoice></request>";
  ASSERT_TRUE(WriteFile(work_ / "inv.xml", invoice));
  ASSERT_TRUE(WriteFile(work_ / "valid/01_123_45_.pdf", "%PDF-1.4\n"));
  context_->SetPdfFiles({"01_123_45_.pdf"});
  const TransferReader transfer(Anonymize(work_ / "inv.xml"));
  ASSERT_TRUE(transfer.Ok());
  EXPECT_EQ(transfer.Values("/q:datatransfer/*/@type"),
            (std::vector<std::string>{"anonymized", "patient", "patient_ids", "guarantor",
                                      "employer", "pdf"}));
  ExpectSealedPartsAreTheFragments("inv.xml", TransferReader(invoice), transfer);
  std::string pdf;
  ASSERT_TRUE(OpenEnvelope(home_, transfer.Value("//q:data[@type='pdf']"), tc_, &pdf)) << pdf;
  EXPECT_EQ(pdf, Base64Lines("%PDF-1.4\n"));
}

}  // namespace
}  // namespace qx::testing
