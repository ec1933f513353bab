#include "formats/xml_invoice.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace qx {
namespace {

using Texts = std::vector<std::string>;

const std::string kSamples = std::string(QENDIX_TEST_DATA_DIR) + "/xmlinvoice/";
const std::string kGniData = std::string(QENDIX_TEST_DATA_DIR) + "/gni/";

// Start of a document whose root declares the invoice namespace as "i" and the transfer
// namespace as "q".
std::string Doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<root xmlns:i=\"http://www.xmlData.ch/xmlInvoice/XSD\""
         " xmlns:q=\"http://www.qendix.org/transfer/v1\">" +
         body + "</root>\n";
}

struct XmlRead {
  bool ok;
  InvoiceKeys keys;
  std::string recipient;
};

class XmlInvoiceTest : public ::testing::Test {
 protected:
  XmlRead Read(const std::string& document, std::string recipient = "unchanged") {
    std::string path = dir_ / ("doc" + std::to_string(++count_) + ".xml");
    EXPECT_TRUE(testing::WriteFile(path, document));
    XmlRead r{false, {}, std::move(recipient)};
    r.ok = ReadXmlInvoiceFile(path, &r.keys, &r.recipient) == InvoiceFileRead::kRead;
    return r;
  }

  testing::TempDir dir_;
  int count_ = 0;
};

// ---- The real sample invoices of the standard -------------------------------------------------

struct Sample {
  const char* file;
  const char* invoiceId;
  const char* amount;
  const char* codingLine;
  const char* zsr;
};

void PrintTo(const Sample& s, std::ostream* out) {
  *out << s.file;
}

class RealSampleTest : public ::testing::TestWithParam<Sample> {};

TEST_P(RealSampleTest, ReadsTheKeysTheFileHolds) {
  const Sample& s = GetParam();
  InvoiceKeys keys;
  std::string recipient = "left over";
  ASSERT_EQ(ReadXmlInvoiceFile(kSamples + s.file, &keys, &recipient), InvoiceFileRead::kRead);
  EXPECT_EQ(keys.invoiceIds, (Texts{s.invoiceId}));
  EXPECT_EQ(keys.amounts, (Texts{s.amount}));
  EXPECT_EQ(keys.codingLines, (Texts{s.codingLine}));
  EXPECT_EQ(keys.providerZsr, s.zsr);
  EXPECT_EQ(recipient, "");
}

