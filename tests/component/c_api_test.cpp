// The C interface: handles, results, callbacks with payload, the last error text.
#include "qendix/qendix_c.h"

#include <stdlib.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/component_fixture.h"

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

}  // namespace
}  // namespace qx::testing
