#include "crypto/start_asas.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "fake_asas.h"
#include "platform/class_registry.h"
#include "platform/last_error.h"
#include "recording_events.h"
#include "support/messages.h"

namespace qx {
namespace {

using testing::FakeAsas;

class StartAsasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    testing::InstallFakeAsas();
  }
  void TearDown() override { SetAsasFactoryForTesting(nullptr); }

  bool Start(const std::string& login) {
    return StartAsas(events_, moPAnonymizer, login, &session_);
  }
  std::vector<std::string> ClientCalls() {
    std::vector<std::string> calls;
    for (const auto& call : FakeAsas().calls)
      if (call == "ClientStop" || call == "ClientStart" ||
          call.rfind("ConfSetCurrentLogin", 0) == 0)
        calls.push_back(call);
    return calls;
  }

  testing::RecordingEvents events_;
  std::unique_ptr<AsasSession> session_;
};

TEST_F(StartAsasTest, ClientRunningWithTheLogin) {
  FakeAsas().running = true;
  FakeAsas().currentLogin = "a";
  ASSERT_TRUE(Start("a"));
  EXPECT_EQ(events_.Texts(),
            (std::vector<std::string>{"ASAS Initialisierung gestartet", "ASAS läuft...",
                                      "ASAS Initialisierung OK"}));
  for (const auto& e : events_.Events()) {
    EXPECT_EQ(e.level, mlDebug);
    EXPECT_EQ(e.mclass, mcModule);
    EXPECT_EQ(e.origin, moPAnonymizer);
    EXPECT_EQ(e.code, 0);
    EXPECT_FALSE(e.fileName.has_value());
  }
  EXPECT_TRUE(ClientCalls().empty());
  ASSERT_TRUE(session_);
  EXPECT_TRUE(session_->Connected());
  session_->Stop();
}

TEST_F(StartAsasTest, ClientRunningWithAnotherLoginIsSwitched) {
  FakeAsas().running = true;
  FakeAsas().currentLogin = "b";
  ASSERT_TRUE(Start("a"));
  EXPECT_EQ(events_.Texts(),
            (std::vector<std::string>{"ASAS Initialisierung gestartet", "ASAS läuft...",
                                      "ASAS Login wechseln: b -> a", "ASAS Initialisierung OK"}));
  EXPECT_EQ(ClientCalls(),
            (std::vector<std::string>{"ClientStop", "ConfSetCurrentLogin(a)", "ClientStart"}));
  EXPECT_EQ(FakeAsas().currentLogin, "a");
  EXPECT_TRUE(FakeAsas().running);
}

TEST_F(StartAsasTest, ClientNotRunningIsStartedWithTheLogin) {
  FakeAsas().currentLogin = "b";
  ASSERT_TRUE(Start("a"));
  EXPECT_EQ(events_.Texts(),
            (std::vector<std::string>{"ASAS Initialisierung gestartet", "ASAS läuft nicht...",
                                      "ASAS Initialisierung OK"}));
  EXPECT_EQ(ClientCalls(), (std::vector<std::string>{"ConfSetCurrentLogin(a)", "ClientStart"}));
}

TEST_F(StartAsasTest, UnknownLoginListsTheValidOnes) {
  EXPECT_FALSE(Start("c"));
  auto events = events_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].level, mlError);
  EXPECT_EQ(events[1].mclass, mcModule);
  EXPECT_EQ(events[1].code, 8);
  EXPECT_EQ(events[1].msg, BStr("ASAS Login 'c' ist ungültig. Gültige Logins sind: 'a', 'b'"));
  EXPECT_FALSE(session_);
  EXPECT_TRUE(ClientCalls().empty());
}

TEST_F(StartAsasTest, LoginsCompareCaseSensitively) {
  EXPECT_FALSE(Start("A"));
  EXPECT_EQ(events_.Events().back().code, 8);
}

TEST_F(StartAsasTest, LoginListWithoutCollectionMeansNoValidLogin) {
  FakeAsas().loginsOfferCollection = false;
  EXPECT_FALSE(Start("a"));
  EXPECT_EQ(events_.Texts().back(), "ASAS Login 'a' ist ungültig. Gültige Logins sind: ");
}

TEST_F(StartAsasTest, InvalidLoginTextIsCutAt255Bytes) {
  FakeAsas().logins = {std::string(300, 'x')};
  EXPECT_FALSE(Start("c"));
  EXPECT_EQ(events_.Texts().back().size(), 255u);
}

