#include "crypto/code_object.h"

#include <libxml/tree.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "crypto/anonymizer_context.h"
#include "crypto/identifiers.h"
#include "crypto/xml_nodes.h"
#include "fake_asas.h"
#include "platform/class_registry.h"
#include "platform/codepage.h"
#include "platform/ole_date.h"

namespace qx {
namespace {

RefPtr<ICode> NewCode() {
  RefPtr<ICode> code;
  EXPECT_EQ(CreateCodeObject(ICode::kIid, code.PutVoid()), S_OK);
  return code;
}

Date MakeDate(int y, int m, int d) {
  Date date = 0;
  EXPECT_TRUE(DateFromCalendar({y, m, d, 0, 0, 0}, &date));
  return date;
}

TEST(CodeObject, IsReferenceCountedAndOffersICode) {
  RefPtr<IUnknown> unknown;
  ASSERT_EQ(CreateCodeObject(IUnknown::kIid, unknown.PutVoid()), S_OK);
  RefPtr<ICode> code = unknown.As<ICode>();
  ASSERT_TRUE(code);
  EXPECT_EQ(code->AddRef(), 3u);
  EXPECT_EQ(code->Release(), 2u);
  void* other = &other;
  EXPECT_EQ(code->QueryInterface(IXmlNodeList::kIid, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  void* none = &none;
  EXPECT_EQ(CreateCodeObject(IXmlNodeList::kIid, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(CreateCodeObject(ICode::kIid, nullptr), E_POINTER);
}

TEST(CodeObject, SoundexTakesUtf8TrimsAndRejectsBadText) {
  RefPtr<ICode> code = NewCode();
  BStr result;
  ASSERT_EQ(code->get_Soundex(std::string("Müller"), &result), S_OK);
  EXPECT_EQ(result, BStr("M460"));
  ASSERT_EQ(code->get_Soundex(std::string(" robert "), &result), S_OK);
  EXPECT_EQ(result, BStr("R163"));
  ASSERT_EQ(code->get_Soundex(std::string("Ölz"), &result), S_OK);
  EXPECT_EQ(result, BStr("Ö200"));
  EXPECT_EQ(code->get_Soundex(std::string("R2D2"), &result), E_INVALIDARG);
  EXPECT_EQ(code->get_Soundex(std::string(""), &result), E_INVALIDARG);
  EXPECT_EQ(code->get_Soundex(std::nullopt, &result), E_INVALIDARG);
  EXPECT_EQ(code->get_Soundex(std::string("x"), nullptr), E_POINTER);
}

TEST(CodeObject, PatientConvertsTheVariantAndHashesWindows1252) {
  RefPtr<ICode> code = NewCode();
  BStr result;
  ASSERT_EQ(code->get_Patient(Variant("abc"), &result), S_OK);
  EXPECT_EQ(result, BStr("a00c26c9cd0d89d"));
  ASSERT_EQ(code->get_Patient(Variant("  abc  "), &result), S_OK);
  EXPECT_EQ(result, BStr("a00c26c9cd0d89d"));
  ASSERT_EQ(code->get_Patient(Variant(int32_t{0}), &result), S_OK);
  EXPECT_EQ(result, BStr("a20000000000000"));
  ASSERT_EQ(code->get_Patient(Variant(), &result), S_OK);
  EXPECT_EQ(result, BStr("a10000000000000"));
  EXPECT_EQ(code->get_Patient(Variant::Null(), &result), DISP_E_TYPEMISMATCH);

  // "Ölz" hashes its Windows-1252 bytes D6 6C 7A, as on Windows.
  std::string expected;
  ASSERT_EQ(PatientId(std::string("\xD6lz"), &expected), kIdOk);
  ASSERT_EQ(code->get_Patient(Variant("Ölz"), &result), S_OK);
  EXPECT_EQ(result, BStr(expected));
  std::string utf8Bytes;
  ASSERT_EQ(PatientId("Ölz", &utf8Bytes), kIdOk);
  EXPECT_NE(result, BStr(utf8Bytes));
}

TEST(CodeObject, PersonGivesIdentifierOrStatusBits) {
  RefPtr<ICode> code = NewCode();
  BStr result;
  ASSERT_EQ(code->get_Person(std::string("Anna"), std::string("Robert"), MakeDate(1965, 3, 12),
                             Variant("8001"), &result),
            S_OK);
  EXPECT_EQ(result, BStr("a0d2564efa6f8a373b59c65177ec03"));
  ASSERT_EQ(code->get_Person(std::string(" Anna "), std::string("Robert"), MakeDate(1965, 3, 12),
                             Variant(int32_t{8001}), &result),
            S_OK);
  EXPECT_EQ(result, BStr("a0d2564efa6f8a373b59c65177ec03"));
  ASSERT_EQ(code->get_Person(std::string("A."), std::string("Robert"), MakeDate(1965, 3, 12),
                             Variant("801"), &result),
            S_OK);
  EXPECT_EQ(result, BStr("a9" + std::string(28, '0')));
  ASSERT_EQ(code->get_Person(std::string("Anna"), std::string("Robert"), MakeDate(1869, 12, 31),
                             Variant("8001"), &result),
            S_OK);
  EXPECT_EQ(result, BStr("a4" + std::string(28, '0')));
  ASSERT_EQ(code->get_Person(std::nullopt, std::string("Robert"), 0, Variant("0999"), &result),
            S_OK);
  EXPECT_EQ(result, BStr("ad" + std::string(28, '0')));
  EXPECT_EQ(
      code->get_Person(std::string("Anna"), std::string("Robert"), 1, Variant::Null(), &result),
      DISP_E_TYPEMISMATCH);
}

class CodeEncryptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::InstallFakeAsas();
    setenv("TMPDIR", tmp_.path().c_str(), 1);
    ASSERT_EQ(::mkdir((work_ / "valid").c_str(), 0700), 0);
    context_->SetSender("S");
    context_->SetRcpt("tc1");
    context_->SetValidFolder(work_ / "valid");
    context_->SetRetryWait([] {});
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    SetAsasFactoryForTesting(nullptr);
  }

  testing::TempDir tmp_;
  testing::TempDir work_;
  std::shared_ptr<AnonymizerContext> context_ =
      std::make_shared<AnonymizerContext>(nullptr, moPAnonymizer);
  // Made through the class registry, as another program makes it: no running Anonymizer.
  RefPtr<ICode> code_ = NewCode();
  // Made for a transform of the running Anonymizer.
  RefPtr<ICode> anonymizing_ = RefPtr<ICode>::Adopt(new CCode(context_));
};

TEST_F(CodeEncryptTest, FailsCleanlyWithoutARunningAnonymizer) {
  Variant result(int32_t{5});
  EXPECT_EQ(code_->Encrypt(MakeXmlNodeListFromTexts({"<a/>"}).Get(), &result), E_UNEXPECTED);
  EXPECT_TRUE(result.IsEmpty());
  EXPECT_EQ(code_->Encrypt(MakeXmlNodeListFromTexts({"coding_line=\"1\""}).Get(), &result),
            E_UNEXPECTED);
  EXPECT_TRUE(result.IsEmpty());
}

TEST_F(CodeEncryptTest, RefusesWhatIsNotANodeList) {
  Variant result;
  EXPECT_EQ(code_->Encrypt(nullptr, &result), E_FAIL);
  EXPECT_EQ(code_->Encrypt(code_.Get(), &result), E_FAIL);
  EXPECT_EQ(code_->Encrypt(code_.Get(), nullptr), E_POINTER);
}

TEST_F(CodeEncryptTest, EmptyListGivesItsResultAndNothingElse) {
  Variant result;
  EXPECT_EQ(anonymizing_->Encrypt(MakeXmlNodeListFromTexts({}).Get(), &result), S_FALSE);
  EXPECT_TRUE(result.IsEmpty());
  EXPECT_TRUE(testing::FakeAsas().calls.empty());
}

TEST_F(CodeEncryptTest, ANodeBecomesTheEnvelopeTextOfItsFirstNodeOnly) {
  Variant result;
  ASSERT_EQ(anonymizing_->Encrypt(MakeXmlNodeListFromTexts({"<p>Müller</p>", "<second/>"}).Get(),
                                  &result),
            S_OK);
  ASSERT_EQ(result.type(), Variant::Type::kString);
  EXPECT_EQ(testing::DecodeBase64(result.AsString()), "From: S\r\nTo: tc1\r\n\r\n<p>M\xFCller</p>");
}

TEST_F(CodeEncryptTest, ACodingLineBecomesADocument) {
  ASSERT_TRUE(testing::WriteFile(work_ / "valid/01_2_.pdf", "%PDF-1.4"));
  context_->SetPdfFiles({"01_2_.pdf"});
  Variant result;
  ASSERT_EQ(
      anonymizing_->Encrypt(MakeXmlNodeListFromTexts({"coding_line=\"01&gt;2+\""}).Get(), &result),
      S_OK);
  ASSERT_EQ(result.type(), Variant::Type::kObject);
  RefPtr<IXmlDocument> doc = RefPtr<IUnknown>::Share(result.AsObject()).As<IXmlDocument>();
  ASSERT_TRUE(doc);
  xmlNode* root = xmlDocGetRootElement(doc->Document());
  ASSERT_NE(root, nullptr);
  xmlChar* name = xmlGetProp(root, BAD_CAST "name");
  EXPECT_STREQ(reinterpret_cast<char*>(name), "01_2_.pdf");
  xmlFree(name);
  BStr xml;
  ASSERT_EQ(doc->get_xml(&xml), S_OK);
  EXPECT_EQ(xml->rfind("<qendix:data ", 0), 0u) << *xml;
  EXPECT_EQ(
      testing::DecodeBase64(xml->substr(xml->find('>') + 1, xml->find("</") - xml->find('>') - 1)),
      "From: S\nTo: tc1\n\nJVBERi0xLjQ=\n");
}

TEST_F(CodeEncryptTest, EnvelopeFailureIsReturnedUnchanged) {
  testing::FakeAsas().missing = {"ASAS.SMIME"};
  Variant result;
  EXPECT_EQ(anonymizing_->Encrypt(MakeXmlNodeListFromTexts({"<p/>"}).Get(), &result),
            REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(result.IsEmpty());
}

}  // namespace
}  // namespace qx