INSTANTIATE_TEST_SUITE_P(
    XmlInvoiceStandard, RealSampleTest,
    ::testing::Values(
        // Biller and referrer carry ZSR numbers of their own; only the provider's counts.
        Sample{"400_tg_kvg_de.xml", "003294000012", "29.41",
               "0100002514506>123456200001888888888888885+ 010001628>", "P123456"},
        Sample{"4187_10734361.xml", "1068", "175.45",
               "0100000175459>943977700199800175450010687+ 012000272>", "G028405"},
        Sample{"4187_10734368.xml", "1080", "307.8",
               "0100000307805>943977700125400307800010809+ 012000272>", "G028405"},
        Sample{"aerztekasse_test_failure.xml", "000001000074", "38.18",
               "0100000038204>000000000000000000010000743+ 012000007>", "A000010"},
        Sample{"aerztekasse_test_ok1.xml", "000001000077", "0.00",
               "0100000000005>000000000000000000010000775+ 012000007>", "U890030"},
        Sample{"aerztekasse_test_ok2.xml", "000001000083", "38.18",
               "0100000038204>000000000000000000010000830+ 012000007>", "U890030"},
        Sample{"existing4_1.xml", "000001000001", "17.76",
               "0100000017758>154530000000000000010000018+ 010126482>", "C000002"},
        Sample{"existing4_3.xml", "000001000001", "17.76",
               "0100000017758>154530000000000000010000018+ 010126482>", "C000002"},
        Sample{"readReq400.xml", "001026000562", "110.19",
               "0100000110207>811700000000000010260005629+ 012000209>", "C196719"},
        // Default namespace; the coding line is escaped twice in the file.
        Sample{"writeReq400.xml", "001026000562", "110.19",
               "0100000110207&gt;811700000000000010260005629+ 012000209&gt;", "C196719"}),
    [](const ::testing::TestParamInfo<Sample>& info) {
      std::string name = info.param.file;
      for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(RealDocumentTest, AResponseAndTheSchemaAreNoInvoices) {
  for (const char* file : {"readResp400.xml", "MDInvoiceRequest_400.xsd"}) {
    InvoiceKeys keys;
    std::string recipient;
    EXPECT_NE(ReadXmlInvoiceFile(kSamples + file, &keys, &recipient), InvoiceFileRead::kRead)
        << file;
    EXPECT_TRUE(keys.invoiceIds.empty());
    EXPECT_TRUE(keys.amounts.empty());
  }
}

// ---- Element and attribute rules --------------------------------------------------------------

TEST_F(XmlInvoiceTest, ReadsAMinimalInvoice) {
  XmlRead r = Read(
      Doc("<i:request><i:invoice invoice_id=\"R-1\"/><i:balance amount=\"125.5\"/>"
          "<i:esr9 coding_line=\"01 000162 8&gt;\"/><i:provider zsr=\"Z123456\"/></i:request>"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.keys.invoiceIds, (Texts{"R-1"}));
  EXPECT_EQ(r.keys.amounts, (Texts{"125.5"}));
  EXPECT_EQ(r.keys.codingLines, (Texts{"01 000162 8>"}));
  EXPECT_EQ(r.keys.providerZsr, "Z123456");
  EXPECT_EQ(r.recipient, "");
}

TEST_F(XmlInvoiceTest, AppendsToTheCallersLists) {
  std::string path = dir_ / "inv.xml";
  ASSERT_TRUE(testing::WriteFile(
      path, Doc("<i:request><i:invoice invoice_id=\"B\"/><i:balance amount=\"2\"/></i:request>")));
  InvoiceKeys keys{{"A"}, {"1"}, {"line A"}, "OLD"};
  ASSERT_EQ(ReadXmlInvoiceFile(path, &keys, nullptr), InvoiceFileRead::kRead);
  EXPECT_EQ(keys.invoiceIds, (Texts{"A", "B"}));
  EXPECT_EQ(keys.amounts, (Texts{"1", "2"}));
  EXPECT_EQ(keys.codingLines, (Texts{"line A"}));
  EXPECT_EQ(keys.providerZsr, "");  // absent: set empty
}

TEST_F(XmlInvoiceTest, OnlyElementsFromTheFirstRequestOnCount) {
  XmlRead r =
      Read(Doc("<i:invoice invoice_id=\"before\"/><i:provider zsr=\"Z0\"/><i:request/>"
               "<i:balance amount=\"5\"/><i:provider zsr=\"Z1\"/>"));
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.keys.amounts, (Texts{"5"}));
  EXPECT_EQ(r.keys.providerZsr, "Z1");
}

TEST_F(XmlInvoiceTest, IgnoresElementsOfOtherNamespaces) {
  XmlRead r =
      Read(Doc("<i:request><invoice invoice_id=\"none\"/>"
               "<o:invoice xmlns:o=\"http://www.xmlData.ch/xmlInvoice/XSD/\" invoice_id=\"other\"/>"
               "<o:request xmlns:o=\"urn:other\"/><i:balance amount=\"1\"/></i:request>"));
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.keys.amounts, (Texts{"1"}));
}

TEST_F(XmlInvoiceTest, OnlyAttributesWithoutNamespaceCount) {
  XmlRead r =
      Read(Doc("<i:request><i:invoice i:invoice_id=\"qualified\"/>"
               "<i:balance q:amount=\"9\" amount=\"3\"/></i:request>"));
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.keys.amounts, (Texts{"3"}));
}

TEST_F(XmlInvoiceTest, TheLastValueWins) {
  XmlRead r =
      Read(Doc("<i:request><i:invoice invoice_id=\"first\"/><i:esr9 coding_line=\"nine\"/>"
               "<i:esr5 coding_line=\"five\"/><i:invoice/><i:invoice invoice_id=\"second\"/>"
               "</i:request>"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.keys.invoiceIds, (Texts{"second"}));
  EXPECT_EQ(r.keys.codingLines, (Texts{"five"}));
}

TEST_F(XmlInvoiceTest, ElementsAfterTheRequestElementStillCount) {
  XmlRead r = Read(Doc("<i:request/><x><i:invoice invoice_id=\"late\"/></x>"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.keys.invoiceIds, (Texts{"late"}));
}

TEST_F(XmlInvoiceTest, DecodesReferencesInAttributeValues) {
  XmlRead r =
      Read(Doc("<i:request><i:invoice invoice_id=\"A&amp;B &#38; &lt;&#38;#38;&#x41;\"/>"
               "</i:request>"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.keys.invoiceIds, (Texts{"A&B & <&#38;A"}));
}

TEST_F(XmlInvoiceTest, DefaultNamespaceElementsCount) {
  XmlRead r = Read(
      "<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\"><invoice invoice_id=\"D\"/>"
      "</request>");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.keys.invoiceIds, (Texts{"D"}));
}

TEST_F(XmlInvoiceTest, ConvertsDeclaredEncodingsToUtf8) {
  XmlRead latin = Read(
      "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"
      "<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\"><invoice invoice_id=\"M\xFC"
      "ller\"/></request>");
  ASSERT_TRUE(latin.ok);
  EXPECT_EQ(latin.keys.invoiceIds, (Texts{"M\xC3\xBCller"}));
  XmlRead bom = Read(
      "\xEF\xBB\xBF<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\">"
      "<invoice invoice_id=\"\xE2\x82\xAC\"/></request>");
  ASSERT_TRUE(bom.ok);
  EXPECT_EQ(bom.keys.invoiceIds, (Texts{"\xE2\x82\xAC"}));
}

TEST_F(XmlInvoiceTest, TransferDocumentGivesItsRecipient) {
  XmlRead r = Read(
      "<q:datatransfer xmlns:q=\"http://www.qendix.org/transfer/v1\" rcpt=\"tc@example.org\">"
      "<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\"><invoice invoice_id=\"T\"/>"
      "</request></q:datatransfer>");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.keys.invoiceIds, (Texts{"T"}));
  EXPECT_EQ(r.recipient, "tc@example.org");
}

TEST_F(XmlInvoiceTest, TransferDocumentWithoutRequestIsNoXmlInvoiceButGivesItsRecipient) {
  InvoiceKeys keys{{"kept"}, {}, {}, "Z"};
  std::string recipient;
  EXPECT_NE(ReadXmlInvoiceFile(kGniData + "transfer_from_gni.xml", &keys, &recipient),
            InvoiceFileRead::kRead);
  EXPECT_EQ(recipient, "tc-demo@example.org");
  EXPECT_EQ(keys.invoiceIds, (Texts{"kept"}));
  EXPECT_EQ(keys.providerZsr, "Z");
}

TEST_F(XmlInvoiceTest, RecipientIsOverwrittenOnEveryRead) {
  XmlRead r = Read(
      "<q:datatransfer xmlns:q=\"http://www.qendix.org/transfer/v1\"><request "
      "xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\"/></q:datatransfer>",
      "from an earlier document");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.recipient, "");
  // "datatransfer" of another namespace, or a qualified "rcpt", gives no recipient.
  r = Read(Doc("<datatransfer rcpt=\"x\"/><q:datatransfer q:rcpt=\"y\"/><i:request/>"), "old");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.recipient, "");
}

