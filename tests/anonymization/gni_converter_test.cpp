#include "anonymization/gni_converter.h"

#include <errno.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/temp_dir.h"
#include "crypto/anonymizer_context.h"
#include "crypto/fake_asas.h"
#include "crypto/message_file.h"
#include "platform/class_registry.h"

namespace qx {
namespace {

using testing::FakeAsas;

constexpr char kGenerator[] = "qendix-Praxis V2.1.14 / Test";
constexpr char kRcpt[] = "tc1,tc2";
constexpr char kCodingLine1[] = "0100000125505>000000000000000020050004201+ 010001628>";
constexpr char kPdf1[] = "0100000125505_000000000000000020050004201_010001628_.pdf";
constexpr char kPdf2[] = "0100000005008_000000000000000020050004302_010001628_.PDF";

// A GNI file as the practice software writes it: Windows-1252, CR LF.
const std::string kInvoice =
    "[DEBINFO1]\r\n100=Praxis Dr. med. Beispiel & Partner\r\n106=Z123456\r\n"
    "[ADRPAT1]\r\n132=M\xFCller\r\n133=Hans\r\n136=8001\r\n155=1965\r\n157=1203\r\n"
    "[ADRDEB1]\r\n132=M\xFCller\r\n137=Bahnhofstrasse 1\r\n"
    "[INFC1]\r\n115=2005-0042\r\n119=12550\r\n217=756.1234.5678.97\r\n"
    "[BVR1]\r\n200=" +
    std::string(kCodingLine1) +
    "\r\n"
    "[INFC2]\r\n115=2005-0043\r\n119=-500\r\n"
    "[BVR2]\r\n200=0100000005008>000000000000000020050004302+ 010001628>\r\n";

// Its anonymized and identifying texts as the document carries them.
const std::string kAnonymized =
    "[DEBINFO1]\r\n100=Praxis Dr. med. Beispiel &amp; Partner\r\n106=Z123456\r\n"
    "[ADRPAT1]\r\n132=XXX\r\n155=1965\r\n269=a00e87cf3f53e66da306ea28a1178d\r\n"
    "[ADRDEB1]\r\n132=XXX\r\n137=XXX\r\n"
    "[INFC1]\r\n115=2005-0042\r\n119=12550\r\n"
    "[BVR1]\r\n200=0100000125505&gt;000000000000000020050004201+ 010001628&gt;\r\n"
    "[INFC2]\r\n115=2005-0043\r\n119=-500\r\n"
    "[BVR2]\r\n200=0100000005008&gt;000000000000000020050004302+ 010001628&gt;\r\n";
const std::string kIdentifying =
    "[ADRPAT1]\r\n132=M\xFCller\r\n133=Hans\r\n136=8001\r\n155=1965\r\n157=1203\r\n"
    "[ADRDEB1]\r\n132=M\xFCller\r\n137=Bahnhofstrasse 1\r\n"
    "[INFC1]\r\n217=756.1234.5678.97\r\n[INFC2]\r\n";

// The text between the patient element's start tag and its end tag.
std::string PatientBody(const std::string& document) {
  const std::string start = "<qendix:data type=\"patient\">";
  size_t begin = document.find(start);
  if (begin == std::string::npos) return {};
  begin += start.size();
  size_t end = document.find("</qendix:data>", begin);
  return end == std::string::npos ? std::string() : document.substr(begin, end - begin);
}

using XmlDoc = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

// The document parsed as a Trust Center parses it; null when it is not well-formed.
XmlDoc Parse(const std::string& document) {
  return XmlDoc(xmlReadMemory(document.data(), static_cast<int>(document.size()), "transfer.xml",
                              nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
                xmlFreeDoc);
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, BAD_CAST name);
  std::string text = value ? reinterpret_cast<char*>(value) : "";
  xmlFree(value);
  return text;
}

std::string Content(xmlNode* node) {
  xmlChar* value = xmlNodeGetContent(node);
  std::string text = value ? reinterpret_cast<char*>(value) : "";
  xmlFree(value);
  return text;
}

// The data elements of a parsed document as (name, type).
std::vector<std::pair<std::string, std::string>> DataElements(xmlDoc* doc) {
  std::vector<std::pair<std::string, std::string>> parts;
  for (xmlNode* n = xmlDocGetRootElement(doc)->children; n; n = n->next)
    if (n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, BAD_CAST "data"))
      parts.emplace_back(Attribute(n, "name"), Attribute(n, "type"));
  return parts;
}

class GniConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::InstallFakeAsas();
    setenv("TMPDIR", tmp_.path().c_str(), 1);
    ASSERT_EQ(::mkdir(valid_.c_str(), 0700), 0);
    context_.SetSender("S");
    context_.SetRcpt(kRcpt);
    context_.SetValidFolder(valid_);
    context_.SetRetryWait([] {});
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    SetAsasFactoryForTesting(nullptr);
  }

  // Converts `content` saved as valid/`name`.
  HRESULT Convert(const std::string& content, const std::string& name = "r.gni",
                  bool withPdf = false, const std::string& rcpt = kRcpt) {
    const std::string path = valid_ + "/" + name;
    if (!testing::WriteFile(path, content)) return E_FAIL;
    converter_.SetInput(path);
    return converter_.Convert(name, rcpt, withPdf, context_);
  }

  void AddPdfs(const std::vector<std::string>& names) {
    for (const std::string& name : names)
      ASSERT_TRUE(testing::WriteFile(valid_ + "/" + name, "%PDF " + name));
    context_.SetPdfFiles(names);
  }

  testing::TempDir tmp_;
  testing::TempDir work_;
  std::string valid_ = work_ / "valid";
  AnonymizerContext context_{nullptr, moPAnonymizer};
  GniConverter converter_{kGenerator};
};

