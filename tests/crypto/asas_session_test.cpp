#include "crypto/asas_session.h"

#include <gtest/gtest.h>

#include "fake_asas.h"
#include "platform/class_registry.h"
#include "recording_events.h"

namespace qx {
namespace {

using testing::FakeAsas;

TEST(AsasStatus, DropsFailedSendAndReceiveMessages) {
  EXPECT_FALSE(IsAsasStatusForwarded("send failed"));
  EXPECT_FALSE(IsAsasStatusForwarded("recv from host failed: timeout"));
  EXPECT_TRUE(IsAsasStatusForwarded("login failed"));
  EXPECT_TRUE(IsAsasStatusForwarded("send ok"));
  EXPECT_TRUE(IsAsasStatusForwarded("Send FAILED"));  // the comparison is case-sensitive
}

TEST(AsasStatus, RaisesWithItsLevelCappedAtWarning) {
  testing::RecordingEvents events;
  RaiseAsasStatus(events, moPSender, 1, std::string("key loaded"));
  RaiseAsasStatus(events, moPSender, 2, std::string("cert expires"));
  RaiseAsasStatus(events, moPSender, 4, std::string("fatal inside"));
  RaiseAsasStatus(events, moPSender, 3, std::string("send failed"));
  RaiseAsasStatus(events, moPSender, -3, std::nullopt);
  auto recorded = events.Events();
  ASSERT_EQ(recorded.size(), 4u);
  EXPECT_EQ(recorded[0].level, mlInfo);
  EXPECT_EQ(recorded[1].level, mlWarning);
  EXPECT_EQ(recorded[2].level, mlWarning);
  EXPECT_EQ(recorded[3].level, mlDebug);
  for (const auto& e : recorded) {
    EXPECT_EQ(e.mclass, mcAsas);
    EXPECT_EQ(e.origin, moPSender);
    EXPECT_EQ(e.code, -1);
    EXPECT_FALSE(e.fileName.has_value());
  }
  EXPECT_EQ(recorded[0].msg, BStr("key loaded"));
  EXPECT_FALSE(recorded[3].msg.has_value());
}

class AsasSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::InstallFakeAsas(); }
  void TearDown() override { SetAsasFactoryForTesting(nullptr); }
  testing::RecordingEvents events_;
};

TEST_F(AsasSessionTest, StatusEventsArriveOnTheSessionThreadInOrder) {
  AsasSession session(events_, moPAnonymizer);
  session.Start();
  ASSERT_TRUE(session.Connected());
  testing::RaiseFakeStatus(1, "eins");
  testing::RaiseFakeStatus(1, "send failed");
  testing::RaiseFakeStatus(4, "zwei");
  ASSERT_TRUE(events_.WaitForCount(2));
  session.Stop();
  auto recorded = events_.Events();
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_EQ(recorded[0].msg, BStr("eins"));
  EXPECT_EQ(recorded[1].msg, BStr("zwei"));
  EXPECT_EQ(recorded[1].level, mlWarning);
  EXPECT_EQ(recorded[0].thread, session.ThreadId());
  EXPECT_NE(recorded[0].thread, std::this_thread::get_id());
  EXPECT_EQ(std::count(FakeAsas().calls.begin(), FakeAsas().calls.end(), "Unadvise"), 1);
}

TEST_F(AsasSessionTest, NothingArrivesAfterStopEvenFromAClientThatKeptTheSink) {
  AsasSession session(events_, moPAnonymizer);
  session.Start();
  RefPtr<IAsasEvents> kept = FakeAsas().sinks.at(0);
  session.Stop();
  kept->AsasStatus(1, std::string("late"));
  testing::RaiseFakeStatus(1, "late too");
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(AsasSessionTest, WithoutAClientTheSessionRunsSilently) {
  FakeAsas().missing = {"Asas.Client"};
  AsasSession session(events_, moPAnonymizer);
  session.Start();
  EXPECT_FALSE(session.Connected());
  session.Stop();
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(AsasSessionTest, StopWithoutStartAndDestructionWhileRunningAreSafe) {
  {
    AsasSession idle(events_, moPAnonymizer);
    idle.Stop();
  }
  {
    AsasSession running(events_, moPAnonymizer);
    running.Start();
    running.Start();  // only the first call starts a thread
  }
  EXPECT_EQ(std::count(FakeAsas().calls.begin(), FakeAsas().calls.end(), "Advise"), 1);
  EXPECT_EQ(std::count(FakeAsas().calls.begin(), FakeAsas().calls.end(), "Unadvise"), 1);
}

}  // namespace
}  // namespace qx
