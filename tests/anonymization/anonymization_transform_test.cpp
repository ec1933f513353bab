// What the anonymization stylesheet makes of an invoice: the masked copy, the person identifier,
// the sealed parts and their order.
#include <gtest/gtest.h>

#include "anonymization/code_functions.h"
#include "anonymization/transform_fixture.h"
#include "crypto/code_object.h"
#include "platform/ole_date.h"

namespace qx::testing {
namespace {

constexpr char kGuarantor[] =
    "<invoice:guarantor unique_id=\"G-1\" xmlns:x=\"urn:x\" x:note=\"n\">"
    "<invoice:person salutation=\"Herr\"><invoice:familyname>Robert</invoice:familyname>"
    "<invoice:postal><invoice:street>Hauptstr. 7</invoice:street>"
    "<invoice:zip>3000</invoice:zip></invoice:postal></invoice:person></invoice:guarantor>\n";
constexpr char kEmployer[] =
    "<invoice:employer ean_party=\"7601000000000\"><invoice:company>"
    "<invoice:companyname>Acme 2000 AG</invoice:companyname></invoice:company>"
    "</invoice:employer>\n";
constexpr char kPatientAttributes[] =
    "gender=\"female\" birthdate=\"1965-03-12T00:00:00\" ssn=\"756.1234.5678.97\" "
    "patient_id=\"AB-12345/x\" unique_id=\"old\"";
constexpr char kDetail[] =
    "<invoice:detail case_id=\"not-a-child\"><invoice:treatment "
    "case_id=\"D-9\"/></invoice:detail>\n";

std::string PersonId(const std::string& first, const std::string& last, Date date,
                     const std::string& zip) {
  RefPtr<CCode> code = RefPtr<CCode>::Adopt(new CCode);
  BStr id;
  EXPECT_EQ(code->get_Person(first, last, date, Variant(zip), &id), S_OK);
  return id.value_or("");
}

Date Day(int year, int month, int day) {
  Date date = 0;
  EXPECT_TRUE(DateFromCalendar({year, month, day}, &date));
  return date;
}

using AnonymizationTransformTest = TransformFixture;

TEST_F(AnonymizationTransformTest, MasksEveryTextOfPatientGuarantorAndEmployer) {
  struct Row {
    std::string text;
    std::string masked;
  };
  const Row rows[] = {
      {"B\xC3\xA4"
       "ckerweg 12b",
       "X\xC3\xA4XXXXXXX 99X"},
      {"\xC3\x89mile O'Neil-Zo\xC3\xAB 3/4", "\xC3\x89XXXX X'XXXX-XX\xC3\xAB 9/9"},
      {"az AZ 09 .,;:_()", "XX XX 99 .,;:_()"},
      {"\xC3\x84\xC3\x96\xC3\x9C \xC3\x9F \xE2\x82\xAC",
       "\xC3\x84\xC3\x96\xC3\x9C \xC3\x9F \xE2\x82\xAC"},
  };
  for (const Row& row : rows) {
    const std::string patient = "<invoice:patient><!-- " + row.text +
                                " --><invoice:person><invoice:postal><invoice:street>" + row.text +
                                "</invoice:street></invoice:postal></invoice:person>"
                                "</invoice:patient>";
    const std::string guarantor = "<invoice:guarantor><invoice:person><invoice:familyname>" +
                                  row.text +
                                  "</invoice:familyname></invoice:person>"
                                  "</invoice:guarantor>";
    const std::string employer = "<invoice:employer>" + row.text + "</invoice:employer>";
    TransferReader out = Anonymized(Invoice(patient, guarantor, employer));
    const std::string data = "//q:data[@type='anonymized']";
    EXPECT_EQ(out.Value(data + "//i:patient//i:street"), row.masked) << row.text;
    EXPECT_EQ(out.Value(data + "//i:patient/comment()"), " " + row.masked + " ") << row.text;
    EXPECT_EQ(out.Value(data + "//i:guarantor//i:familyname"), row.masked) << row.text;
    EXPECT_EQ(out.Value(data + "/i:request/i:invoice/i:employer"), row.masked) << row.text;
    // Outside these parts nothing is masked.
    EXPECT_EQ(out.Value(data + "//i:provider//i:familyname"), "Muster");
    EXPECT_EQ(out.Value(data + "//i:provider//i:city"), "Z\xC3\xBCrich");
  }
}

TEST_F(AnonymizationTransformTest, ZipKeepsThreeCharactersAndEndsInZero) {
  const std::pair<std::string, std::string> rows[] = {
      {"8001", "8000"}, {"80", "800"}, {"", "0"}, {"12345", "1230"}, {"CH-8001", "CH-0"}};
  for (const auto& [zip, expected] : rows) {
    TransferReader out =
        Anonymized(Invoice(Patient("", "Anna", "Robert", "Weg 1", zip), kGuarantor));
    EXPECT_EQ(out.Value("//q:data[@type='anonymized']//i:patient//i:zip"), expected) << zip;
    EXPECT_EQ(out.Value("//i:patient//i:zip/@statecode"), "ZH");  // attributes inside: copied
    EXPECT_EQ(out.Value("//i:guarantor//i:zip"), "3000");
  }
}

TEST_F(AnonymizationTransformTest, PatientAttributesAreMaskedAndTheIdentifierAdded) {
  std::string patient = Patient(kPatientAttributes);
  patient.insert(patient.find("</invoice:patient>"),
                 "<invoice:card card_id=\"80756012345678901234\" expiry_date=\"2030-01-01\"/>");
  TransferReader out = Anonymized(Invoice(patient, "", "", kDetail));
  const std::string path = "//q:data[@type='anonymized']//i:patient";
  EXPECT_EQ(out.Value(path + "/@patient_id"), "XX-99999/X");
  EXPECT_EQ(out.Value(path + "/@ssn"), "999.9999.9999.99");
  EXPECT_EQ(out.Value(path + "/@gender"), "female");
  EXPECT_EQ(out.Value(path + "/@birthdate"), "1965-01-01T00:00:00");
  EXPECT_EQ(out.Value(path + "/@unique_id"), PersonId("Anna", "Robert", Day(1965, 3, 12), "8001"));
  EXPECT_EQ(out.Value(path + "/@unique_id"), "a0d2564efa6f8a373b59c65177ec03");
  // Inside the patient attributes are copied, but the insurance card number is masked.
  EXPECT_EQ(out.Value(path + "/i:card/@card_id"), "99999999999999999999");
  EXPECT_EQ(out.Value(path + "/i:card/@expiry_date"), "2030-01-01");
  // case_id is masked wherever it stands.
  EXPECT_EQ(out.Values("//q:data[@type='anonymized']//@case_id"),
            (std::vector<std::string>{"XXX-X-XXXXX", "X-9"}));
}

TEST_F(AnonymizationTransformTest, IdentifiersInsideMaskedPartsAreMaskedToo) {
  const std::string ids = "<invoice:ids patient_id=\"P-77\" ssn=\"756.12\" case_id=\"C-5\"/>";
  std::string patient = Patient("");
  patient.insert(patient.find("</invoice:patient>"), ids);
  TransferReader out =
      Anonymized(Invoice(patient, "<invoice:guarantor>" + ids + "</invoice:guarantor>",
                         "<invoice:employer>" + ids + "</invoice:employer>"));
  for (const std::string part : {"patient", "guarantor", "employer"}) {
    const std::string path = "//q:data[@type='anonymized']//i:" + part + "/i:ids/@";
    EXPECT_EQ(out.Value(path + "patient_id"), "X-99") << part;
    EXPECT_EQ(out.Value(path + "ssn"), "999.99") << part;
    EXPECT_EQ(out.Value(path + "case_id"), "X-9") << part;
  }
}

TEST_F(AnonymizationTransformTest, BirthDateReachesPersonAsThatDayOrAsInvalid) {
  struct Row {
    std::string attribute;  // empty: no birthdate
    std::string birthdate;  // in the output, "<none>" for none
    Date date;              // what Person must have been given
  };
  const Row rows[] = {
      {"1965-03-12T00:00:00", "1965-01-01T00:00:00", Day(1965, 3, 12)},
      {"1870-01-01T08:30:00", "1870-01-01T00:00:00", Day(1870, 1, 1)},
      {"", "<none>", 0},
      {"1965-02-30T00:00:00", "1965-01-01T00:00:00", 0},  // no such day
      {"1965-3-12T00:00:00", "1965-01-01T00:00:00", 0},   // not four-two-two digits
      {"1965-03-12", "1965-01-01T00:00:00", 0},           // no "T": empty date text
      {"0099-01-01T00:00:00", "0099-01-01T00:00:00", 0},  // outside the automation range
  };
  for (const Row& row : rows) {
    const std::string attributes =
        row.attribute.empty() ? "" : "birthdate=\"" + row.attribute + "\"";
    TransferReader out = Anonymized(Invoice(Patient(attributes)));
    EXPECT_EQ(out.Value("//i:patient/@birthdate"), row.birthdate) << row.attribute;
    const std::string id = out.Value("//i:patient/@unique_id");
    EXPECT_EQ(id, PersonId("Anna", "Robert", row.date, "8001")) << row.attribute;
    EXPECT_EQ(id.substr(0, 2), row.date == 0 ? "a4" : "a0") << row.attribute;
  }
}

TEST(BirthDateFromText, OnlyARealDayInFourTwoTwoDigits) {
  EXPECT_EQ(BirthDateFromText("1899-12-30"), 0);  // the day whose date value is 0
  EXPECT_EQ(BirthDateFromText("1965-03-12"), Day(1965, 3, 12));
  EXPECT_EQ(BirthDateFromText("2000-02-29"), Day(2000, 2, 29));
  for (const char* text : {"", "1965-03-1", "1965/03/12", "1965-13-01", "1900-02-29", "+965-03-12",
                           "1965-03-12 ", "19650312"})
    EXPECT_EQ(BirthDateFromText(text), 0) << text;
}

TEST_F(AnonymizationTransformTest, GuarantorAndEmployerLoseTheirAttributes) {
  TransferReader out = Anonymized(Invoice(Patient(""), kGuarantor, kEmployer));
  const std::string data = "//q:data[@type='anonymized']";
  EXPECT_TRUE(out.Nodes(data + "//i:guarantor/@*").empty());
  EXPECT_TRUE(out.Nodes(data + "//i:employer/@*").empty());
  EXPECT_EQ(out.Value(data + "//i:guarantor/i:person/@salutation"), "Herr");
  EXPECT_EQ(out.Value(data + "//i:guarantor//i:street"), "XXXXXXXX. 9");
  EXPECT_EQ(out.Value(data + "//i:employer//i:companyname"), "XXXX 9999 XX");
}

TEST_F(AnonymizationTransformTest, DataElementsComeInTheirOrder) {
  AddPdf();
  const std::string full = Invoice(Patient(kPatientAttributes), kGuarantor, kEmployer, kDetail);
  const std::string minimal = Invoice(Patient("gender=\"male\""));
  struct Row {
    std::string invoice;
    bool withPdf;
    bool pdfPresent;
    std::vector<std::string> types;
  };
  const std::vector<std::string> all = {"anonymized", "patient", "patient_ids", "guarantor",
                                        "employer"};
  std::vector<std::string> allAndPdf = all;
  allAndPdf.push_back("pdf");
  const Row rows[] = {
      {minimal, false, true, {"anonymized", "patient"}},
      {Invoice(""), false, true, {"anonymized", "patient"}},  // no patient: an empty part
      {full, false, true, all},
      {full, true, false, all},
      {full, true, true, allAndPdf},
  };
  for (const Row& row : rows) {
    if (!row.pdfPresent) context_->SetPdfFiles({});
    TransferReader out = Anonymized(row.invoice, row.withPdf);
    EXPECT_EQ(out.Values("/q:datatransfer/*/@type"), row.types);
    EXPECT_EQ(out.Nodes("/q:datatransfer/*").size(), row.types.size() + 1);  // + generator
    EXPECT_EQ(out.Value("/q:datatransfer/q:data[@type='anonymized']/@name"), "inv.xml");
    EXPECT_EQ(context_->EnvelopedPdfs().size(), row.withPdf && row.pdfPresent ? 1u : 0u);
    if (row.types.back() == "pdf") {
      EXPECT_EQ(out.Value("//q:data[@type='pdf']/@name"), kPdf);
    }
    context_->ForgetEnvelopedPdfs();
    context_->SetPdfFiles({kPdf});
  }
}

TEST_F(AnonymizationTransformTest, IdentifierListTakesTheFirstOfEachKind) {
  const std::pair<std::string, std::string> rows[] = {
      {Invoice(Patient(kPatientAttributes), "", "", kDetail),
       "/pid:AB-12345/x/ssn:756.1234.5678.97/case_id:/case_id2:D-9"},
      {Invoice(Patient("patient_id=\"P1\"") + "<invoice:x patient_id=\"P2\" ssn=\"S2\"/>"),
       "/pid:P1/ssn:S2/case_id:/case_id2:"},
      {Invoice(Patient(""), "", "", kDetail), "/pid:/ssn:/case_id:/case_id2:D-9"},
      {Invoice(Patient("")), "<none>"},
  };
  for (const auto& [invoice, expected] : rows) {
    TransferReader out = Anonymized(invoice);
    const std::string body = out.Value("//q:data[@type='patient_ids']");
    EXPECT_EQ(body == "<none>" ? body : Opened(body), expected);
  }
  // The invoice's own case_id counts too, escaped as the fragment's text.
  std::string invoice = Invoice(Patient(""));
  invoice.replace(invoice.find("invoice_id=\"R-1\""), 16,
                  "invoice_id=\"R-1\" case_id=\"K&lt;&amp;&gt;1\"");
  EXPECT_EQ(Opened(Anonymized(invoice).Value("//q:data[@type='patient_ids']")),
            "/pid:/ssn:/case_id:K&lt;&amp;&gt;1/case_id2:");
}

TEST_F(AnonymizationTransformTest, RecipientsAndGeneratorOnlyWhenGiven) {
  struct Row {
    std::string rcpt;
    std::string generator;
  };
  for (const Row& row : {Row{"", ""}, Row{"tc1,tc2", ""}, Row{"", "gen / Debian"},
                         Row{"tc1", "qendix-Praxis V2.1.14 / Debian GNU/Linux 12"}}) {
    AnonymizationTransform transform(events_, row.generator);
    std::string document;
    ASSERT_EQ(Anonymize(transform, Invoice(Patient("")), &document, false, row.rcpt), S_OK);
    TransferReader out(document);
    EXPECT_EQ(out.Values("/q:datatransfer/@rcpt"),
              row.rcpt.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.rcpt});
    EXPECT_EQ(out.Values("/q:datatransfer/q:generator"),
              row.generator.empty() ? std::vector<std::string>{}
                                    : std::vector<std::string>{row.generator});
    EXPECT_EQ(out.Values("/q:datatransfer/*/@type").front(), "anonymized");
  }
}

TEST_F(AnonymizationTransformTest, OutputIsUtf8WhateverTheInputEncoding) {
  std::string latin1 = Invoice(Patient(""));
  latin1.replace(latin1.find("UTF-8"), 5, "ISO-8859-1");
  latin1 = Utf8ToCp1252(latin1);  // "Zürich" and "Bäckerweg" as single bytes
  std::string document;
  ASSERT_EQ(Anonymize(transform_, latin1, &document), S_OK);
  EXPECT_EQ(document.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << document;
  EXPECT_NE(document.find("Z\xC3\xBCrich"), std::string::npos);
  EXPECT_NE(document.find("X\xC3\xA4XXXXXXX 99X"), std::string::npos);
}

TEST_F(AnonymizationTransformTest, ParametersAreTakenAsTheyAre) {
  const std::string name = "a'b\"c&<{$x}>.xml";
  ASSERT_TRUE(WriteFile(work_ / "inv.xml", Invoice("")));
  ASSERT_EQ(transform_.LoadInput(work_ / "inv.xml"), S_OK);
  ASSERT_EQ(transform_.Transform(name, "tc'1\"", false, context_), S_OK);
  std::string document;
  ASSERT_EQ(transform_.SaveOutput(&document), S_OK);
  TransferReader out(document);
  EXPECT_EQ(out.Value("//q:data[@type='anonymized']/@name"), name);
  EXPECT_EQ(out.Value("/q:datatransfer/@rcpt"), "tc'1\"");
}

}  // namespace
}  // namespace qx::testing
