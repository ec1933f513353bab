// The C interface: handles, results, callbacks with payload, the last error text, and no
// callback after qendix_unadvise or qendix_free returned.
#include "qendix/qendix_c.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/component_fixture.h"
#include "component/job_control.h"

namespace qx::testing {
namespace {

struct Collected {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> lines;
  bool ended = false;
};

void OnEvent(int level, int mclass, int origin, int code, const char* file, const char* msg,
             void* payload) {
  auto* c = static_cast<Collected*>(payload);
  std::lock_guard lock(c->mutex);
  c->lines.push_back(std::to_string(level) + "|" + std::to_string(code) + "|" +
                     (file ? file : "(null)") + "|" + (msg ? msg : "(null)"));
  if (mclass == 2 && code == 1 && origin == 0) c->ended = true;
  c->cv.notify_all();
}

TEST(CApi, RunsAReadJobWithACallback) {
  unsetenv("LANG");
  TempDir t;
  mkdir((t / "in").c_str(), 0755);
  mkdir((t / "work").c_str(), 0755);
  WriteFile(t / "in/a.xml", "<?xml");
  qendix* q = nullptr;
  ASSERT_EQ(qendix_open(&q), 0);
  EXPECT_EQ(qendix_set(q, "inputDirectory", (t / "in").c_str()), 0);
  EXPECT_EQ(qendix_set(q, "workDirectory", (t / "work").c_str()), 0);
  EXPECT_EQ(qendix_set(q, "withPDF", "true"), 0);
  EXPECT_LT(qendix_set(q, "withPDF", "1"), 0);
  EXPECT_NE(std::string(qendix_last_error()).find("boolean"), std::string::npos);
  EXPECT_LT(qendix_set(q, "nonsense", "x"), 0);

  char* value = nullptr;
  ASSERT_EQ(qendix_get(q, "withPDF", &value), 0);
  EXPECT_STREQ(value, "true");
  qendix_string_free(value);
  ASSERT_EQ(qendix_get(q, "qendixVersion", &value), 0);
  EXPECT_STREQ(value, "qendix-Praxis V2.1.14");
  qendix_string_free(value);
  EXPECT_EQ(qendix_get(q, "activateGUI", &value), static_cast<int>(E_NOTIMPL));

  Collected c;
  unsigned cookie = 0;
  ASSERT_EQ(qendix_advise(q, OnEvent, &c, &cookie), 0);
  ASSERT_EQ(qendix_start(q, "read"), 0);
  {
    std::unique_lock lock(c.mutex);
    ASSERT_TRUE(c.cv.wait_for(lock, std::chrono::seconds(20), [&] { return c.ended; }));
  }
  EXPECT_EQ(c.lines[2], "1|2|a.xml|Datei erfolgreich kopiert");
  EXPECT_EQ(qendix_unadvise(q, cookie), 0);
  EXPECT_LT(qendix_unadvise(q, cookie), 0);
  EXPECT_LT(qendix_start(q, "dance"), 0);
  qendix_free(q);
  EXPECT_EQ(qendix_open(nullptr), static_cast<int>(E_POINTER));
}

// Opens a handle on fresh folders (an empty invoice folder: the job still sends four events).
qendix* OpenOnEmptyFolders(const TempDir& t) {
  mkdir((t / "in").c_str(), 0755);
  mkdir((t / "work").c_str(), 0755);
  qendix* q = nullptr;
  EXPECT_EQ(qendix_open(&q), QENDIX_OK);
  EXPECT_EQ(qendix_set(q, "inputDirectory", (t / "in").c_str()), QENDIX_OK);
  EXPECT_EQ(qendix_set(q, "workDirectory", (t / "work").c_str()), QENDIX_OK);
  return q;
}

void WaitForLastJob() {
  ASSERT_EQ(WaitForJobsEnded(LastJobNumber(), -1), S_OK);
}

// A callback that, on the first event, either disconnects itself or stays inside for a while
// so that the test thread disconnects it meanwhile.
struct Disconnecting {
  qendix* q = nullptr;
  unsigned cookie = 0;
  bool from_callback = false;
  bool free_handle = false;
  std::promise<void> entered;
  std::atomic<int> calls{0};
  std::atomic<bool> returned{false};
  int inner_rc = -1;
};

void OnDisconnectingEvent(int, int, int, int, const char*, const char*, void* payload) {
  auto* d = static_cast<Disconnecting*>(payload);
  if (d->calls.fetch_add(1) > 0) return;
  if (d->from_callback) {
    d->inner_rc = QENDIX_OK;
    if (d->free_handle)
      qendix_free(d->q);
    else
      d->inner_rc = qendix_unadvise(d->q, d->cookie);
  } else {
    d->entered.set_value();
    // Widens the window in which the test thread disconnects while this call runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  d->returned = true;
}

TEST(CApi, DisconnectWaitsForTheRunningCallbackAndNoneFollows) {
  struct Case {
    const char* name;
    bool from_callback, free_handle;
  };
  for (const Case& c : {Case{"unadvise from the host thread", false, false},
                        Case{"free from the host thread", false, true},
                        Case{"unadvise inside the callback", true, false},
                        Case{"free inside the callback", true, true}}) {
    SCOPED_TRACE(c.name);
    TempDir t;
    Disconnecting d;
    d.from_callback = c.from_callback;
    d.free_handle = c.free_handle;
    d.q = OpenOnEmptyFolders(t);
    ASSERT_EQ(qendix_advise(d.q, OnDisconnectingEvent, &d, &d.cookie), QENDIX_OK);
    ASSERT_EQ(qendix_start(d.q, "read"), QENDIX_OK);
    if (!c.from_callback) {
      d.entered.get_future().wait();
      if (c.free_handle)
        qendix_free(d.q);
      else
        EXPECT_EQ(qendix_unadvise(d.q, d.cookie), QENDIX_OK);
      EXPECT_TRUE(d.returned);  // the call in progress ended before the disconnect returned
    }
    WaitForLastJob();
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(d.inner_rc, c.from_callback ? QENDIX_OK : -1);
    if (!c.free_handle) qendix_free(d.q);
  }
}

// The connection point delivers an event to a snapshot of its sinks: a sink disconnected while
// an earlier sink holds that event must not get it afterwards.
struct Counting {
  std::promise<void> entered, gate;
  std::atomic<int> calls{0};
};

void OnGatedEvent(int, int, int, int, const char*, const char*, void* payload) {
  auto* g = static_cast<Counting*>(payload);
  if (g->calls.fetch_add(1) == 0) {
    g->entered.set_value();
    g->gate.get_future().wait();
  }
}

void OnCountedEvent(int, int, int, int, const char*, const char*, void* payload) {
  ++static_cast<Counting*>(payload)->calls;
}

TEST(CApi, NoCallbackAfterUnadviseReturnsEvenForAnEventInFlight) {
  TempDir t;
  qendix* q = OpenOnEmptyFolders(t);
  Counting first, second;
  unsigned first_cookie = 0, second_cookie = 0;
  ASSERT_EQ(qendix_advise(q, OnGatedEvent, &first, &first_cookie), QENDIX_OK);
  ASSERT_EQ(qendix_advise(q, OnCountedEvent, &second, &second_cookie), QENDIX_OK);
  ASSERT_EQ(qendix_start(q, "read"), QENDIX_OK);
  first.entered.get_future().wait();
  EXPECT_EQ(qendix_unadvise(q, second_cookie), QENDIX_OK);
  first.gate.set_value();
  EXPECT_EQ(qendix_wait(q, -1), QENDIX_OK);
  EXPECT_EQ(second.calls, 0);
  EXPECT_EQ(first.calls, 4);
  qendix_free(q);
}

}  // namespace
}  // namespace qx::testing
