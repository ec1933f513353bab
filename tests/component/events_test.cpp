// RaiseEvent: the debug filter, sink order, failing sinks, the log and two raising threads.
#include <stdlib.h>

#include <thread>

#include <gtest/gtest.h>

#include "common/component_fixture.h"
#include "component/c_event_sink.h"
#include "component/cqendix.h"

namespace qx::testing {
namespace {

class Events : public ComponentTest {
 protected:
  CQendix* Impl() { return static_cast<CQendix*>(q_.Get()); }
  std::string LogText() {
    BStr session;
    q_->get_session(&session);
    return ReadFile(Work("logs/" + session.value_or("") + ".log"));
  }
};

TEST_F(Events, DebugEventsPassOnlyWithTheDebugOption) {
  Create();
  Impl()->RaiseEvent(mlDebug, mcModule, moPChecker, 0, std::string("f"), std::string("XML"));
  EXPECT_TRUE(events_->Lines().empty());
  q_->put_debug(VARIANT_TRUE);
  Impl()->RaiseEvent(mlDebug, mcModule, moPChecker, 0, std::string("f"), std::string("XML"));
  EXPECT_EQ(events_->Lines(), std::vector<std::string>{"0|2|1|0|f|XML"});
  EXPECT_NE(LogText().find("|0|2|1|0|f|XML\n"), std::string::npos);
}

TEST_F(Events, SinksInConnectionOrderUntilOneFails) {
  Create();
  auto second = EventRecorder::Create();
  Connect(q_.Get(), second.Get());
  Impl()->RaiseEvent(mlInfo, mcModule, moPReader, 2, std::nullopt, std::nullopt);
  EXPECT_EQ(second->Lines().size(), 1u);
  events_->SetResult(E_FAIL);
  Impl()->RaiseEvent(mlInfo, mcModule, moPReader, 2, std::nullopt, std::nullopt);
  EXPECT_EQ(events_->Lines().size(), 2u);
  EXPECT_EQ(second->Lines().size(), 1u);
  // Logged all the same.
  std::string log = LogText();
  EXPECT_NE(log.find("|1|2|0|2|(null)|(null)\n"), std::string::npos);
}

TEST_F(Events, NoWorkDirectoryNoLogButTheHostHearsIt) {
  Create();
  q_->put_workDirectory(std::string(""));
  Impl()->RaiseEvent(mlInfo, mcModule, moPReader, 0, std::nullopt, std::string("x"));
  EXPECT_EQ(events_->Lines().size(), 1u);
  BStr session;
  q_->get_session(&session);
  EXPECT_EQ(session, "");
}

TEST_F(Events, TwoThreadsNeverInterleaveLogLines) {
  Create();
  auto raise = [&](int origin) {
    for (int i = 0; i < 500; ++i)
      Impl()->RaiseEvent(mlInfo, mcAsas, static_cast<tagMsgOrigin>(origin), i, std::nullopt,
                         std::string(100, static_cast<char>('a' + origin)));
  };
  std::thread a(raise, 2), b(raise, 4);
  a.join();
  b.join();
  std::string log = LogText();
  size_t lines = 0, pos = log.find('\n') + 1;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos);
    std::string line = log.substr(pos, end - pos);
    char c = line.back();
    EXPECT_EQ(line.substr(line.size() - 100), std::string(100, c));
    ++lines;
    pos = end + 1;
  }
  EXPECT_EQ(lines, 1000u);
  EXPECT_EQ(events_->Lines().size(), 1000u);
}

// A question goes past sinks without a prompt (the fixture's recorder) to the first that answers;
// a closed C prompt answers no more, and no answer at all is No.
TEST_F(Events, QuestionsGoToTheFirstSinkThatAnswers) {
  Create();
  EXPECT_FALSE(Impl()->AskYesNo("title", "text"));
  struct Answers {
    int reply;
    std::vector<std::string> asked;
  } answers{1, {}};
  auto prompt = RefPtr<CEventSink>::Adopt(new CEventSink(
      [](const char* title, const char* text, void* payload) {
        auto* a = static_cast<Answers*>(payload);
        a->asked.push_back(std::string(title) + "|" + text);
        return a->reply;
      },
      &answers));
  Connect(q_.Get(), static_cast<_IQendixEvents*>(prompt.Get()));
  EXPECT_TRUE(Impl()->AskYesNo("title", "text"));
  answers.reply = 2;  // only 1 is Yes
  EXPECT_FALSE(Impl()->AskYesNo("t", "u"));
  EXPECT_EQ(answers.asked, (std::vector<std::string>{"title|text", "t|u"}));
  prompt->Close();
  answers.reply = 1;
  EXPECT_FALSE(Impl()->AskYesNo("title", "text"));
  EXPECT_EQ(answers.asked.size(), 2u);
}

}  // namespace
}  // namespace qx::testing
