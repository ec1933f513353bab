// Envelopes made by the component through the installed security client, opened the way a Trust
// Center opens them: the body wrapped back into an S/MIME message and decrypted with
// `openssl cms -decrypt` and the Trust Center's key. The recipients' certificates are published
// from the client's certificate store by the certificate cache, as the Anonymizer does.
#include <libxml/tree.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "crypto/anonymizer_context.h"
#include "crypto/asas_objects.h"
#include "crypto/certificate_cache.h"
#include "crypto/envelopes.h"
#include "crypto/start_asas.h"
#include "formats/xml_namespaces.h"
#include "integration/asas_home.h"

namespace qx::testing {
namespace {

// The client's answer for a recipient without a certificate.
constexpr HRESULT kCertificateNotFound = static_cast<HRESULT>(0x80092004);
constexpr char kRecipients[] = "tc1,tc2";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t EntriesIn(const std::string& folder) {
  size_t count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

// The DER bytes of the PEM certificate in `file`; empty when it does not parse.
std::string CertificateDer(const std::string& file) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(file.c_str(), "r"), BIO_free);
  if (!bio) return {};
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) return {};
  unsigned char* der = nullptr;
  int size = i2d_X509(cert.get(), &der);
  if (size <= 0) return {};
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(size));
  OPENSSL_free(der);
  return bytes;
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, BAD_CAST name);
  std::string text = value ? reinterpret_cast<char*>(value) : "";
  xmlFree(value);
  return text;
}

// The value of `key` in the client's "smime" section, read through its configuration object.
HRESULT PublishedValue(const std::string& key, Variant* value) {
  RefPtr<IAsasClientConf> conf;
  HRESULT hr = CreateAsasObject("Asas.Client.Conf", &conf);
  if (Failed(hr)) return hr;
  return conf->ConfGetValue(std::string("smime"), key, value);
}

class TrustCenterEnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Message files go below a folder of the test, so that leftovers can be seen.
    setenv("TMPDIR", messages_.path().c_str(), 1);
    ASSERT_TRUE(home_.AddLogin("praxis", "dr-muster"));
    tc1_ = home_.MakeTrustCenter("tc1", KeyKind::kRsa, /*import=*/true);
    tc2_ = home_.MakeTrustCenter("tc2", KeyKind::kEc, /*import=*/true);
    ASSERT_FALSE(tc1_.name.empty());
    ASSERT_FALSE(tc2_.name.empty());
    ASSERT_EQ(::mkdir(Valid().c_str(), 0700), 0);

    context_ = std::make_shared<AnonymizerContext>(&events_, moPAnonymizer);
    context_->SetSender(SenderForLogin("praxis", kRecipients));
    context_->SetRcpt(kRecipients);
    context_->SetValidFolder(Valid());
    context_->SetRetryWait([this] { ++waits_; });
    cache_ = std::make_unique<CertificateCache>(work_.path(), &events_);
    ASSERT_TRUE(cache_->Lookup(kRecipients));
  }
  void TearDown() override {
    cache_.reset();
    unsetenv("TMPDIR");
  }

  std::string Valid() const { return work_ / "valid"; }
  std::string Cached(const std::string& name) const { return work_ / ("cache/" + name + ".crt"); }

  void AddPdf(const std::string& name, const std::string& content) {
    ASSERT_TRUE(WriteFile(Valid() + "/" + name, content));
    context_->SetPdfFiles({name});
  }

  AsasHome home_;
  TempDir work_;
  TempDir messages_;
  TrustCenter tc1_;
  TrustCenter tc2_;
  EventLines events_;
  std::shared_ptr<AnonymizerContext> context_;
  std::unique_ptr<CertificateCache> cache_;
  int waits_ = 0;
};

TEST_F(TrustCenterEnvelopeTest, TextOpensWithEitherTrustCenterKeyAsWindows1252WithCrLf) {
  EXPECT_EQ(context_->Sender(), "dr-muster");
  std::string body;
  ASSERT_EQ(EncryptText(*context_, "<name>Ölz</name>\n<amount>12.50 €</amount>", &body), S_OK);
  const std::vector<std::string> lines = Lines(body);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    EXPECT_FALSE(line.empty());
    EXPECT_LE(line.size(), 64u);
    EXPECT_EQ(line.find('\r'), std::string::npos);
  }

  const std::string expected = "<name>\xD6lz</name>\r\n<amount>12.50 \x80</amount>";
  for (const TrustCenter& tc : {tc1_, tc2_}) {
    std::string plain;
    EXPECT_TRUE(OpenEnvelope(home_, body, tc, &plain)) << tc.name << ": " << plain;
    EXPECT_EQ(plain, expected) << tc.name;
  }
  TrustCenter outsider = home_.MakeTrustCenter("tc3", KeyKind::kEc, /*import=*/false);
  ASSERT_FALSE(outsider.name.empty());
  std::string refused;
  EXPECT_FALSE(OpenEnvelope(home_, body, outsider, &refused));

  EXPECT_EQ(waits_, 0);
  EXPECT_EQ(EntriesIn(messages_.path()), 0u);  // the clear-text message file is gone
}

