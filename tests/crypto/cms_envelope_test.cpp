// Envelopes made with real CMS enveloped data (the fake client encrypts with OpenSSL), opened
// again with the recipient's key: what the Trust Center would read.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "common/temp_dir.h"
#include "crypto/anonymizer_context.h"
#include "crypto/certificate_cache.h"
#include "crypto/envelopes.h"
#include "fake_asas.h"
#include "platform/class_registry.h"
#include "recording_events.h"

namespace qx {
namespace {

struct Recipient {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> cert{nullptr, X509_free};
};

Recipient MakeRecipient(const char* commonName) {
  Recipient r;
  r.key.reset(EVP_RSA_gen(2048));
  r.cert.reset(X509_new());
  if (!r.key || !r.cert) return r;
  X509* cert = r.cert.get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, r.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, r.key.get(), EVP_sha256());
  return r;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

// What a client does: envelope the message body (after the header's empty line) for the
// recipient with AES-256 and save it as an S/MIME message (headers, empty line, base64).
std::string CmsEnvelope(X509* recipient, const std::string& loaded) {
  size_t crlf = loaded.find("\r\n\r\n");
  size_t lf = loaded.find("\n\n");
  size_t start =
      crlf != std::string::npos && (lf == std::string::npos || crlf < lf) ? crlf + 4 : lf + 2;
  std::string body = loaded.substr(start);
  std::unique_ptr<BIO, decltype(&BIO_free)> in(
      BIO_new_mem_buf(body.data(), static_cast<int>(body.size())), BIO_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> certs(
      sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_free(s); });
  sk_X509_push(certs.get(), recipient);
  std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
      CMS_encrypt(certs.get(), in.get(), EVP_aes_256_cbc(), CMS_BINARY), CMS_ContentInfo_free);
  if (!cms) return "broken\r\n";
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
  SMIME_write_CMS(out.get(), cms.get(), nullptr, CMS_BINARY);
  return BioText(out.get());
}

// Opens the envelope body (base64 of DER CMS) with the recipient's key.
std::string Decrypt(const Recipient& r, const std::string& body) {
  std::string der = testing::DecodeBase64(body);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
      d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())), CMS_ContentInfo_free);
  if (!cms) return "<not CMS>";
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
  if (CMS_decrypt(cms.get(), r.key.get(), r.cert.get(), nullptr, out.get(), CMS_BINARY) != 1)
    return "<not decrypted>";
  return BioText(out.get());
}

class CmsEnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tc1_.key && tc1_.cert);
    testing::InstallFakeAsas();
    X509* cert = tc1_.cert.get();
    testing::FakeAsas().envelope = [cert](const std::string& loaded) {
      return CmsEnvelope(cert, loaded);
    };
    setenv("TMPDIR", tmp_.path().c_str(), 1);
    ASSERT_EQ(::mkdir((work_ / "valid").c_str(), 0700), 0);
    context_->SetSender("practice");
    context_->SetRcpt("tc1");
    context_->SetValidFolder(work_ / "valid");
    context_->SetRetryWait([] {});
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    SetAsasFactoryForTesting(nullptr);
  }

  Recipient tc1_ = MakeRecipient("tc1");
  testing::TempDir tmp_;
  testing::TempDir work_;
  std::shared_ptr<AnonymizerContext> context_ =
      std::make_shared<AnonymizerContext>(nullptr, moPAnonymizer);
};

TEST_F(CmsEnvelopeTest, TextOpensAsWindows1252WithCrLf) {
  std::string body;
  ASSERT_EQ(EncryptText(*context_, "<patient>\n<name>Müller</name>\n</patient>", &body), S_OK);
  EXPECT_EQ(Decrypt(tc1_, body), "<patient>\r\n<name>M\xFCller</name>\r\n</patient>");
}

TEST_F(CmsEnvelopeTest, PdfOpensAsBase64LinesOfTheFile) {
  std::string pdf = "%PDF-1.4\n";
  while (pdf.size() < 100) pdf += static_cast<char>(pdf.size() * 31);
  ASSERT_TRUE(testing::WriteFile(work_ / "valid/01_5_.pdf", pdf));
  context_->SetPdfFiles({"01_5_.pdf"});
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"01&gt;5+\"", &doc), S_OK);
  xmlNode* root = xmlDocGetRootElement(doc->Document());
  ASSERT_NE(root, nullptr);
  xmlChar* content = xmlNodeGetContent(root);
  std::string body = reinterpret_cast<char*>(content);
  xmlFree(content);

  std::string plain = Decrypt(tc1_, body);
  std::istringstream lines(plain);
  std::vector<size_t> lengths;
  for (std::string line; std::getline(lines, line);) lengths.push_back(line.size());
  EXPECT_EQ(lengths, (std::vector<size_t>{64, 64, 8}));
  EXPECT_EQ(testing::DecodeBase64(plain), pdf);
}

TEST_F(CmsEnvelopeTest, CachedCertificateFileIsAValidPem) {
  unsigned char* der = nullptr;
  int length = i2d_X509(tc1_.cert.get(), &der);
  ASSERT_GT(length, 0);
  std::string base64(static_cast<size_t>(length) / 3 * 4 + 8, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der, length);
  base64.resize(static_cast<size_t>(n));
  OPENSSL_free(der);
  testing::FakeAsas().certificates["tc1"] = base64;

  testing::RecordingEvents events;
  CertificateCache cache(work_.path(), &events);
  ASSERT_TRUE(cache.Lookup("tc1"));
  std::unique_ptr<BIO, decltype(&BIO_free)> file(
      BIO_new_file((work_ / "cache/tc1.crt").c_str(), "r"), BIO_free);
  ASSERT_TRUE(file);
  std::unique_ptr<X509, decltype(&X509_free)> read(
      PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr), X509_free);
  ASSERT_TRUE(read);
  EXPECT_EQ(X509_cmp(read.get(), tc1_.cert.get()), 0);
}

}  // namespace
}  // namespace qx
