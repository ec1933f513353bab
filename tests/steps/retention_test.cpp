// Retention of day folders and day logs: what expires, that only the component's own names are
// removed, that links are never followed and a folder with a stranger in it stays whole, and how
// the setting reads.
#include "steps/retention.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/temp_dir.h"
#include "support/settings.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

class Recorder final : public EventTarget {
 public:
  void RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                  const BStr& file, const BStr& msg) override {
    EXPECT_EQ(origin, moPChecker);
    events.push_back(std::to_string(level) + "|" + std::to_string(mclass) + "|" +
                     std::to_string(code) + "|" + file.value_or("-") +
                     (mclass == mcModule ? "|" + msg.value_or("-") : ""));
  }
  std::vector<std::string> Sorted() const {
    auto copy = events;
    std::sort(copy.begin(), copy.end());
    return copy;
  }
  std::vector<std::string> events;
};

TEST(DayNumberOfName, AcceptsOnlyRealDatesInTheSessionForm) {
  ASSERT_TRUE(DayNumberOfName("1970-01-01"));
  EXPECT_EQ(*DayNumberOfName("1970-01-01"), 0);
  EXPECT_EQ(*DayNumberOfName("2000-03-01") - *DayNumberOfName("2000-02-28"), 2);
  EXPECT_EQ(*DayNumberOfName("2026-01-01") - *DayNumberOfName("2025-12-31"), 1);
  for (const char* bad :
       {"2023-02-29", "2026-13-01", "2026-00-10", "2026-04-31", "2026-1-011", "26-01-0101",
        "2026-01-01.log", "2026_01_01", "+026-01-01", "2026-01-0a", "", "2026-01-1", "2026-01-01 "})
    EXPECT_FALSE(DayNumberOfName(bad)) << bad;
  EXPECT_TRUE(DayNumberOfName("2024-02-29"));
}

class RetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"work", "work/err", "work/archive", "work/logs", "outside"})
      fs::create_directory(tmp_ / d);
    ASSERT_TRUE(testing::WriteFile(tmp_ / "outside/keep.xml", "<a/>"));
  }
  void Folder(const std::string& path, std::initializer_list<const char*> files) {
    fs::create_directory(tmp_ / path);
    for (const char* f : files) ASSERT_TRUE(testing::WriteFile(tmp_ / (path + "/" + f), "x"));
  }
  void Link(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink((tmp_ / target).c_str(), (tmp_ / path).c_str()), 0);
  }
  bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(tmp_ / path)); }
  RetentionScope Scope(int keepDays) {
    return {tmp_ / "work", keepDays, *DayNumberOfName("2026-03-10"), "2026-03-01"};
  }

  testing::TempDir tmp_;
  Recorder recorder_;
};