TEST_F(TrustCenterEnvelopeTest, PdfTravelsAsBase64LinesInADataElement) {
  std::string pdf = "%PDF-1.4\n";
  while (pdf.size() < 100) pdf += static_cast<char>(pdf.size() * 37);
  AddPdf("01_123_45_.pdf", pdf);

  RefPtr<IXmlDocument> document;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"01&gt;123+ 45&gt;\"", &document), S_OK);
  xmlNode* data = xmlDocGetRootElement(document->Document());
  ASSERT_NE(data, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(data->name), "data");
  ASSERT_NE(data->ns, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data->ns->href)), kTransferNamespace);
  EXPECT_STREQ(reinterpret_cast<const char*>(data->ns->prefix), "qendix");
  EXPECT_EQ(Attribute(data, "name"), "01_123_45_.pdf");
  EXPECT_EQ(Attribute(data, "type"), "pdf");

  xmlChar* content = xmlNodeGetContent(data);
  const std::string body = content ? reinterpret_cast<char*>(content) : "";
  xmlFree(content);
  const std::vector<std::string> envelopeLines = Lines(body);
  ASSERT_FALSE(envelopeLines.empty());
  for (size_t i = 0; i + 1 < envelopeLines.size(); ++i) EXPECT_EQ(envelopeLines[i].size(), 64u);

  // What the Trust Center reads: the PDF in base64 lines of 64, 64 and 8 characters.
  std::string plain;
  ASSERT_TRUE(OpenEnvelope(home_, body, tc2_, &plain)) << plain;
  EXPECT_EQ(plain, Base64Lines(pdf));
  std::vector<size_t> sizes;
  for (const std::string& line : Lines(plain)) sizes.push_back(line.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 8}));
  EXPECT_EQ(plain.back(), '\n');
  EXPECT_EQ(plain.substr(plain.size() - 3), "==\n");

  EXPECT_EQ(context_->EnvelopedPdfs(), std::vector<std::string>{"01_123_45_.pdf"});
  EXPECT_EQ(waits_, 0);
  EXPECT_EQ(EntriesIn(messages_.path()), 0u);
}

TEST_F(TrustCenterEnvelopeTest, RecipientWithoutCertificateFailsAndLeavesNoMessageBehind) {
  CertificateCache cache(work_.path(), &events_);
  ASSERT_TRUE(cache.Lookup("tc1,tc9"));
  const std::vector<std::string> events = events_.Lines();
  EXPECT_EQ(events.back(), "2|2|2|0|(null)|Certificate lookup: tc9 failed");
  context_->SetRcpt("tc1,tc9");

  std::string body = "left over";
  EXPECT_EQ(EncryptText(*context_, "<name>Ölz</name>", &body), kCertificateNotFound);
  EXPECT_EQ(body, "");
  AddPdf("01_123_45_.pdf", "%PDF-1.4\n");
  RefPtr<IXmlDocument> document;
  EXPECT_EQ(EncryptPdfs(*context_, "coding_line=\"01&gt;123+ 45&gt;\"", &document),
            kCertificateNotFound);
  EXPECT_FALSE(document);
  EXPECT_TRUE(FileExists(Valid() + "/01_123_45_.pdf"));
  EXPECT_TRUE(context_->EnvelopedPdfs().empty());
  EXPECT_EQ(EntriesIn(messages_.path()), 0u);
}

TEST_F(TrustCenterEnvelopeTest, PublishedCertificatesArePemFilesWithdrawnWithTheCache) {
  const std::vector<std::string> events = events_.Lines();
  EXPECT_EQ(events, (std::vector<std::string>{"0|2|2|0|(null)|Certificate lookup: tc1 OK",
                                              "0|2|2|0|(null)|Certificate lookup: tc2 OK"}));
  for (const TrustCenter& tc : {tc1_, tc2_}) {
    const std::vector<std::string> lines = Lines(ReadFile(Cached(tc.name)));
    ASSERT_GE(lines.size(), 4u) << tc.name;
    EXPECT_EQ(lines.front(), "-----BEGIN CERTIFICATE-----");
    EXPECT_EQ(lines.back(), "-----END CERTIFICATE-----");
    for (size_t i = 1; i + 2 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 76u) << tc.name;
    EXPECT_GE(lines[lines.size() - 2].size(), 1u);
    EXPECT_LE(lines[lines.size() - 2].size(), 76u);
    EXPECT_EQ(CertificateDer(Cached(tc.name)), CertificateDer(tc.certFile)) << tc.name;

    Variant value;
    ASSERT_EQ(PublishedValue(tc.name + "_cert", &value), S_OK);
    EXPECT_EQ(value, Variant(Cached(tc.name)));
  }

  // The client envelopes with the published file: the store no longer has tc1's certificate.
  ASSERT_EQ(::unlink((home_.Root() + "/certs/tc1.crt").c_str()), 0);
  context_->SetRcpt("tc1");
  std::string body;
  ASSERT_EQ(EncryptText(*context_, "published", &body), S_OK);
  std::string plain;
  EXPECT_TRUE(OpenEnvelope(home_, body, tc1_, &plain)) << plain;
  EXPECT_EQ(plain, "published");

  cache_.reset();
  for (const TrustCenter& tc : {tc1_, tc2_}) {
    Variant value;
    EXPECT_TRUE(Failed(PublishedValue(tc.name + "_cert", &value))) << tc.name;
    EXPECT_TRUE(FileExists(Cached(tc.name)));  // the files stay for the next lookup
  }
  EXPECT_EQ(EncryptText(*context_, "withdrawn", &body), kCertificateNotFound);
}

}  // namespace
}  // namespace qx::testing
