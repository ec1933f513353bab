// Envelopes as the component makes them: message file in, S/MIME enveloped data out, opened by
// the Trust Center with the openssl command; certificate lookups and hostile message files.
#include <unistd.h>

#include <gtest/gtest.h>

#include "base64.h"
#include "cert_store.h"
#include "certificate.h"
#include "client_ops.h"
#include "envelope.h"
#include "identity_key.h"
#include "message_file.h"
#include "objects.h"
#include "status_bus.h"
#include "support.h"

namespace asas {
namespace {

using namespace std::string_literals;
using testing::AnyTextContains;
using testing::ReadFile;
using testing::Recipient;
using testing::RecordingSink;
using testing::TempDir;
using testing::WriteFile;

class SmimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tc1 = testing::MakeRecipient(dir, "tc1", /*ec=*/false);
    tc2 = testing::MakeRecipient(dir, "tc2", /*ec=*/true);
    ASSERT_EQ(ImportCertificate(home, "tc1", ReadFile(tc1.cert_file)), qx::S_OK);
    ASSERT_EQ(ImportCertificate(home, "tc2", ReadFile(tc2.cert_file)), qx::S_OK);
    sink_cookie = testing::Connect(client.Get(), sink.Get());
  }

  // The component's sequence on one message file: load, encrypt, save.
  HRESULT Envelope(const std::string& file) {
    HRESULT hr = smime->SmimeLoad(file);
    if (qx::Succeeded(hr)) hr = smime->SmimeEncrypt();
    if (qx::Succeeded(hr)) hr = smime->SmimeSave(file);
    return hr;
  }

  TempDir dir;
  Home home{dir / "home"};
  Recipient tc1, tc2;
  qx::RefPtr<qx::IAsasSmime> smime = MakeSmime(home);
  qx::RefPtr<qx::IAsasClient> client = MakeClient(home);
  qx::RefPtr<RecordingSink> sink = qx::RefPtr<RecordingSink>::Adopt(new RecordingSink);
  uint32_t sink_cookie = 0;
};

TEST_F(SmimeTest, EnvelopeForTwoRecipientsOpensWithEitherKeyToTheExactBytes) {
  std::string body =
      "<patient>M\xFC"
      "ller</patient>\r\n\r\nline\0two\nbare\r\n\x1A\xFF"s;
  std::string file = dir / "message";
  WriteFile(file, "From: dr-muster\r\nTo: tc1,tc2\r\n\r\n" + body);
  ASSERT_EQ(Envelope(file), qx::S_OK);

  std::string saved = ReadFile(file);
  EXPECT_EQ(saved.find("M\xFC"
                       "ller"),
            std::string::npos);
  for (const Recipient* r : {&tc1, &tc2}) {
    bool ok = false;
    std::string opened = testing::OpenSslDecrypt(file, *r, &ok);
    ASSERT_TRUE(ok) << r->name << ": " << opened;
    EXPECT_EQ(opened, body) << r->name;
  }
  // A key that is not a recipient's opens nothing. Against padding oracles, openssl cms goes on
  // with a random content key when no recipient's key fits, and about one time in 256 the
  // padding of that garbage happens to look right: what counts is that the body stays closed.
  Recipient stranger = testing::MakeRecipient(dir, "stranger", false);
  bool ok = true;
  std::string garbage = testing::OpenSslDecrypt(file, stranger, &ok);
  EXPECT_FALSE(ok && garbage == body);

  // Read back the way the component does: the lines after the first empty line.
  std::vector<HeaderField> fields;
  std::string_view encoded;
  ASSERT_EQ(SplitMessage(saved, &fields, &encoded), qx::S_OK);
  EXPECT_EQ(fields[0].value, "dr-muster");
  EXPECT_EQ(fields[1].value, "tc1,tc2");
  ASSERT_FALSE(encoded.empty());
  for (size_t start = 0; start < encoded.size();) {
    size_t end = encoded.find('\n', start);
    ASSERT_NE(end, std::string_view::npos);
    EXPECT_LE(end - start, 64u);
    start = end + 1;
  }
  EXPECT_TRUE(AnyTextContains(sink->Events(), "Message enveloped for tc1 tc2"));
}

