// Bringing up the installed security client for a step: the events the host sees (debug option
// on, the component as the event target) and the state the client is left in, read back with
// asasctl in a process of its own.
#include <errno.h>
#include <stdlib.h>

#include <future>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "common/component_fixture.h"
#include "component/cqendix.h"
#include "crypto/asas_objects.h"
#include "crypto/start_asas.h"
#include "integration/asas_home.h"
#include "platform/last_error.h"

namespace qx::testing {
namespace {

// "level|class|origin|code|file|message" of a debug trace of the Anonymizer.
std::string Trace(const std::string& text) {
  return "0|2|2|0|(null)|" + text;
}

class ClientStartTest : public ComponentTest {
 protected:
  void SetUp() override {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    ComponentTest::SetUp();
    ASSERT_TRUE(home_.AddLogin("a"));
    ASSERT_TRUE(home_.AddLogin("b"));
  }
  void TearDown() override {
    if (session_) session_->Stop();
    session_.reset();
    ComponentTest::TearDown();
  }

  // Creates the component with the debug option on and starts the client as the Anonymizer
  // does, with the component as the event target.
  bool Start(const std::string& login) {
    Create();
    if (!q_ || q_->put_debug(VARIANT_TRUE) != S_OK) return false;
    return StartAsas(*static_cast<CQendix*>(q_.Get()), moPAnonymizer, login, &session_);
  }

  // The events of the component's own steps (the client's status texts left aside).
  std::vector<std::string> ModuleEvents() const {
    std::vector<std::string> lines;
    for (const auto& e : events_->Events())
      if (e.mclass == mcModule) lines.push_back(e.ToString());
    return lines;
  }

  // asasctl's account of the client: "running with login X since T" or "stopped".
  std::string ClientState() const {
    ProcessResult r = home_.Ctl({"status"});
    for (const char* marker : {"running with login ", "stopped"}) {
      size_t at = r.out.find(marker);
      if (at != std::string::npos) return r.out.substr(at, r.out.find('\n', at) - at);
    }
    return "status failed: " + r.err;
  }