TEST_F(StartAsasTest, MissingClientIsReportedAsNotInstalled) {
  FakeAsas().missing = {"Asas.Client.Conf"};
  EXPECT_FALSE(Start("a"));
  auto events = events_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].level, mlFatal);
  EXPECT_EQ(events[1].mclass, mcModule);
  EXPECT_EQ(events[1].code, 18);
  EXPECT_EQ(events[1].msg, BStr("ASAS nicht installiert"));
  EXPECT_FALSE(session_);
}

TEST_F(StartAsasTest, AbsentLibraryIsReportedAsNotInstalled) {
  SetAsasFactoryForTesting(nullptr);
  setenv("QENDIX_ASAS_LIBRARY", "/nonexistent/libasas.so.1", 1);
  EXPECT_FALSE(Start("a"));
  unsetenv("QENDIX_ASAS_LIBRARY");
  auto texts = events_.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], "ASAS nicht installiert");
  EXPECT_EQ(events_.Events()[1].code, 18);
}

TEST_F(StartAsasTest, FailingClientCallIsAnAsasError) {
  FakeAsas().failures["ClientStart"] = E_ACCESSDENIED;
  EXPECT_FALSE(Start("a"));
  auto events = events_.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].level, mlError);
  EXPECT_EQ(events[2].mclass, mcAsas);
  EXPECT_EQ(events[2].code, E_ACCESSDENIED);
  EXPECT_EQ(events[2].msg, BStr(ResultText(E_ACCESSDENIED)));
  EXPECT_FALSE(session_);
}

TEST_F(StartAsasTest, FailingLoginListIsAnAsasError) {
  FakeAsas().failures["ConfLogins"] = E_FAIL;
  EXPECT_FALSE(Start("a"));
  EXPECT_EQ(events_.Events().back().mclass, mcAsas);
  EXPECT_EQ(events_.Events().back().code, E_FAIL);
}

TEST_F(StartAsasTest, FrenchUsersGetFrenchTexts) {
  setenv("LANGUAGE", "", 1);
  setenv("LC_ALL", "fr_CH.UTF-8", 1);
  EXPECT_FALSE(Start("c"));
  EXPECT_EQ(events_.Texts(), (std::vector<std::string>{
                                 "Initialisation ASAS démarée",
                                 "Login ASAS 'c' est invalide. Logins valides sont: 'a', 'b'"}));
}

TEST(AsasMessage, LanguageComesFromTheFirstNonEmptyVariable) {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
  EXPECT_EQ(LoadMessage(1118), "ASAS nicht installiert");
  setenv("LANG", "fr_BE.UTF-8", 1);
  EXPECT_EQ(LoadMessage(1118), "ASAS non installé");
  setenv("LC_MESSAGES", "it_CH.UTF-8", 1);  // earlier in the order: Italian gives German
  EXPECT_EQ(LoadMessage(1004), "ASAS läuft nicht...");
  setenv("LANGUAGE", "fr", 1);
  EXPECT_EQ(LoadMessage(1004), "ASAS ne marche pas...");
  setenv("LANGUAGE", "fry", 1);  // not French
  EXPECT_EQ(LoadMessage(1003), "ASAS läuft...");
  EXPECT_EQ(LoadMessage(4242), "");
}

class SenderForLoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::InstallFakeAsas();
    FakeAsas().loginEntries["a"] = {{Variant("keyid"), Variant("K1")}};
    FakeAsas().smimeKeys = {{Variant("other_key"), Variant("K0")},
                            {Variant("practice_key_2"), Variant("K1")}};
  }
  void TearDown() override { SetAsasFactoryForTesting(nullptr); }
};

TEST_F(SenderForLoginTest, NameOfTheKeyEntryWithTheLoginsValue) {
  EXPECT_EQ(SenderForLogin("a", "tc1,tc2"), "practice");
}

TEST_F(SenderForLoginTest, FallsBackToTheRecipientList) {
  EXPECT_EQ(SenderForLogin("b", "tc1,tc2"), "tc1,tc2");        // no entries
  FakeAsas().smimeKeys = {{Variant("plain"), Variant("K1")}};  // no "_key" in the name
  EXPECT_EQ(SenderForLogin("a", "tc1,tc2"), "tc1,tc2");
  FakeAsas().missing = {"Asas.Client.Conf"};
  EXPECT_EQ(SenderForLogin("a", "tc1,tc2"), "tc1,tc2");
}

TEST_F(SenderForLoginTest, NullValuesMatchEachOther) {
  FakeAsas().loginEntries["a"] = {{Variant("keyid"), Variant::Null()}};
  FakeAsas().smimeKeys = {{Variant("x_key"), Variant("K1")}, {Variant("nul_key"), Variant::Null()}};
  EXPECT_EQ(SenderForLogin("a", "r"), "nul");
}

}  // namespace
}  // namespace qx