TEST_F(SmimeTest, RsaOnlyEnvelopeAlsoOpensWithTheOlderSmimeCommand) {
  std::string body(100 * 1024, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = char(i * 7 + (i >> 8));
  std::string file = dir / "message";
  WriteFile(file, "From: s\nTo: tc1\n\n" + body);
  ASSERT_EQ(Envelope(file), qx::S_OK);
  auto result = testing::RunCommand("openssl smime -decrypt -binary -in " + testing::Quote(file) +
                                    " -inkey " + testing::Quote(tc1.key_file) + " -out " +
                                    testing::Quote(file + ".out"));
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(ReadFile(file + ".out"), body);
}

TEST_F(SmimeTest, ConfiguredCertificateFileComesBeforeTheStore) {
  // tc3 is not in the store: its certificate is published the way the component's certificate
  // cache does it, as a path to a file with 76-character lines and CR LF line ends.
  Recipient tc3 = testing::MakeRecipient(dir, "tc3", true);
  X509Ptr cert = ParseCertificate(ReadFile(tc3.cert_file));
  ASSERT_TRUE(cert);
  std::string b64 = Base64Encode(CertificateDer(cert.get()));
  std::string pem = "-----BEGIN CERTIFICATE-----\r\n";
  for (size_t i = 0; i < b64.size(); i += 76) pem += b64.substr(i, 76) + "\r\n";
  pem += "-----END CERTIFICATE-----\r\n";
  std::string cache_file = dir / "tc3.crt";
  WriteFile(cache_file, pem);
  auto conf = MakeClientConf(home);
  ASSERT_EQ(
      conf->ConfSetValue(std::string("smime"), std::string("tc3_cert"), qx::Variant(cache_file)),
      qx::S_OK);
  // tc1's configured value is base64 DER text of tc2's certificate: the configuration wins.
  X509Ptr tc2_cert = ParseCertificate(ReadFile(tc2.cert_file));
  ASSERT_EQ(conf->ConfSetValue(std::string("smime"), std::string("tc1_cert"),
                               qx::Variant(Base64Encode(CertificateDer(tc2_cert.get())))),
            qx::S_OK);

  std::string file = dir / "message";
  WriteFile(file, "To: tc3 tc1\n\nsecret");
  ASSERT_EQ(Envelope(file), qx::S_OK);
  bool ok = false;
  EXPECT_EQ(testing::OpenSslDecrypt(file, tc3, &ok), "secret");
  EXPECT_TRUE(ok);
  EXPECT_EQ(testing::OpenSslDecrypt(file, tc2, &ok), "secret");
  EXPECT_TRUE(ok);
  testing::OpenSslDecrypt(file, tc1, &ok);
  EXPECT_FALSE(ok);

  // Once the key is withdrawn and the file is gone, tc3 has no certificate any more.
  ASSERT_EQ(conf->ConfSetValue(std::string("smime"), std::string("tc3_cert"), qx::Variant("")),
            qx::S_OK);
  WriteFile(file, "To: tc3\n\nsecret");
  EXPECT_EQ(Envelope(file), kCertNotFound);
}

TEST_F(SmimeTest, ACertificateReplacedBetweenTwoEnvelopesIsUsedForTheSecond) {
  // Decoded certificates are kept by their bytes: new bytes under the same name must count.
  std::string file = dir / "message";
  for (const Recipient* now : {&tc1, &tc2}) {
    ASSERT_EQ(ImportCertificate(home, "tc1", ReadFile(now->cert_file)), qx::S_OK);
    WriteFile(file, "To: tc1\n\nsecret");
    ASSERT_EQ(Envelope(file), qx::S_OK);
    bool ok = false;
    EXPECT_EQ(testing::OpenSslDecrypt(file, *now, &ok), "secret") << now->name;
    EXPECT_TRUE(ok);
  }
  bool ok = true;
  testing::OpenSslDecrypt(file, tc1, &ok);
  EXPECT_FALSE(ok);
}

TEST_F(SmimeTest, EveryFileACertificateMayComeFromIsLookedAtAgainForTheNextEnvelope) {
  // One S/MIME object seals many envelopes and keeps what it found while the files stay as they
  // are: a certificate file named by the configuration and rewritten under the same name, and a
  // changed configuration with a replaced store certificate, both count.
  const std::string configured = dir / "tc-configured.crt";
  auto conf = MakeClientConf(home);
  const auto seal_for = [&](const std::string& to, const Recipient& expected) {
    std::string file = dir / "message";
    WriteFile(file, "To: " + to + "\n\nsecret");
    ASSERT_EQ(Envelope(file), qx::S_OK);
    bool ok = false;
    EXPECT_EQ(testing::OpenSslDecrypt(file, expected, &ok), "secret") << expected.name;
    EXPECT_TRUE(ok) << expected.name;
  };
  WriteFile(configured, ReadFile(tc2.cert_file));
  ASSERT_EQ(
      conf->ConfSetValue(std::string("smime"), std::string("tc1_cert"), qx::Variant(configured)),
      qx::S_OK);
  seal_for("tc1", tc2);
  WriteFile(configured, ReadFile(tc1.cert_file));  // the same name, other bytes
  seal_for("tc1", tc1);
  ASSERT_EQ(conf->ConfSetValue(std::string("smime"), std::string("tc1_cert"), qx::Variant("")),
            qx::S_OK);
  ASSERT_EQ(ImportCertificate(home, "tc1", ReadFile(tc2.cert_file)), qx::S_OK);
  seal_for("tc1", tc2);
}

TEST_F(SmimeTest, UnusableConfiguredValueFallsBackToTheStoreWithAWarning) {
  auto conf = MakeClientConf(home);
  ASSERT_EQ(conf->ConfSetValue(std::string("smime"), std::string("tc1_cert"),
                               qx::Variant(dir / "no-such-file.crt")),
            qx::S_OK);
  std::string file = dir / "message";
  WriteFile(file, "To: tc1\n\nsecret");
  ASSERT_EQ(Envelope(file), qx::S_OK);
  bool ok = false;
  EXPECT_EQ(testing::OpenSslDecrypt(file, tc1, &ok), "secret");
  auto events = sink->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].level, kStatusWarning);
  EXPECT_NE(events[0].text.find("tc1 is not usable"), std::string::npos);
}