TEST_F(RetentionTest, RemovesExpiredDaysAndNothingElse) {
  Folder("work/err/2026-03-06", {"a.xml", "a.xml.1"});  // 4 days old: expired
  Folder("work/err/2026-03-07", {"b.xml"});             // 3 days old: kept
  Folder("work/err/2026-03-01", {"c.xml"});             // the session's day: kept
  Folder("work/err/2026-02-01", {"d.xml"});             // holds a folder: kept whole
  Folder("work/err/2026-02-01/sub", {"e.xml"});
  Link("outside", "work/err/2026-02-02");                              // a link: not followed
  Folder("work/err/notes", {"f.txt"});                                 // not a day: not looked at
  ASSERT_TRUE(testing::WriteFile(tmp_ / "work/err/2026-02-03", "x"));  // a file of a day's name
  Folder("work/archive/2026-01-16", {"g.xml", ".g.xml.move-abc123"});
  Folder("work/archive/2026-01-15", {"h.xml"});  // holds a link: kept whole
  Link("outside/keep.xml", "work/archive/2026-01-15/keep.xml");
  Folder("work/logs", {"2026-01-01.log", "2026-03-01.log", "2026-03-09.log", "2026-01-03.txt",
                       "x.log", "2026-02-30.log"});
  Link("outside/keep.xml", "work/logs/2026-01-02.log");
  Folder("work/logs/2026-01-04.log", {});  // a folder of a log's name

  RemoveExpiredDays(Scope(3), recorder_, moPChecker);

  const std::string removed = "1|2|30|", kept = "2|2|31|";
  EXPECT_EQ(recorder_.Sorted(),
            (std::vector<std::string>{
                removed + "archive/2026-01-16|Aufbewahrungsfrist abgelaufen: 2 Dateien entfernt",
                removed + "err/2026-03-06|Aufbewahrungsfrist abgelaufen: 2 Dateien entfernt",
                removed + "logs/2026-01-01.log|Aufbewahrungsfrist abgelaufen: 1 Dateien entfernt",
                kept + "archive/2026-01-15|Aufbewahrungsfrist abgelaufen, aber nicht entfernt",
                kept + "err/2026-02-01|Aufbewahrungsfrist abgelaufen, aber nicht entfernt",
                kept + "err/2026-02-02|Aufbewahrungsfrist abgelaufen, aber nicht entfernt",
                kept + "logs/2026-01-02.log|Aufbewahrungsfrist abgelaufen, aber nicht entfernt",
                kept + "logs/2026-01-04.log|Aufbewahrungsfrist abgelaufen, aber nicht entfernt",
                "3|0|" + std::to_string(ELOOP) + "|err/2026-02-02",
                "3|0|" + std::to_string(ELOOP) + "|logs/2026-01-02.log",
            }));
  for (const char* gone :
       {"work/err/2026-03-06", "work/archive/2026-01-16", "work/logs/2026-01-01.log"})
    EXPECT_FALSE(Exists(gone)) << gone;
  for (const char* stays :
       {"work/err/2026-03-07/b.xml", "work/err/2026-03-01/c.xml", "work/err/2026-02-01/d.xml",
        "work/err/2026-02-01/sub/e.xml", "work/err/2026-02-02", "work/err/notes/f.txt",
        "work/err/2026-02-03", "work/archive/2026-01-15/h.xml", "work/archive/2026-01-15/keep.xml",
        "work/logs/2026-03-01.log", "work/logs/2026-03-09.log", "work/logs/2026-01-03.txt",
        "work/logs/x.log", "work/logs/2026-02-30.log", "work/logs/2026-01-02.log",
        "work/logs/2026-01-04.log", "outside/keep.xml"})
    EXPECT_TRUE(Exists(stays)) << stays;
}

TEST_F(RetentionTest, OffOrLinkedFoldersRemoveNothing) {
  Folder("work/err/2000-01-01", {"a.xml"});
  RemoveExpiredDays(Scope(0), recorder_, moPChecker);
  EXPECT_TRUE(Exists("work/err/2000-01-01/a.xml"));

  // "archive" and "logs" are links to folders elsewhere: neither is looked into.
  fs::remove_all(tmp_ / "work/archive");
  fs::remove_all(tmp_ / "work/logs");
  Folder("outside/2000-01-01", {"b.xml"});
  ASSERT_TRUE(testing::WriteFile(tmp_ / "outside/2000-01-02.log", "x"));
  Link("outside", "work/archive");
  Link("outside", "work/logs");
  RemoveExpiredDays(Scope(1), recorder_, moPChecker);
  EXPECT_TRUE(Exists("outside/2000-01-01/b.xml"));
  EXPECT_TRUE(Exists("outside/2000-01-02.log"));
  EXPECT_FALSE(Exists("work/err/2000-01-01"));
  EXPECT_EQ(recorder_.events.size(), 1u);
}

TEST(ReadKeepDays, ReadsTheSettingAndFailsSafe) {
  testing::TempDir tmp;
  SetSettingsPath(tmp / "qendix.ini");
  EXPECT_EQ(ReadKeepDays(), 0);  // no file
  const std::pair<const char*, int> cases[] = {
      {"keepDays=30", 30},
      {"KEEPDAYS = 7", 7},
      {"keepDays=0", 0},
      {"keepDays=-5", 0},
      {"keepDays=abc", 0},
      {"keepDays=", 0},
      {"keepDays=999999999", kMaxKeepDays},
      {"dlog_max=3", 0},
  };
  for (const auto& [line, days] : cases) {
    ASSERT_TRUE(testing::WriteFile(tmp / "qendix.ini", std::string("[globals]\n") + line + "\n"));
    EXPECT_EQ(ReadKeepDays(), days) << line;
  }
  // A settings file that cannot be read turns the removal off.
  fs::remove(tmp / "qendix.ini");
  fs::create_directory(tmp / "qendix.ini");
  EXPECT_EQ(ReadKeepDays(), 0);
}

}  // namespace
}  // namespace qx