TEST_F(GniConverterTest, DocumentLayoutIsExact) {
  ASSERT_EQ(Convert(kInvoice), S_OK);
  const std::string message = "From: S\r\nTo: tc1,tc2\r\n\r\n" + kIdentifying;
  // The fake's envelope body: the message in base64 lines, read back with CR LF line ends.
  const std::string envelope = testing::DefaultEnvelope(message);
  const std::string body = envelope.substr(envelope.find("\r\n\r\n") + 4);
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\r\n"
      "<qendix:datatransfer xmlns:qendix=\"http://www.qendix.org/transfer/v1\" "
      "rcpt=\"tc1,tc2\">\r\n"
      "  <qendix:generator>qendix-Praxis V2.1.14 / Test</qendix:generator>\r\n"
      "  <qendix:data name=\"r.gni\" type=\"anonymized\">" +
      kAnonymized +
      "</qendix:data>\r\n"
      "  <qendix:data type=\"patient\">" +
      body +
      "</qendix:data>\r\n"
      "</qendix:datatransfer>\r\n";
  EXPECT_EQ(converter_.Document(), expected);
  EXPECT_EQ(FakeAsas().loaded, message);
  EXPECT_TRUE(Parse(converter_.Document()));
}

// RCPT and NAME as given, and as their attribute values must stand in the document.
struct EscapeCase {
  const char* label;
  std::string rcpt;
  std::string name;
  std::string rcptBytes;
  std::string nameBytes;
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << c.label;
}

