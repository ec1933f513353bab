// The anonymization transform with the in-memory security client: its envelopes are the base64
// of the clear message ("From: ...", "To: ...", an empty line, the Windows-1252 text with CR LF),
// so a test reads every sealed part back with Opened().
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "anonymization/anonymization_transform.h"
#include "anonymization/transfer_reader.h"
#include "common/temp_dir.h"
#include "crypto/anonymizer_context.h"
#include "crypto/fake_asas.h"
#include "crypto/recording_events.h"
#include "platform/class_registry.h"
#include "platform/codepage.h"

namespace qx::testing {

// An invoice with everything the stylesheet treats: `patient`, `guarantor` and `employer` are
// the elements' contents (empty: the element is left out).
inline std::string Invoice(const std::string& patient, const std::string& guarantor = "",
                           const std::string& employer = "", const std::string& more = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<invoice:request xmlns:invoice=\"http://www.xmlData.ch/xmlInvoice/XSD\" "
         "role=\"production\">\n"
         "<invoice:invoice invoice_id=\"R-1\">\n"
         "<invoice:esr9 coding_line=\"01&gt;123+ 45&gt;\"/>\n"
         "<invoice:provider><invoice:person><invoice:familyname>Muster</invoice:familyname>"
         "<invoice:city>Z\xC3\xBCrich</invoice:city></invoice:person></invoice:provider>\n" +
         patient + guarantor + employer + more + "</invoice:invoice>\n</invoice:request>\n";
}

// A patient element with `attributes` and a person of the given names, street and zip.
inline std::string Patient(const std::string& attributes, const std::string& given = "Anna",
                           const std::string& family = "Robert",
                           const std::string& street =
                               "B\xC3\xA4"
                               "ckerweg 12b",
                           const std::string& zip = "8001") {
  return "<invoice:patient " + attributes +
         ">\n<invoice:person salutation=\"Frau\">\n<invoice:familyname>" + family +
         "</invoice:familyname>\n<invoice:givenname>" + given +
         "</invoice:givenname>\n<invoice:postal><invoice:street>" + street +
         "</invoice:street><invoice:zip statecode=\"ZH\">" + zip +
         "</invoice:zip></invoice:postal>\n</invoice:person>\n</invoice:patient>\n";
}

class TransformFixture : public ::testing::Test {
 protected:
  static constexpr char kPdf[] = "01_123_45_.pdf";

  void SetUp() override {
    InstallFakeAsas();
    setenv("TMPDIR", messages_.path().c_str(), 1);  // the envelopes' private message folders
    ASSERT_EQ(::mkdir(Valid().c_str(), 0700), 0);
    NewContext();
  }
  // A fresh running-anonymizer context: sender "S", recipients "R", no PDFs.
  void NewContext() {
    context_ = std::make_shared<AnonymizerContext>(&events_, moPAnonymizer);
    context_->SetSender("S");
    context_->SetRcpt("R");
    context_->SetValidFolder(Valid());
    context_->SetRetryWait([] {});
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    SetAsasFactoryForTesting(nullptr);
  }

  std::string Valid() const { return work_ / "valid"; }

  void AddPdf() {
    ASSERT_TRUE(WriteFile(Valid() + "/" + kPdf, "%PDF-1.4\n"));
    context_->SetPdfFiles({kPdf});
  }

  // Writes `xml` as the invoice "inv.xml" and runs load, transform and save; the document in
  // *document. The first failing result, or S_OK.
  HRESULT Anonymize(AnonymizationTransform& transform, const std::string& xml,
                    std::string* document, bool withPdf = false, const std::string& rcpt = "R") {
    const std::string path = work_ / "inv.xml";
    if (!WriteFile(path, xml)) return E_FAIL;
    HRESULT hr = transform.LoadInput(path);
    if (Succeeded(hr)) hr = transform.Transform("inv.xml", rcpt, withPdf, context_);
    if (Succeeded(hr)) hr = transform.SaveOutput(document);
    return hr;
  }
  // The same with a transform of this fixture; the document is parsed for queries.
  TransferReader Anonymized(const std::string& xml, bool withPdf = false) {
    std::string document;
    HRESULT hr = Anonymize(transform_, xml, &document, withPdf);
    EXPECT_EQ(hr, S_OK) << transform_.ErrorText();
    TransferReader reader(document);
    EXPECT_TRUE(reader.Ok()) << document;
    return reader;
  }

  // The clear text of a fake envelope body, back in UTF-8 with LF line ends.
  static std::string Opened(const std::string& body) {
    std::string message = DecodeBase64(body);
    size_t start = message.find("\r\n\r\n");
    if (start == std::string::npos) return "<no message>";
    std::string text = Cp1252ToUtf8(message.substr(start + 4));
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
    return lf;
  }

  TempDir work_;
  TempDir messages_;
  RecordingEvents events_;
  std::shared_ptr<AnonymizerContext> context_;
  AnonymizationTransform transform_{events_, "qendix-Praxis V2.1.14 / Test"};
};

}  // namespace qx::testing
