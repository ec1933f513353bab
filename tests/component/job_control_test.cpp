// One job at a time, the cancel flag, and jobs started or components released from handlers.
#include <stdlib.h>

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "common/component_fixture.h"
#include "component/job_control.h"
#include "component/module_state.h"
#include "support/ini_file.h"

namespace qx::testing {
namespace {

// Blocks the worker inside the sink on the start event until Open() is called.
class Gate {
 public:
  void Install(EventRecorder* events) {
    events->SetHook([this](const RecordedEvent& e) {
      if (e.code == 0 && e.mclass == mcModule && e.level == mlInfo && !entered_.exchange(true)) {
        reached_.set_value();
        opened_.get_future().wait();
      }
    });
  }
  void WaitUntilBlocked() {
    ASSERT_EQ(reached_.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }
  void Open() { opened_.set_value(); }

 private:
  std::atomic<bool> entered_{false};
  std::promise<void> reached_, opened_;
};

// A host may return from main while its last job winds down: the job's worker thread then ends
// during or after the process's static destruction. LetTheHeldWorkerEnd, registered before any
// static object exists, runs after every static destructor; when a test armed it, it lets the
// worker that the test holds in its end event go on, and waits until it has ended.
std::atomic<bool> g_holdWorkerPastExit{false};
std::atomic<bool> g_workerMayEnd{false};

void LetTheHeldWorkerEnd() {
  if (!g_holdWorkerPastExit) return;
  g_workerMayEnd = true;
  if (WaitForJobsEnded(LastJobNumber(), 20000) != S_OK) _exit(3);
}

__attribute__((constructor(101))) void RunAfterEveryStaticDestructor() {
  atexit(LetTheHeldWorkerEnd);
}

void WaitForModuleIdle() {
  for (int i = 0; i < 400 && ModuleObjectCount() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class Jobs : public ComponentTest {
 protected:
  void SetUp() override {
    for (const char* n : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(n);
    ComponentTest::SetUp();
  }
};

TEST_F(Jobs, ASecondJobIsBusyInEveryInstance) {
  Create();
  Gate gate;
  gate.Install(events_.Get());
  ASSERT_EQ(q_->Read(), S_OK);
  gate.WaitUntilBlocked();
  EXPECT_EQ(q_->Read(), E_BUSY);
  auto other = CreateComponent();
  EXPECT_EQ(other->Read(), E_BUSY);
  EXPECT_EQ(q_->Cancel(), S_OK);  // the busy answers did not clear the running job's cancel
  gate.Open();
  ASSERT_TRUE(events_->WaitForEnd(moPReader));
  auto lines = events_->Lines();
  EXPECT_EQ(lines.size(), 4u);  // start, count, then cancelled before the first file
  EXPECT_EQ(q_->Read(), S_OK);  // idle again; the start clears the cancel flag
  ASSERT_TRUE(events_->WaitForEnd(moPReader, 2));
}

TEST_F(Jobs, CancelDuringTheThirdOfFiveFiles) {
  for (int i = 0; i < 5; ++i) WriteFile(Input("f" + std::to_string(i) + ".xml"), "<?xml");
  Create();
  std::atomic<int> moved{0};
  events_->SetHook([&](const RecordedEvent& e) {
    if (e.code == 2 && ++moved == 3) q_->Cancel();
  });
  RunRead();
  auto lines = events_->Lines();
  ASSERT_EQ(lines.size(), 2u + 3u + 2u);
  EXPECT_EQ(lines[5], "2|2|0|5|(null)|Bearbeitung abgebrochen");
  EXPECT_EQ(lines[6],
            "1|2|0|1|(null)|Einlesen abgeschlossen: 3 kopiert, 0 fehlerhafte "
            "Rechnungsdateien");
}

TEST_F(Jobs, CancelWithoutAJobIsForgottenByTheNextStart) {
  Create();
  EXPECT_EQ(q_->Cancel(), S_OK);
  RunRead();
  EXPECT_EQ(events_->Lines().size(), 4u);
}

TEST_F(Jobs, AWorkerThatEndsAfterTheHostExitedTouchesNothingDestroyed) {
  Create();
  std::atomic<bool> ending{false};
  events_->SetHook([&](const RecordedEvent& e) {
    if (e.code == 1 && e.mclass == mcModule && !e.file) {
      ending = true;
      while (!g_workerMayEnd) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EXIT(
      {
        g_holdWorkerPastExit = true;
        if (q_->Read() != S_OK) _exit(2);
        while (!ending) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Jobs, TheNextJobCanStartFromTheEndEventHandler) {
  Create();
  std::atomic<int> ends{0};
  std::atomic<HRESULT> second{E_UNEXPECTED};
  events_->SetHook([&](const RecordedEvent& e) {
    if (e.code == 1 && e.mclass == mcModule && ++ends == 1) second = q_->Read();
  });
  ASSERT_EQ(q_->Read(), S_OK);
  ASSERT_TRUE(events_->WaitForEnd(moPReader, 2));
  EXPECT_EQ(second.load(), S_OK);
}

TEST_F(Jobs, SinksMayConnectAndDisconnectFromTheirHandler) {
  Create();
  auto late = EventRecorder::Create();
  std::atomic<uint32_t> late_cookie{0};
  events_->SetHook([&](const RecordedEvent& e) {
    if (e.mclass == mcCount) late_cookie = Connect(q_.Get(), late.Get());
    if (e.code == 4) Disconnect(q_.Get(), late_cookie);
  });
  RunRead();
  ASSERT_EQ(late->Lines().size(), 1u);  // the "no file" event only
  EXPECT_EQ(late->Events()[0].code, 4);
}

TEST_F(Jobs, AJobKeepsItsComponentAliveAfterTheHostReleasesIt) {
  WriteCenters();
  Create();
  q_->put_withArchive(VARIANT_FALSE);
  Gate gate;
  gate.Install(events_.Get());
  ASSERT_EQ(q_->Read(), S_OK);
  gate.WaitUntilBlocked();
  q_.Reset();  // the host lets go while the job runs
  cookie_ = 0;
  gate.Open();
  ASSERT_TRUE(events_->WaitForEnd(moPReader));
  WaitForModuleIdle();
  EXPECT_EQ(ModuleObjectCount(), 0);
  // The final release, on the worker, stored the settings.
  EXPECT_EQ(IniFile(ModuleDir() + "/qendix.ini").ReadString("globals", "archive"), "0");
}

}  // namespace
}  // namespace qx::testing
