#include "crypto/certificate_cache.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "fake_asas.h"
#include "platform/class_registry.h"
#include "recording_events.h"

namespace qx {
namespace {

using testing::FakeAsas;

class CertificateCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::InstallFakeAsas();
    FakeAsas().certificates = {{"tc1", std::string(152, 'A')}, {"tc2", std::string(153, 'B')}};
  }
  void TearDown() override { SetAsasFactoryForTesting(nullptr); }

  std::vector<std::string> Calls(const std::string& prefix) {
    std::vector<std::string> calls;
    for (const auto& call : FakeAsas().calls)
      if (call.rfind(prefix, 0) == 0) calls.push_back(call);
    return calls;
  }

  testing::TempDir work_;
  testing::RecordingEvents events_;
};

TEST_F(CertificateCacheTest, RegistersEachRecipientsCertificateFile) {
  {
    CertificateCache cache(work_.path(), &events_);
    struct stat st {};
    ASSERT_EQ(::stat((work_ / "cache").c_str(), &st), 0);
    ASSERT_TRUE(cache.Lookup("tc1,tc2"));
    EXPECT_EQ(cache.RegisteredKeys(), (std::vector<std::string>{"tc1_cert", "tc2_cert"}));
    ASSERT_EQ(FakeAsas().setValues.size(), 2u);
    EXPECT_EQ(FakeAsas().setValues[0].section, "smime");
    EXPECT_EQ(FakeAsas().setValues[0].key, "tc1_cert");
    EXPECT_EQ(FakeAsas().setValues[0].value, Variant(work_ / "cache/tc1.crt"));
    EXPECT_EQ(FakeAsas().setValues[1].value, Variant(work_ / "cache/tc2.crt"));

    EXPECT_EQ(testing::ReadFile(work_ / "cache/tc1.crt"),
              "-----BEGIN CERTIFICATE-----\n" + std::string(76, 'A') + "\n" + std::string(76, 'A') +
                  "\n-----END CERTIFICATE-----\n");
    EXPECT_EQ(testing::ReadFile(work_ / "cache/tc2.crt"),
              "-----BEGIN CERTIFICATE-----\n" + std::string(76, 'B') + "\n" + std::string(76, 'B') +
                  "\nB\n-----END CERTIFICATE-----\n");

    auto events = events_.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].level, mlDebug);
    EXPECT_EQ(events[0].mclass, mcModule);
    EXPECT_EQ(events[0].origin, moPAnonymizer);
    EXPECT_EQ(events[0].msg, BStr("Certificate lookup: tc1 OK"));
    EXPECT_EQ(events[1].msg, BStr("Certificate lookup: tc2 OK"));
    FakeAsas().setValues.clear();
  }
  // Destruction withdraws both keys with an empty value; the files stay.
  ASSERT_EQ(FakeAsas().setValues.size(), 2u);
  EXPECT_EQ(FakeAsas().setValues[0].key, "tc1_cert");
  EXPECT_TRUE(FakeAsas().setValues[0].value.IsEmpty());
  EXPECT_EQ(FakeAsas().setValues[1].key, "tc2_cert");
  EXPECT_TRUE(testing::FileExists(work_ / "cache/tc1.crt"));
}

TEST_F(CertificateCacheTest, SplitsAtCommasWithoutTrimming) {
  FakeAsas().certificates[" tc2"] = "QUJD";
  CertificateCache cache(work_.path(), &events_);
  ASSERT_TRUE(cache.Lookup(",tc1,, tc2,"));
  EXPECT_EQ(Calls("SmimeFindCertificate"),
            (std::vector<std::string>{"SmimeFindCertificate(tc1)", "SmimeFindCertificate( tc2)"}));
  EXPECT_EQ(cache.RegisteredKeys(), (std::vector<std::string>{"tc1_cert", " tc2_cert"}));
  EXPECT_TRUE(testing::FileExists(work_ / "cache/ tc2.crt"));
}