  AsasHome home_;
  std::unique_ptr<AsasSession> session_;
};

TEST_F(ClientStartTest, ClientNotRunningIsStartedWithTheLogin) {
  ASSERT_EQ(ClientState(), "stopped");
  ASSERT_TRUE(Start("a"));
  EXPECT_EQ(ModuleEvents(), (std::vector<std::string>{Trace("ASAS Initialisierung gestartet"),
                                                      Trace("ASAS läuft nicht..."),
                                                      Trace("ASAS Initialisierung OK")}));
  EXPECT_EQ(ClientState().rfind("running with login a since ", 0), 0u) << ClientState();
  ASSERT_TRUE(session_);
  EXPECT_TRUE(session_->Connected());
}

TEST_F(ClientStartTest, ClientRunningWithTheLoginIsLeftAsItIs) {
  ASSERT_EQ(home_.Ctl({"start", "a"}).status, 0);
  // Date the start back, so that a restart would show as a new start time.
  const std::string statePath = home_.Root() + "/state";
  std::string state = ReadFile(statePath);
  size_t since = state.find("since=");
  ASSERT_NE(since, std::string::npos) << state;
  state.replace(since, state.find('\n', since) - since, "since=2000-01-01T00:00:00Z");
  ASSERT_TRUE(WriteFile(statePath, state));
  ASSERT_EQ(ClientState(), "running with login a since 2000-01-01T00:00:00Z");

  ASSERT_TRUE(Start("a"));
  EXPECT_EQ(ModuleEvents(),
            (std::vector<std::string>{Trace("ASAS Initialisierung gestartet"),
                                      Trace("ASAS läuft..."), Trace("ASAS Initialisierung OK")}));
  EXPECT_EQ(ClientState(), "running with login a since 2000-01-01T00:00:00Z");
}

TEST_F(ClientStartTest, ClientRunningWithAnotherLoginIsSwitched) {
  ASSERT_EQ(home_.Ctl({"start", "a"}).status, 0);
  ASSERT_TRUE(Start("b"));
  EXPECT_EQ(ModuleEvents(),
            (std::vector<std::string>{Trace("ASAS Initialisierung gestartet"),
                                      Trace("ASAS läuft..."), Trace("ASAS Login wechseln: a -> b"),
                                      Trace("ASAS Initialisierung OK")}));
  EXPECT_EQ(ClientState().rfind("running with login b since ", 0), 0u) << ClientState();
}

TEST_F(ClientStartTest, UnknownLoginListsTheConfiguredOnesAndChangesNothing) {
  ASSERT_FALSE(Start("c"));
  EXPECT_EQ(ModuleEvents(),
            (std::vector<std::string>{
                Trace("ASAS Initialisierung gestartet"),
                "3|2|2|8|(null)|ASAS Login 'c' ist ungültig. Gültige Logins sind: 'a', 'b'"}));
  EXPECT_FALSE(session_);
  EXPECT_EQ(ClientState(), "stopped");
}

TEST_F(ClientStartTest, AbsentLibraryMeansNotInstalled) {
  setenv("QENDIX_ASAS_LIBRARY", "/nonexistent", 1);
  ASSERT_FALSE(Start("a"));
  EXPECT_EQ(ModuleEvents(), (std::vector<std::string>{Trace("ASAS Initialisierung gestartet"),
                                                      "4|2|2|18|(null)|ASAS nicht installiert"}));
  EXPECT_FALSE(session_);
  EXPECT_EQ(ClientState(), "stopped");
}

TEST_F(ClientStartTest, FailingClientCallIsReportedWithItsCodeAndText) {
  // A running state the client cannot read: asking whether it runs fails.
  const std::string statePath = home_.Root() + "/state";
  ASSERT_TRUE(WriteFile(statePath, "no equals sign here\n"));
  ASSERT_FALSE(Start("a"));
  const HRESULT unreadable = HresultFromWin32(EUCLEAN);
  EXPECT_EQ(ModuleEvents(), std::vector<std::string>{Trace("ASAS Initialisierung gestartet")});
  auto events = events_->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].ToString(),
            "3|1|2|" + std::to_string(unreadable) + "|(null)|" + ResultText(unreadable));
  EXPECT_FALSE(session_);
  EXPECT_EQ(ReadFile(statePath), "no equals sign here\n");  // left for the administrator
}

// While the step runs, what the client reports reaches the host as an mcAsas event of the step.
TEST_F(ClientStartTest, SessionPassesTheClientsStatusOnToTheHost) {
  ASSERT_TRUE(Start("a"));
  // Shared with the hook, which runs on the session thread and may outlive a failed assertion.
  struct Arrival {
    std::promise<RecordedEvent> promise;
    std::once_flag once;
  };
  auto stopped = std::make_shared<Arrival>();
  events_->SetHook([stopped](const RecordedEvent& e) {
    if (e.mclass == mcAsas && e.msg.value_or("").find("stopped") != std::string::npos)
      std::call_once(stopped->once, [&] { stopped->promise.set_value(e); });
  });
  RefPtr<IAsasClient> client;
  ASSERT_EQ(CreateAsasObject("Asas.Client", &client), S_OK);
  ASSERT_EQ(client->ClientStop(), S_OK);
  std::future<RecordedEvent> arrived = stopped->promise.get_future();
  // A guard against hanging, not a timing requirement.
  ASSERT_EQ(arrived.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  RecordedEvent e = arrived.get();
  EXPECT_EQ(e.origin, moPAnonymizer);
  EXPECT_EQ(e.code, -1);
  EXPECT_EQ(e.file, std::nullopt);
  session_->Stop();  // no hook call can come in after this
  events_->SetHook(nullptr);
}

}  // namespace
}  // namespace qx::testing
