#include "support/daily_log.h"

#include <ctime>
#include <regex>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/system_description.h"

namespace qx {
namespace {

using testing::ReadFile;
using testing::TempDir;

std::string Today() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char b[32];
  std::snprintf(b, sizeof b, "%d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return b;
}

TEST(DailyLog, FirstLineIsTheGeneratorTextThenOneLinePerEvent) {
  TempDir t;
  std::string session;
  {
    DailyLog log;
    ASSERT_TRUE(log.EnsureOpen(t.path(), &session));
    EXPECT_EQ(session, Today());
    log.WriteLine(1, 2, 0, 0, std::nullopt, std::string("Einlesen gestartet"));
    log.WriteLine(3, 0, 0, 13, std::string("a\nb.xml"), std::nullopt);
  }
  std::string content = ReadFile(t / ("logs/" + Today() + ".log"));
  std::regex expected(std::string("qendix-Praxis V2\\.1\\.14 / [^\n]*\n") +
                      "[0-9]+\\|1\\|2\\|0\\|0\\|\\(null\\)\\|Einlesen gestartet\n"
                      "[0-9]+\\|3\\|0\\|0\\|13\\|a b\\.xml\\|\\(null\\)\n");
  EXPECT_TRUE(std::regex_match(content, expected)) << content;

  // Reopened later the same day: appended, no second generator line.
  DailyLog again;
  session.clear();
  ASSERT_TRUE(again.EnsureOpen(t.path(), &session));
  again.WriteLine(1, 2, 0, 1, std::nullopt, std::string("x"));
  std::string after = ReadFile(t / ("logs/" + Today() + ".log"));
  EXPECT_EQ(after.rfind("qendix-Praxis", 0), 0u);
  EXPECT_EQ(after.find("qendix-Praxis", 1), std::string::npos);
}

TEST(DailyLog, NoWorkDirectoryNoFile) {
  DailyLog log;
  std::string session = "kept";
  EXPECT_FALSE(log.EnsureOpen("", &session));
  EXPECT_EQ(session, "kept");
  EXPECT_FALSE(log.EnsureOpen("/proc/nonexistent/dir", &session));
}

TEST(SystemDescription, OneLineWithTheKernel) {
  std::string d = SystemDescription();
  EXPECT_NE(d.find("Linux"), std::string::npos);
  EXPECT_EQ(d.find('\n'), std::string::npos);
  EXPECT_EQ(GeneratorText(), "qendix-Praxis V2.1.14 / " + d);
}

}  // namespace
}  // namespace qx
