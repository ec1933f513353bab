// The anonymization of XML invoices of versions 4.4, 4.5 and 5.0, over every sample: nothing
// identifying in clear in the anonymized part, the person identifier, the sealed parts.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "anonymization/transform_fixture.h"
#include "crypto/code_object.h"
#include "platform/ole_date.h"

namespace qx::testing {
namespace {

const std::string kSamples =
    std::string(QENDIX_SOURCE_DIR) + "/tests/formats/data/xmlinvoice-current/";

// The sample files of every version, "4.4/x.xml" and so on.
std::vector<std::string> Samples() {
  std::vector<std::string> names;
  for (const char* version : {"4.4", "4.5", "5.0"}) {
    DIR* dir = ::opendir((kSamples + version).c_str());
    if (!dir) continue;
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".xml")
        names.push_back(std::string(version) + "/" + name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Masked(std::string text) {
  for (char& c : text) {
    if (c >= '0' && c <= '9') c = '9';
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = 'X';
  }
  return text;
}

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The parts of an invoice that name a person.
constexpr char kParts[] =
    "//n:patient|//n:insured|//n:guarantor|//n:debitor[n:person]|//n:employer|//n:partners";
constexpr char kInParts[] =
    "ancestor-or-self::n:patient or ancestor-or-self::n:insured or "
    "ancestor-or-self::n:guarantor or ancestor-or-self::n:debitor[n:person] or "
    "ancestor-or-self::n:employer or ancestor-or-self::n:partners";
constexpr char kIdentifiers[] = "//@ssn|//@card_id|//@insured_id|//@case_id|//@apid|//@acid";

// Identifying values of `invoice` that must not stand in clear: the texts of the person parts
// (the postal code keeps three characters by design), their birth dates but for the year, and
// the identifiers; a value that stands outside these parts as well does not count.
std::set<std::string> IdentifyingValues(const TransferReader& invoice) {
  std::set<std::string> values;
  for (const std::string& v :
       invoice.Values("(" + std::string(kParts) + ")//text()[not(ancestor::n:zip)]"))
    values.insert(Trimmed(v));
  for (const std::string& v : invoice.Values(kIdentifiers)) values.insert(v);
  for (const std::string& v : invoice.Values("(" + std::string(kParts) + ")//@birthdate"))
    if (v.size() >= 10 && v.substr(4, 6) != "-01-01") values.insert(v.substr(0, 10));
  std::string outside;
  for (const std::string& v :
       invoice.Values("//text()[not(" + std::string(kInParts) + ")]|//@*[not(" + kInParts +
                      ") and not(name()='ssn' or name()='card_id' or name()='insured_id' or "
                      "name()='case_id' or name()='apid' or name()='acid')]"))
    outside += v + "\n";
  std::set<std::string> identifying;
  for (const std::string& v : values)
    if (!v.empty() && Masked(v) != v && outside.find(v) == std::string::npos) identifying.insert(v);
  return identifying;
}

std::string PersonId(const TransferReader& invoice) {
  const std::string person = "//n:patient/n:person/";
  const std::string birth = invoice.Value("//n:patient/@birthdate");
  Date date = 0;
  EXPECT_TRUE(birth.size() >= 10 &&
              DateFromCalendar({std::stoi(birth.substr(0, 4)), std::stoi(birth.substr(5, 2)),
                                std::stoi(birth.substr(8, 2))},
                               &date))
      << birth;
  RefPtr<CCode> code = RefPtr<CCode>::Adopt(new CCode);
  BStr id;
  EXPECT_EQ(code->get_Person(invoice.Value(person + "n:givenname"),
                             invoice.Value(person + "n:familyname"), date,
                             Variant(invoice.Value(person + "n:postal/n:zip")), &id),
            S_OK);
  return id.value_or("");
}

using AnonymizationCurrentTest = TransformFixture;

TEST_F(AnonymizationCurrentTest, EverySampleAnonymizesWithNothingIdentifyingInClear) {
  const std::vector<std::string> samples = Samples();
  ASSERT_GE(samples.size(), 30u);
  for (const std::string& name : samples) {
    const std::string xml = ReadFile(kSamples + name);
    const TransferReader invoice(xml);
    ASSERT_TRUE(invoice.Ok()) << name;
    const TransferReader out = Anonymized(xml);
    const std::string anon = "//q:data[@type='anonymized']";

    // The anonymized part as one text (the person identifier left out: it is a digest).
    std::string clear;
    for (const std::string& v :
         out.Values(anon + "//text()|" + anon + "//@*[not(name()='unique_id')]"))
      clear += v + "\n";
    for (const std::string& v : IdentifyingValues(invoice))
      EXPECT_EQ(clear.find(v), std::string::npos) << name << ": \"" << v << "\" in clear";
    EXPECT_TRUE(out.Values(anon + "//n:document|" + anon + "//*[local-name()='Signature']").empty())
        << name;

    // The birth date keeps its year in its own type; the person identifier.
    const std::string birth = invoice.Value("//n:patient/@birthdate");
    const std::string cut =
        birth.substr(0, 4) + "-01-01" + (birth.find('T') != std::string::npos ? "T00:00:00" : "");
    EXPECT_EQ(out.Value(anon + "//n:patient/@birthdate"), cut) << name;
    EXPECT_EQ(out.Value(anon + "//n:patient/@unique_id"), PersonId(invoice)) << name;

    // Each person part and each attached document is sealed whole as a part of its own.
    const std::pair<std::string, std::string> parts[] = {{"patient", "//n:patient"},
                                                         {"insured", "//n:insured"},
                                                         {"guarantor", "//n:guarantor"},
                                                         {"debitor", "//n:debitor[n:person]"},
                                                         {"employer", "//n:employer"},
                                                         {"partners", "//n:partners"},
                                                         {"document", "//n:documents/n:document"}};
    for (const auto& [type, xpath] : parts) {
      const std::vector<std::string> bodies = out.Values("//q:data[@type='" + type + "']");
      ASSERT_EQ(bodies.size(), invoice.Nodes(xpath).size()) << name << " " << type;
      for (const std::string& body : bodies) {
        const std::string opened = Opened(body);
        EXPECT_EQ(opened.find("<invoice:" + type), 0u) << name << " " << type;
      }
    }
    const std::vector<std::string> insured = invoice.Values("//@insured_id");
    const std::vector<std::string> ids = out.Values("//q:data[@type='patient_ids']");
    ASSERT_EQ(ids.size(), 1u) << name;
    EXPECT_NE(
        Opened(ids[0]).find("/insured_id:" + (insured.empty() ? "" : insured[0]) + "/card_id:"),
        std::string::npos)
        << name << ": " << Opened(ids[0]);
  }
}

TEST_F(AnonymizationCurrentTest, ASignatureIsLeftOut) {
  std::string xml = ReadFile(kSamples + "5.0/fd_500_tp_kvg_esrqr.xml");
  const size_t end = xml.rfind("</invoice:request>");
  ASSERT_NE(end, std::string::npos);
  xml.insert(end,
             "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">"
             "<ds:DigestValue>c2lnbmVk</ds:DigestValue></ds:Signature>");
  const TransferReader out = Anonymized(xml);
  EXPECT_EQ(out.Values("//*[local-name()='DigestValue']").size(), 0u);
  EXPECT_EQ(out.Values("//q:data[@type='anonymized']/n:request/n:payload").size(), 1u);
}

TEST_F(AnonymizationCurrentTest, WithPdfTheSlipOfEachKindOfPaymentIsSealed) {
  struct Row {
    std::string sample;
    std::string pdf;  // named by the coding line, or the QR reference without blanks
  };
  const Row rows[] = {
      {"4.4/elexis_440_tg_kvg_3793.xml", "0100001079809_999999000000000040560037935_010012345_"},
      {"4.5/elexis_450_tg_mvg_esrqr.xml", "154530000000000000010000018"},
      {"5.0/fd_500_tp_kvg_esrqr.xml", "210000000003139471430009017"},
  };
  for (const Row& row : rows) {
    NewContext();
    ASSERT_TRUE(WriteFile(Valid() + "/" + row.pdf + ".pdf", "%PDF-1.4\n"));
    context_->SetPdfFiles({row.pdf + ".pdf"});
    const TransferReader out = Anonymized(ReadFile(kSamples + row.sample), true);
    EXPECT_EQ(out.Values("//q:data[@type='pdf']/@name"), std::vector<std::string>{row.pdf + ".pdf"})
        << row.sample;
  }
}

}  // namespace
}  // namespace qx::testing
