// The XML invoices of the standard's later versions (4.4, 4.5, 5.0): the keys read from every
// real sample, and the duplicate rules that hang on them.
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "formats/sent_invoices.h"
#include "formats/xml_invoice.h"

namespace qx {
namespace {

using Texts = std::vector<std::string>;
using V = XmlInvoiceVersion;

const std::string kSamples = std::string(QENDIX_TEST_DATA_DIR) + "/xmlinvoice-current/";

struct Read {
  InvoiceFileRead result = InvoiceFileRead::kNotRead;
  InvoiceKeys keys;
  V version = V::kNone;
};

Read ReadFile(const std::string& path) {
  Read r;
  r.result = ReadXmlInvoiceFile(path, &r.keys, nullptr);
  InvoiceSaxHandler handler;
  handler.ParseFile(path);
  r.version = handler.version();
  return r;
}

struct Sample {
  const char* file;
  V version;
  const char* invoiceId;
  const char* amount;
  const char* provider;
  const char* codingLine;   // "" when the slip has none
  const char* qrReference;  // "" when it is no QR bill
};

void PrintTo(const Sample& s, std::ostream* out) {
  *out << s.file;
}

constexpr const char* kFdLine = "0100002514506>123456200001888888888888885+ 010001628>";
constexpr const char* k212Line = "0100000037159>654321000000000000010002126+ 010082449>";
constexpr const char* k213Line = "0100000190050>654321000000000000010002134+ 010082449>";
constexpr const char* k214Line = "0100000268756>654321000000000000770002149+ 010082449>";
constexpr const char* kReminder44Line = "0100000380159>398381000000001712170191113+ 010165111>";
constexpr const char* kQr1 = "154530000000000000010000018";
constexpr const char* kQr2 = "210000000003139471430009017";

class CurrentSampleTest : public ::testing::TestWithParam<Sample> {};

TEST_P(CurrentSampleTest, ReadsTheKeysTheFileHolds) {
  const Sample& s = GetParam();
  Read r = ReadFile(kSamples + s.file);
  ASSERT_EQ(r.result, InvoiceFileRead::kRead);
  EXPECT_EQ(r.version, s.version);
  EXPECT_EQ(r.keys.invoiceIds, (Texts{s.invoiceId}));
  EXPECT_EQ(r.keys.amounts, (Texts{s.amount}));
  EXPECT_EQ(r.keys.providerZsr, s.provider);
  EXPECT_EQ(r.keys.codingLines, *s.codingLine ? Texts{s.codingLine} : Texts{});
  EXPECT_EQ(r.keys.qrReferences, *s.qrReference ? Texts{s.qrReference} : Texts{});
}

INSTANTIATE_TEST_SUITE_P(
    XmlInvoiceStandard, CurrentSampleTest,
    ::testing::Values(
        Sample{"4.4/fd_440_tg_kvg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        Sample{"4.4/fd_440_tg_uvg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        Sample{"4.4/fd_440_tg_ivg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        Sample{"4.4/fd_440_tg_mvg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        Sample{"4.4/fd_440_tp_kvg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        Sample{"4.4/fd_440_tp_uvg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        Sample{"4.4/fd_440_tp_ivg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        Sample{"4.4/fd_440_tp_mvg_de.xml", V::k44, "2009_01:001", "2514.52", "P123456", kFdLine,
               ""},
        // No payload/@type: an invoice by default. A base64 document is attached.
        Sample{"4.4/metasfresh_440_tp_kvg_kanton_other_with_document.xml", V::k44, "KANTON_49",
               "35.15", "F123456", "0100000035152>000000000001700000000000498+ 013050284>", ""},
        Sample{"4.4/elexis_440_tg_kvg_3793.xml", V::k44, "004056003793", "1079.80", "C196719",
               "0100001079809>999999000000000040560037935+ 010012345>", ""},
        Sample{"4.4/elexis_440_tg_uvg_3783.xml", V::k44, "004064003783", "65.36", "C196719",
               "0100000065357>999999000000000040640037832+ 010012345>", ""},
        Sample{"4.4/elexis_440_tg_mvg_existing44_1.xml", V::k44, "000001000001", "5217.76",
               "C000002", "0100005217750>154530000000000000010000018+ 010126482>", ""},
        // Reminders reuse their invoice's identifier; the level makes each a document of its own.
        Sample{"4.4/elexis_440_tp_kvg_212_invoice.xml", V::k44, "000001000212", "37.14", "X999999",
               k212Line, ""},
        Sample{"4.4/elexis_440_tp_kvg_212_reminder1.xml", V::k44, "000001000212#1", "37.14",
               "X999999", k212Line, ""},
        Sample{"4.4/elexis_440_tp_kvg_212_reminder2.xml", V::k44, "000001000212#2", "37.14",
               "X999999", k212Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_213_invoice.xml", V::k44, "000001000213", "190.03", "X999999",
               k213Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_213_reminder1.xml", V::k44, "000001000213#1", "190.03",
               "X999999", k213Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_213_reminder2.xml", V::k44, "000001000213#2", "190.03",
               "X999999", k213Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_213_reminder3.xml", V::k44, "000001000213#3", "190.03",
               "X999999", k213Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_214_invoice.xml", V::k44, "000077000214", "268.77", "X999999",
               k214Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_214_reminder1.xml", V::k44, "000077000214#1", "268.77",
               "X999999", k214Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_214_reminder2.xml", V::k44, "000077000214#2", "268.77",
               "X999999", k214Line, ""},
        Sample{"4.4/elexis_440_tg_kvg_reminder_noerroneous44_2.xml", V::k44, "171217019444#2",
               "380.17", "W150503", kReminder44Line, ""},
        // Not valid against its schema (element order), but well-formed: its keys are read.
        Sample{"4.4/elexis_440_tg_kvg_reminder_erroneous44_2_INVALID.xml", V::k44, "171217019444#2",
               "380.17", "W150503", kReminder44Line, ""},
        Sample{"4.5/elexis_450_tp_kvg_esr9_tarpoint.xml", V::k45, "123", "111.56", "P123456",
               "0100000111555>000000000000000000000001236+ 010004325>", ""},
        Sample{"4.5/elexis_450_tg_vvg_esr9_existing45_1.xml", V::k45, "000001004503", "5238.06",
               "C000002", "0100005233000>154530000000000000010000018+ 010126482>", ""},
        Sample{"4.5/elexis_450_tg_mvg_esrqr.xml", V::k45, "000001000001", "5232.99", "C000002", "",
               kQr1},
        Sample{"4.5/metasfresh_450_tp_kvg_hospital_esrqr_streha_invoice_03.xml", V::k45,
               "2936699385", "53199.30", "P123456", "", kQr2},
        Sample{"5.0/elexis_500_tg_vvg_esrqr_existing50_1.xml", V::k50, "000001000001", "5232.99",
               "C000002", "", kQr1},
        Sample{"5.0/elexis_500_tg_vvg_esrqr_partners.xml", V::k50, "000001000001", "5232.99",
               "C000002", "", kQr1},
        Sample{"5.0/fd_500_tg_kvg_esrqr_ambulatory.xml", V::k50, "2009_01:001", "2100.44",
               "D998877", "", kQr2},
        Sample{"5.0/fd_500_tp_kvg_esrqr.xml", V::k50, "2009_01:001", "318.32", "D887766", "", kQr2},
        Sample{"5.0/fd_500_tp_kvg_esrqr_12qr.xml", V::k50, "2009_01:001", "13698.85", "D887766", "",
               kQr2}),
    [](const ::testing::TestParamInfo<Sample>& info) {
      std::string name = info.param.file;
      for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(CurrentSamples, TheEightExamplesOf44AreDuplicatesOfTheFirstOneSent) {
  SentRegister sent;
  const char* kinds[] = {"tg_kvg", "tg_uvg", "tg_ivg", "tg_mvg",
                         "tp_kvg", "tp_uvg", "tp_ivg", "tp_mvg"};
  for (size_t i = 0; i < std::size(kinds); ++i) {
    Read r = ReadFile(kSamples + "4.4/fd_440_" + kinds[i] + "_de.xml");
    ASSERT_EQ(r.result, InvoiceFileRead::kRead);
    EXPECT_EQ(IsDuplicate(sent, r.keys), i > 0) << kinds[i];
    if (i == 0) RecordSent(sent, r.keys);
  }
  // Reminders of a sent invoice are not its duplicates, nor each other's.
  for (const char* f : {"213_invoice", "213_reminder1", "213_reminder2", "213_reminder3"}) {
    Read r = ReadFile(kSamples + "4.4/elexis_440_tg_kvg_" + f + ".xml");
    EXPECT_FALSE(IsDuplicate(sent, r.keys)) << f;
    RecordSent(sent, r.keys);
    EXPECT_TRUE(IsDuplicate(sent, r.keys)) << f;
  }
}

// ---- Kinds of document the samples do not show -------------------------------------------------

class CurrentDocumentTest : public ::testing::Test {
 protected:
  Read Doc(const std::string& payloadAttributes, const std::string& inner,
           const std::string& rootAttributes = "") {
    std::string path = dir_ / ("doc" + std::to_string(++count_) + ".xml");
    EXPECT_TRUE(testing::WriteFile(
        path,
        "<?xml version=\"1.0\"?>\n<request xmlns=\"http://www.forum-datenaustausch.ch/"
        "invoice\"" +
            rootAttributes + "><processing/><payload " + payloadAttributes +
            "><invoice request_id=\"S1\"/>" + inner + "</payload></request>\n"));
    return ReadFile(path);
  }
  static std::string Body44(const std::string& provider = "<provider zsr=\"P123456\"/>") {
    return "<body><tiers_garant>" + provider + "</tiers_garant><balance amount=\"100.50\"/></body>";
  }
  static std::string Body50(const std::string& providers) {
    return "<body><tiers_payant><providers>" + providers +
           "</providers><balance amount=\"100.50\"/></tiers_payant>"
           "<esrQR reference_number=\"21 00000 00003\"/></body>";
  }
  testing::TempDir dir_;
  int count_ = 0;
};

TEST_F(CurrentDocumentTest, ACancellationReversesItsInvoiceOnceAndACopyIsADuplicate) {
  struct Case {
    const char* payload;
    std::string body;
    const char* root;
  };
  const std::string gln = "<provider_gln gln=\"7601000000001\"/>";
  for (const Case& c : {Case{"type=\"invoice\"", Body44(), ""},
                        Case{"request_type=\"invoice\"", Body50(gln), " guid=\"0a\""}}) {
    SCOPED_TRACE(c.payload);
    std::string kind = std::string(c.payload).substr(0, 4) == "type" ? "44" : "50";
    Read invoice = Doc(c.payload, c.body, c.root);
    Read storno = kind == "44" ? Doc("storno=\"1\"", c.body)
                               : Doc("request_subtype=\"storno\"", c.body, c.root);
    Read storno2 = kind == "44" ? Doc("storno=\"true\"", c.body) : storno;
    Read copy =
        kind == "44" ? Doc("copy=\"1\"", c.body) : Doc("request_subtype=\"copy\"", c.body, c.root);
    ASSERT_EQ(invoice.keys.amounts, (Texts{"100.50"}));
    EXPECT_EQ(storno.keys.amounts, (Texts{"-100.50"}));
    SentRegister sent;
    RecordSent(sent, invoice.keys);
    EXPECT_TRUE(IsDuplicate(sent, copy.keys));
    EXPECT_FALSE(IsDuplicate(sent, storno.keys));
    RecordSent(sent, storno.keys);
    EXPECT_TRUE(IsDuplicate(sent, storno2.keys));
  }
}

TEST_F(CurrentDocumentTest, AGlnProviderIsKeptWholeAZsrIsCut) {
  Read a = Doc("request_type=\"invoice\"", Body50("<provider_gln gln=\"7601000000001\"/>"),
               " guid=\"0a\"");
  Read b = Doc("request_type=\"invoice\"", Body50("<provider_gln gln=\"7601000000002\"/>"),
               " guid=\"0a\"");
  Read zsr = Doc("request_type=\"invoice\"",
                 Body50("<provider_zsr zsr=\"Z1234567890\"/><provider_gln gln=\"7601000000001\"/>"),
                 " guid=\"0a\"");
  Read ean = Doc("type=\"invoice\"", Body44("<provider ean_party=\"7601000000003\"/>"));
  EXPECT_EQ(a.version, V::k50);
  EXPECT_EQ(a.keys.providerZsr, "7601000000001");
  EXPECT_EQ(a.keys.qrReferences, (Texts{"210000000003"}));
  EXPECT_EQ(zsr.keys.providerZsr, "Z1234567890");
  EXPECT_EQ(ean.keys.providerZsr, "7601000000003");
  SentRegister sent;
  RecordSent(sent, a.keys);
  RecordSent(sent, zsr.keys);
  EXPECT_FALSE(IsDuplicate(sent, b.keys));
  // The GLN is kept whole, the ZSR number cut to seven characters.
  EXPECT_TRUE(sent.Find("7601000000001", "S1", ""));
  EXPECT_FALSE(sent.Find("7601000", "S1", ""));
  EXPECT_TRUE(sent.Find("Z123456", "S1", ""));
}

TEST_F(CurrentDocumentTest, AnEncryptedPayloadIsToldApartAndLeavesTheKeysAlone) {
  const std::string encrypted =
      "<xenc:EncryptedData xmlns:xenc=\"http://www.w3.org/2001/04/xmlenc#\">"
      "<xenc:CipherData/></xenc:EncryptedData>";
  Read r = Doc("type=\"invoice\"", encrypted);
  EXPECT_EQ(r.result, InvoiceFileRead::kEncrypted);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.version, V::kCurrent);
  // Deeper down (inside a body) it is no encrypted payload.
  Read inBody = Doc("type=\"invoice\"", "<body>" + encrypted + Body44().substr(6));
  EXPECT_EQ(inBody.result, InvoiceFileRead::kRead);
}

TEST_F(CurrentDocumentTest, AReminderWithoutItsLevelHasNoIdentifier) {
  Read r = Doc("type=\"reminder\"", "<reminder request_id=\"S1\"/>" + Body44());
  ASSERT_EQ(r.result, InvoiceFileRead::kRead);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.keys.amounts, (Texts{"100.50"}));
}

}  // namespace
}  // namespace qx