TEST_F(CertificateCacheTest, AMissingCertificateIsAWarningAndTheOthersGoOn) {
  CertificateCache cache(work_.path(), &events_);
  ASSERT_TRUE(cache.Lookup("nope,tc1"));
  auto events = events_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].level, mlWarning);
  EXPECT_EQ(events[0].mclass, mcModule);
  EXPECT_EQ(events[0].code, 0);
  EXPECT_EQ(events[0].msg, BStr("Certificate lookup: nope failed"));
  EXPECT_EQ(cache.RegisteredKeys(), std::vector<std::string>{"tc1_cert"});
}

TEST_F(CertificateCacheTest, ARefusedRegistrationIsASystemWarning) {
  FakeAsas().failures["ConfSetValue"] = E_ACCESSDENIED;
  CertificateCache cache(work_.path(), &events_);
  ASSERT_TRUE(cache.Lookup("tc1"));
  auto events = events_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].level, mlWarning);
  EXPECT_EQ(events[1].mclass, mcSystem);
  EXPECT_EQ(events[1].code, E_ACCESSDENIED);
  EXPECT_TRUE(events[1].msg.has_value() && !events[1].msg->empty());
  EXPECT_TRUE(cache.RegisteredKeys().empty());
}

TEST_F(CertificateCacheTest, NamesThatAreNoPlainFileNamesAreNotLookedUp) {
  FakeAsas().certificates["../evil"] = "QUJD";
  CertificateCache cache(work_.path(), &events_);
  ASSERT_TRUE(cache.Lookup("../evil,..,tc1"));
  EXPECT_EQ(Calls("SmimeFindCertificate"), std::vector<std::string>{"SmimeFindCertificate(tc1)"});
  EXPECT_FALSE(testing::FileExists(work_ / "evil.crt"));
  EXPECT_EQ(events_.Texts()[0], "Certificate lookup: ../evil failed");
}

TEST_F(CertificateCacheTest, CertificateTextMustBeBase64) {
  FakeAsas().certificates["tc1"] = "AB\nCD";
  FakeAsas().certificates["tc2"] = "AB-----END CERTIFICATE-----";
  CertificateCache cache(work_.path(), &events_);
  ASSERT_TRUE(cache.Lookup("tc1,tc2"));
  EXPECT_EQ(cache.RegisteredKeys(), std::vector<std::string>{"tc1_cert"});
  EXPECT_EQ(testing::ReadFile(work_ / "cache/tc1.crt"),
            "-----BEGIN CERTIFICATE-----\nABCD\n-----END CERTIFICATE-----\n");
  EXPECT_EQ(events_.Texts()[1], "Certificate lookup: tc2 failed");
}

TEST_F(CertificateCacheTest, TheListIsCutAt511Bytes) {
  std::string longName(520, 'n');
  CertificateCache cache(work_.path(), &events_);
  ASSERT_TRUE(cache.Lookup(longName + ",tc1"));
  EXPECT_EQ(Calls("SmimeFindCertificate"),
            std::vector<std::string>{"SmimeFindCertificate(" + std::string(511, 'n') + ")"});
}

TEST_F(CertificateCacheTest, MissingClientObjectsFailTheLookup) {
  FakeAsas().missing = {"Asas.SMIME"};
  {
    CertificateCache cache(work_.path(), &events_);
    EXPECT_FALSE(cache.Lookup("tc1"));
  }
  auto events = events_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, mlError);
  EXPECT_EQ(events[0].mclass, mcSystem);
  EXPECT_EQ(events[0].code, REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(FakeAsas().setValues.empty());

  FakeAsas().missing = {"Asas.Client.Conf"};
  CertificateCache cache(work_.path(), &events_);
  EXPECT_FALSE(cache.Lookup("tc1"));
  EXPECT_TRUE(Calls("SmimeFindCertificate").empty());
}

TEST_F(CertificateCacheTest, WithoutAWorkDirectoryNothingIsWritten) {
  CertificateCache cache("", &events_);
  EXPECT_EQ(cache.CacheFolder(), "");
  EXPECT_FALSE(cache.Lookup("tc1"));
  EXPECT_TRUE(Calls("SmimeFindCertificate").empty());
}

}  // namespace
}  // namespace qx