TEST_F(SmimeTest, RecipientWithoutCertificateFailsAndNothingIsSaved) {
  std::string file = dir / "message";
  const std::string message = "From: s\r\nTo: tc1, unknown-tc\r\n\r\npatient data";
  WriteFile(file, message);
  ASSERT_EQ(smime->SmimeLoad(file), qx::S_OK);
  EXPECT_EQ(smime->SmimeEncrypt(), kCertNotFound);
  EXPECT_EQ(smime->SmimeSave(file), qx::E_UNEXPECTED);
  EXPECT_EQ(ReadFile(file), message);
  auto events = sink->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, kStatusWarning);
  EXPECT_EQ(events[0].text, "Certificate missing for recipient unknown-tc");
}

TEST_F(SmimeTest, FindCertificateAnswersBase64DerOrNotFound) {
  qx::BStr text;
  ASSERT_EQ(smime->SmimeFindCertificate(std::string("tc1"), &text), qx::S_OK);
  auto der = testing::RunCommand("openssl x509 -in " + testing::Quote(tc1.cert_file) +
                                 " -outform DER | base64 -w0");
  ASSERT_EQ(der.exit_code, 0);
  EXPECT_EQ(text, der.output);
  EXPECT_EQ(text->find_first_of("\r\n"), std::string::npos);

  // A name from "tc1, tc2" keeps its blank; names never have blanks, so it is found.
  ASSERT_EQ(smime->SmimeFindCertificate(std::string(" tc2"), &text), qx::S_OK);

  EXPECT_EQ(smime->SmimeFindCertificate(std::string("tc9"), &text), kCertNotFound);
  EXPECT_FALSE(text.has_value());
  EXPECT_EQ(smime->SmimeFindCertificate(std::string("../home/keys/x"), &text), kCertNotFound);
  EXPECT_EQ(smime->SmimeFindCertificate(qx::BStr(), &text), qx::E_INVALIDARG);
  EXPECT_EQ(smime->SmimeFindCertificate(std::string("tc1"), nullptr), qx::E_POINTER);

  // The certificate of one of the practice's identities is found too.
  ASSERT_EQ(AddLogin(home, "praxis", "dr-muster", KeyType::kEc, nullptr), qx::S_OK);
  EXPECT_EQ(smime->SmimeFindCertificate(std::string("dr-muster"), &text), qx::S_OK);
}