class AttributeEscapeTest : public GniConverterTest,
                            public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(AttributeEscapeTest, OnlyTheValuesChangeAndTheyReadBackUnchanged) {
  const EscapeCase& c = GetParam();
  ASSERT_EQ(Convert(kInvoice), S_OK);
  std::string expected = converter_.Document();
  expected.replace(expected.find("\"tc1,tc2\""), 9, "\"" + c.rcptBytes + "\"");
  expected.replace(expected.find("\"r.gni\""), 7, "\"" + c.nameBytes + "\"");
  ASSERT_EQ(Convert(kInvoice, c.name, false, c.rcpt), S_OK);
  EXPECT_EQ(converter_.Document(), expected);
  XmlDoc doc = Parse(converter_.Document());
  ASSERT_TRUE(doc);
  EXPECT_EQ(Attribute(xmlDocGetRootElement(doc.get()), "rcpt"), c.rcpt);
  EXPECT_EQ(DataElements(doc.get())[0].first, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Values, AttributeEscapeTest,
    ::testing::Values(
        EscapeCase{"QuotesAndAmpersand", "tc1,\"tc2\"&x", "a&b\"c\".gni",
                   "tc1,&quot;tc2&quot;&amp;x", "a&amp;b&quot;c&quot;.gni"},
        EscapeCase{"AngleBrackets", "<tc1>", "r<1>.gni", "&lt;tc1&gt;", "r&lt;1&gt;.gni"},
        EscapeCase{"EntityLookalike", "tc&amp;1", "r&#60;.gni", "tc&amp;amp;1", "r&amp;#60;.gni"},
        EscapeCase{"LineBreakAndTab", "tc1", "r\t1\n2\r.gni", "tc1", "r&#x9;1&#xA;2&#xD;.gni"},
        EscapeCase{"OutsideWindows1252", "tc1", "R\xC3\xA9\xCE\xA9.gni", "tc1",
                   "R\xE9&#x3A9;.gni"}),
    [](const auto& info) { return std::string(info.param.label); });

struct PdfCase {
  const char* label;
  bool withPdf;
  std::vector<std::string> attached;
};

void PrintTo(const PdfCase& c, std::ostream* os) {
  *os << c.label;
}

class PdfAttachmentTest : public GniConverterTest, public ::testing::WithParamInterface<PdfCase> {};

TEST_P(PdfAttachmentTest, OneSealedElementPerCodingLineInOrder) {
  const PdfCase& c = GetParam();
  AddPdfs({"other.pdf", kPdf2, kPdf1});
  ASSERT_EQ(Convert(kInvoice, "r.gni", c.withPdf), S_OK);
  XmlDoc doc = Parse(converter_.Document());
  ASSERT_TRUE(doc);
  std::vector<std::pair<std::string, std::string>> expected = {{"r.gni", "anonymized"},
                                                               {"", "patient"}};
  for (const std::string& name : c.attached) expected.emplace_back(name, "pdf");
  EXPECT_EQ(DataElements(doc.get()), expected);

  // Each attachment is the fake's envelope of its own PDF.
  size_t index = 0;
  for (xmlNode* n = xmlDocGetRootElement(doc.get())->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE || Attribute(n, "type") != "pdf") continue;
    ASSERT_LT(index, c.attached.size());
    const std::string pdf = "%PDF " + c.attached[index++];
    const std::string message = testing::DecodeBase64(Content(n));
    EXPECT_EQ(testing::DecodeBase64(message.substr(message.find("\n\n") + 2)), pdf);
  }
  EXPECT_EQ(context_.EnvelopedPdfs().size(), c.attached.size());
  EXPECT_EQ(FakeAsas().loadedPaths.size(), 1 + c.attached.size());
  // The document ends with the attachments and the closing tag; CR LF throughout.
  const std::string& document = converter_.Document();
  const std::string end = c.withPdf ? "\r\n</qendix:data></qendix:datatransfer>\r\n"
                                    : "\r\n</qendix:data>\r\n</qendix:datatransfer>\r\n";
  EXPECT_EQ(document.substr(document.size() - end.size()), end);
  for (size_t i = 0; i < document.size(); ++i) {
    if (document[i] == '\n') {
      ASSERT_EQ(document[i - 1], '\r') << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(WithPdf, PdfAttachmentTest,
                         ::testing::Values(PdfCase{"Off", false, {}},
                                           PdfCase{"On", true, {kPdf1, kPdf2}}),
                         [](const auto& info) { return std::string(info.param.label); });

// Two files in a row with one converter, the first accepted or rejected after its patient
// record and coding line: the second document holds nothing of the first.
class NextFileTest : public GniConverterTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NextFileTest, SharesNothingWithThePreviousFile) {
  AddPdfs({kPdf1});
  const bool firstAccepted = GetParam();
  const std::string first = "[DEB1]\r\n[BVR1]\r\n200=" + std::string(kCodingLine1) +
                            "\r\n[ADRPAT1]\r\n132=M\xFCller\r\n133=Hans\r\n136=8001\r\n"
                            "155=1965\r\n157=1203\r\n" +
                            (firstAccepted ? "" : "no field\r\n");
  EXPECT_EQ(Convert(first, "a.gni", true), firstAccepted ? S_OK : E_FAIL);
  EXPECT_EQ(converter_.Document().empty(), !firstAccepted);
  if (firstAccepted) {
    EXPECT_NE(converter_.Document().find("269=a00e87cf3f53e66da306ea28a1178d\r\n</qendix:data>"),
              std::string::npos);
  }

  FakeAsas().loadedPaths.clear();
  ASSERT_EQ(Convert("100=x\r\n[DEB1]\r\n[ADRPAT1]\r\n133=Anna\r\n", "b.gni", true), S_OK);
  const std::string& document = converter_.Document();
  EXPECT_NE(document.find("type=\"anonymized\">100=x\r\n[DEB1]\r\n[ADRPAT1]\r\n269=ae" +
                          std::string(28, '0') + "\r\n</qendix:data>"),
            std::string::npos);
  EXPECT_EQ(document.find("type=\"pdf\""), std::string::npos);
  EXPECT_EQ(FakeAsas().loadedPaths.size(), 1u);  // the patient part only
  EXPECT_EQ(testing::DecodeBase64(PatientBody(document)),
            "From: S\r\nTo: tc1,tc2\r\n\r\n[ADRPAT1]\r\n133=Anna\r\n");
}

INSTANTIATE_TEST_SUITE_P(FirstFile, NextFileTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Accepted" : "Rejected"; });

enum class Input { kMissing, kSymbolicLink, kFifo, kFolder, kTooLarge, kNotGni };

struct InputCase {
  const char* label;
  Input input;
  HRESULT expected;
};

void PrintTo(const InputCase& c, std::ostream* os) {
  *os << c.label;
}

// Makes the input below `folder`; returns its path, empty when it could not be made.
std::string MakeInput(const std::string& folder, Input input) {
  const std::string path = folder + "/in.gni";
  switch (input) {
    case Input::kMissing:
      return path;
    case Input::kSymbolicLink:
      return testing::WriteFile(folder + "/t.gni", kInvoice) &&
                     ::symlink((folder + "/t.gni").c_str(), path.c_str()) == 0
                 ? path
                 : "";
    case Input::kFifo:
      return ::mkfifo(path.c_str(), 0600) == 0 ? path : "";
    case Input::kFolder:
      return folder;
    case Input::kTooLarge:
      return testing::WriteFile(path, kInvoice) &&
                     ::truncate(path.c_str(), GniConverter::kMaxInputBytes + 1) == 0
                 ? path
                 : "";
    case Input::kNotGni:
      return testing::WriteFile(path, "[DEB1]\r\nx\r\n") ? path : "";
  }
  return "";
}

class InputTest : public GniConverterTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(InputTest, RefusedWithItsSystemErrorAndNothingSealed) {
  // A document of an earlier file is gone as soon as the next one is set.
  ASSERT_EQ(Convert(kInvoice), S_OK);
  FakeAsas().calls.clear();
  const std::string path = MakeInput(work_.path(), GetParam().input);
  ASSERT_FALSE(path.empty());
  converter_.SetInput(path);
  EXPECT_EQ(converter_.Convert("in.gni", kRcpt, true, context_), GetParam().expected);
  EXPECT_EQ(converter_.Document(), "");
  EXPECT_TRUE(FakeAsas().calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, InputTest,
    ::testing::Values(InputCase{"Missing", Input::kMissing, HresultFromErrno(ENOENT)},
                      InputCase{"SymbolicLink", Input::kSymbolicLink, HresultFromErrno(ELOOP)},
                      InputCase{"Fifo", Input::kFifo, HresultFromErrno(EINVAL)},
                      InputCase{"Folder", Input::kFolder, HresultFromErrno(EINVAL)},
                      InputCase{"TooLarge", Input::kTooLarge, HresultFromErrno(EFBIG)},
                      InputCase{"NotGni", Input::kNotGni, E_FAIL}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(GniConverterTest, ConvertWithoutInputAndEnvelopeFailuresLeaveNoDocument) {
  EXPECT_EQ(converter_.Convert("r.gni", kRcpt, false, context_), E_UNEXPECTED);
  constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80092004);
  FakeAsas().failures["SmimeEncrypt"] = kNotFound;
  EXPECT_EQ(Convert(kInvoice), kNotFound);
  EXPECT_EQ(converter_.Document(), "");

  FakeAsas().failures.clear();
  AddPdfs({kPdf1});
  context_.SetValidFolder("");  // the PDF cannot be sealed
  EXPECT_EQ(Convert(kInvoice, "r.gni", true), E_UNEXPECTED);
  EXPECT_EQ(converter_.Document(), "");
}

}  // namespace
}  // namespace qx