TEST_F(XmlInvoiceTest, NotWellFormedDocumentsFailAndKeepTheRecipientReadBefore) {
  XmlRead r = Read(
      "<q:datatransfer xmlns:q=\"http://www.qendix.org/transfer/v1\" rcpt=\"early\">"
      "<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\"><invoice invoice_id=\"X\">"
      "</request><q:datatransfer rcpt=\"late\"/></q:datatransfer>");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.recipient, "early");
}

TEST_F(XmlInvoiceTest, AnUndeclaredPrefixEndsTheParse) {
  XmlRead r = Read(
      "<q:datatransfer xmlns:q=\"http://www.qendix.org/transfer/v1\" rcpt=\"early\">"
      "<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\"><x:invoice invoice_id=\"X\"/>"
      "<q:datatransfer rcpt=\"late\"/></request></q:datatransfer>");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.recipient, "early");
  EXPECT_FALSE(Read(Doc("<i:request><i:invoice x:invoice_id=\"X\"/></i:request>")).ok);
}

TEST_F(XmlInvoiceTest, FailsOnFilesThatAreNoDocuments) {
  EXPECT_FALSE(Read("").ok);
  EXPECT_FALSE(Read("<?xml version=\"1.0\"?>").ok);
  EXPECT_FALSE(Read(Doc("<i:request/>") + "<second/>").ok);
  EXPECT_FALSE(Read("<request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\">").ok);
  EXPECT_FALSE(Read(Doc("<i:invoice invoice_id=\"no request\"/>")).ok);
  InvoiceKeys keys;
  std::string recipient = "old";
  EXPECT_NE(ReadXmlInvoiceFile(dir_ / "missing.xml", &keys, &recipient), InvoiceFileRead::kRead);
  EXPECT_EQ(recipient, "");
  EXPECT_NE(ReadXmlInvoiceFile(dir_.path(), &keys, &recipient), InvoiceFileRead::kRead);
}

TEST_F(XmlInvoiceTest, DoesNotBlockOnAFifo) {
  std::string fifo = dir_ / "fifo.xml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  InvoiceKeys keys;
  EXPECT_NE(ReadXmlInvoiceFile(fifo, &keys, nullptr), InvoiceFileRead::kRead);
}

TEST(InvoiceSaxHandlerTest, ReadsADocumentLargerThanOneReadChunk) {
  // Elements spread over several reads of the file.
  std::string filler;
  for (int i = 0; i < 20000; ++i) filler += "<i:line code=\"" + std::to_string(i) + "\"/>";
  testing::TempDir dir;
  ASSERT_TRUE(testing::WriteFile(
      dir / "big.xml",
      Doc("<i:request>" + filler + "<i:invoice invoice_id=\"end\"/></i:request>")));
  InvoiceSaxHandler handler;
  EXPECT_TRUE(handler.ParseFile(dir / "big.xml"));
  EXPECT_EQ(handler.invoiceId(), "end");
}

}  // namespace
}  // namespace qx