TEST_F(SmimeTest, HostileMessageFilesFailWithoutLeavingAMessageBehind) {
  std::string good = dir / "good";
  WriteFile(good, "To: tc1\n\nfirst");
  ASSERT_EQ(smime->SmimeLoad(good), qx::S_OK);

  EXPECT_EQ(smime->SmimeLoad(dir / "missing"), HresultFromErrno(ENOENT));
  // The failed load forgot the earlier message: nothing can be enveloped or saved.
  EXPECT_EQ(smime->SmimeEncrypt(), qx::E_UNEXPECTED);
  EXPECT_EQ(smime->SmimeSave(dir / "out"), qx::E_UNEXPECTED);
  EXPECT_FALSE(testing::RunCommand("test -e " + testing::Quote(dir / "out")).exit_code == 0);

  std::string bad = dir / "bad";
  WriteFile(bad, "From: s\n\nno recipients");
  EXPECT_EQ(smime->SmimeLoad(bad), kNoRecipients);
  WriteFile(bad, "To: tc1\n" + std::string(1024 * 1024, 'X') + "\n\nbody");
  EXPECT_EQ(smime->SmimeLoad(bad), kBadMessage);
  WriteFile(bad, "To: tc1, tc1/../../x\n\nbody");
  EXPECT_EQ(smime->SmimeLoad(bad), kBadMessage);
  EXPECT_EQ(smime->SmimeLoad(dir.path()), HresultFromErrno(EISDIR));
  EXPECT_EQ(smime->SmimeLoad(std::string()), qx::E_INVALIDARG);
  EXPECT_EQ(smime->SmimeLoad(qx::BStr()), qx::E_INVALIDARG);
  EXPECT_EQ(smime->SmimeEncrypt(), qx::E_UNEXPECTED);
}

// The in-memory way is the message file's way without the files: the same rules for the
// message, the same saved text, opened by the Trust Center to the exact bytes.
TEST_F(SmimeTest, MessagesInMemoryFollowTheMessageFileRules) {
  auto memory = smime.As<qx::IAsasSmimeMemory>();
  ASSERT_TRUE(memory);
  const std::string body = "<p>M\xFCller</p>\r\n\0end\n"s;
  ASSERT_EQ(memory->SmimeLoadText("From: dr-muster\r\nTo: tc1\r\n\r\n" + body), qx::S_OK);
  ASSERT_EQ(smime->SmimeEncrypt(), qx::S_OK);
  qx::BStr saved;
  ASSERT_EQ(memory->SmimeSaveText(&saved), qx::S_OK);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->rfind("From: dr-muster\nTo: tc1\nMIME-Version: 1.0\n", 0), 0u);
  const std::string file = dir / "saved";
  WriteFile(file, *saved);
  bool ok = false;
  EXPECT_EQ(testing::OpenSslDecrypt(file, tc1, &ok), body);
  EXPECT_TRUE(ok);

  const struct {
    std::string message;
    HRESULT expected;
  } cases[] = {
      {"From: s\n\nno recipients", kNoRecipients},
      {"To: tc1\n" + std::string(5000, 'X') + "\n\nbody", kBadMessage},
      {"To: tc1, tc1/../../x\n\nbody", kBadMessage},
      {"To: tc1\n\n" + std::string(kMaxMessageBytes, 'x'), kTooLarge},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(memory->SmimeLoadText("To: tc1\n\nfirst"), qx::S_OK);
    EXPECT_EQ(memory->SmimeLoadText(c.message), c.expected) << c.message.substr(0, 40);
    // The failed load forgot the earlier message: nothing can be enveloped or saved.
    EXPECT_EQ(smime->SmimeEncrypt(), qx::E_UNEXPECTED);
    EXPECT_EQ(memory->SmimeSaveText(&saved), qx::E_UNEXPECTED);
    EXPECT_FALSE(saved);
  }
  EXPECT_EQ(memory->SmimeLoadText(qx::BStr()), qx::E_INVALIDARG);
  EXPECT_EQ(memory->SmimeSaveText(nullptr), qx::E_POINTER);
}

TEST(Envelope, OpensOnlyWithARecipientKey) {
  IdentityKeyPem a, b;
  ASSERT_EQ(CreateIdentityKey("a", KeyType::kRsa, &a), qx::S_OK);
  ASSERT_EQ(CreateIdentityKey("b", KeyType::kEc, &b), qx::S_OK);
  X509Ptr cert_a = ParseCertificate(a.cert);
  PkeyPtr key_a = ParsePrivateKey(a.key), key_b = ParsePrivateKey(b.key);
  ASSERT_TRUE(cert_a && key_a && key_b);
  std::string content(1 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = char(i % 251);
  std::string der;
  ASSERT_EQ(EnvelopeContent(content, {cert_a.get()}, &der), qx::S_OK);
  std::string opened;
  ASSERT_EQ(OpenEnvelope(der, key_a.get(), nullptr, &opened), qx::S_OK);
  EXPECT_EQ(opened, content);
  EXPECT_EQ(OpenEnvelope(der, key_b.get(), nullptr, &opened), kKeyUnusable);
  EXPECT_EQ(OpenEnvelope("not der", key_a.get(), nullptr, &opened), kBadMessage);
  EXPECT_EQ(EnvelopeContent(content, {}, &der), kNoRecipients);
}

}  // namespace
}  // namespace asas
