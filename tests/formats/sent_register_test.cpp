#include "formats/sent_register.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/as_nobody.h"
#include "common/temp_dir.h"
#include "formats/sent_invoices.h"

namespace qx {
namespace {

constexpr int64_t kDay = 86400;

int64_t Now() {
  return static_cast<int64_t>(std::time(nullptr));
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class SentRegisterTest : public ::testing::Test {
 protected:
  std::string RegisterPath() const { return dir_ / "qendix.log"; }
  std::string SettingsPath() const { return dir_ / "qendix.ini"; }

  testing::TempDir dir_;
};

// ---- File format ------------------------------------------------------------------------------

TEST_F(SentRegisterTest, SavesTheHeaderAndOneLinePerEntry) {
  SentRegister reg(SettingsPath());
  EXPECT_TRUE(reg.Load(RegisterPath()));  // no file yet: a new, empty register
  int64_t t = Now() - 10;
  reg.Add("Z123456", "2005-0042", "125.50", t);
  ASSERT_TRUE(reg.Save());
  EXPECT_EQ(testing::ReadFile(RegisterPath()),
            "qxdl-1.0\r\n2005-0042|125.50|" + std::to_string(t) + "|Z123456\r\n");
}

// A delivery is appended at once, so that a crash before the save cannot forget it.
TEST_F(SentRegisterTest, AppendAddedWritesNewEntriesAtOnceOnLinesOfTheirOwn) {
  const std::string line = "|1.00|" + std::to_string(Now()) + "|Z\r\n";
  struct Case {
    const char* label;
    const char* before;  // nullptr: no file
    std::string after;
  } cases[] = {
      {"no file", nullptr, "qxdl-1.0\r\nA" + line},
      {"whole lines", "qxdl-1.0\r\n", "qxdl-1.0\r\nA" + line},
      {"a line cut by a crash", "qxdl-1.0\r\nB|2.0", "qxdl-1.0\r\nB|2.0\r\nA" + line},
  };
  for (const Case& c : cases) {
    ::unlink(RegisterPath().c_str());
    if (c.before) {
      ASSERT_TRUE(testing::WriteFile(RegisterPath(), c.before));
    }
    SentRegister reg(SettingsPath());
    ASSERT_TRUE(reg.Load(RegisterPath())) << c.label;
    reg.Add("Z", "A", "1.00", Now());
    ASSERT_TRUE(reg.AppendAdded()) << c.label;
    EXPECT_TRUE(reg.AppendAdded()) << "nothing new: " << c.label;
    EXPECT_EQ(testing::ReadFile(RegisterPath()), c.after) << c.label;
    EXPECT_TRUE(reg.dirty()) << "the save still applies the retention: " << c.label;
  }
  // A register that could not be loaded is not appended to either.
  ASSERT_TRUE(testing::WriteFile(RegisterPath(), "not a register\r\n"));
  SentRegister broken(SettingsPath());
  ASSERT_FALSE(broken.Load(RegisterPath()));
  broken.Add("Z", "A", "1.00");
  EXPECT_FALSE(broken.AppendAdded());
  EXPECT_EQ(testing::ReadFile(RegisterPath()), "not a register\r\n");
}

TEST_F(SentRegisterTest, RoundTripsEntriesInTheOrderTheyWereAdded) {
  SentRegister reg(SettingsPath());
  reg.Load(RegisterPath());
  int64_t t = Now();
  reg.Add("Z2", "B", "2.00", t - 3);
  reg.Add("Z1", "A", "1.00", t - 2);
  reg.Add("Z3", "B", "3.00", t - 1);  // same identifier twice: both kept
  reg.Add("Z4", "\xC3\xA9", "4.00", t);
  ASSERT_TRUE(reg.Save());
  const std::string ts = std::to_string(t);
  const std::string lines = "B|2.00|" + std::to_string(t - 3) + "|Z2\r\nA|1.00|" +
                            std::to_string(t - 2) + "|Z1\r\nB|3.00|" + std::to_string(t - 1) +
                            "|Z3\r\n\xC3\xA9|4.00|" + ts + "|Z4\r\n";
  EXPECT_EQ(testing::ReadFile(RegisterPath()), "qxdl-1.0\r\n" + lines);

  SentRegister again(SettingsPath());
  ASSERT_TRUE(again.Load(RegisterPath()));
  EXPECT_EQ(again.size(), 4u);
  EXPECT_FALSE(again.dirty());
  // A later save that must drop an entry rewrites the rest in the same order.
  again.Add("Z5", "OLD", "5.00", t - 400 * kDay);
  ASSERT_TRUE(again.Save());
  EXPECT_EQ(testing::ReadFile(RegisterPath()), "qxdl-1.0\r\n" + lines);
}

TEST_F(SentRegisterTest, LoadReadsLegacyLinesAndSkipsMalformedOnes) {
  int64_t t = Now();
  std::string ts = std::to_string(t);
  ASSERT_TRUE(testing::WriteFile(RegisterPath(),
                                 "qxdl-1.0\n"
                                 "A|1.00|" +
                                     ts +
                                     "|Z1\n"
                                     "broken line\r\n"
                                     "B|2.00|notime|Z2\r\n"
                                     "\r\n"
                                     "C|3.00|" +
                                     ts + "|Z3"));  // no line end
  SentRegister reg(SettingsPath());
  ASSERT_TRUE(reg.Load(RegisterPath()));
  ASSERT_EQ(reg.size(), 2u);
  EXPECT_TRUE(reg.Find("Z1", "A", "1.00"));
  EXPECT_TRUE(reg.Find("Z3", "C", "3.00"));
  EXPECT_EQ(reg.path(), RegisterPath());
}

TEST_F(SentRegisterTest, ALongLineDoesNotEndTheReading) {
  std::string ts = std::to_string(Now());
  std::string longId(5000, 'L');
  std::string hugeId(200000, 'H');
  ASSERT_TRUE(testing::WriteFile(RegisterPath(), "qxdl-1.0\r\n" + longId + "|1|" + ts + "|Z\r\n" +
                                                     hugeId + "|1|" + ts + "|Z\r\nB|2|" + ts +
                                                     "|Z\r\n"));
  SentRegister reg(SettingsPath());
  ASSERT_TRUE(reg.Load(RegisterPath()));
  EXPECT_TRUE(reg.Find("Z", longId, "1"));
  EXPECT_FALSE(reg.Find("Z", hugeId, "1"));
  EXPECT_TRUE(reg.Find("Z", "B", "2"));
}

// Lines are read in large pieces: every line is read whole wherever the pieces end, a line of
// 64 KiB is still an entry, a longer one is passed over up to its line end.
TEST_F(SentRegisterTest, LinesAreReadWholeAcrossPiecesUpToTheirLimit) {
  const std::string ts = std::to_string(Now());
  const std::string tail = "|1|" + ts + "|Z";
  const std::string longest(64 * 1024 - tail.size(), 'L');
  const std::string tooLong(64 * 1024 + 1 - tail.size(), 'T');
  std::string file = "qxdl-1.0\r\n";
  std::vector<std::string> ids;
  for (int i = 0; i < 30000; ++i) {
    ids.push_back("ID-" + std::to_string(i));
    file += ids.back() + tail + (i % 2 ? "\r\n" : "\n");
    if (i == 7000) file += longest + tail + "\n";
    if (i == 9000) file += tooLong + tail + "\r\n";
  }
  for (const std::string& last : {std::string("LAST"), tooLong}) {
    ASSERT_TRUE(testing::WriteFile(RegisterPath(), file + last + tail));  // no line end
    SentRegister reg(SettingsPath());
    ASSERT_TRUE(reg.Load(RegisterPath()));
    EXPECT_EQ(reg.size(), ids.size() + (last == "LAST" ? 2 : 1));
    size_t found = 0;
    for (const std::string& id : ids) found += reg.Find("Z", id, "1");
    EXPECT_EQ(found, ids.size());
    EXPECT_TRUE(reg.Find("Z", longest, "1"));
    EXPECT_FALSE(reg.Find("Z", tooLong, "1"));
    EXPECT_EQ(reg.Find("Z", "LAST", "1"), last == "LAST");
  }
}

// A file whose history cannot be known fails the load and is never replaced by a save.
TEST_F(SentRegisterTest, ARegisterThatCannotBeReadIsNeverReplaced) {
  std::string ts = std::to_string(Now());
  const std::pair<const char*, std::string> files[] = {
      {"another header", "qxdl-2.0\r\nA|1.00|" + ts + "|Z1\r\n"},
      {"a cut header", "qxdl-1\r\nA|1.00|" + ts + "|Z1\r\n"},
      {"an empty file", ""},
  };
  for (const auto& [what, content] : files) {
    ASSERT_TRUE(testing::WriteFile(RegisterPath(), content));
    SentRegister reg(SettingsPath());
    EXPECT_FALSE(reg.Load(RegisterPath())) << what;
    EXPECT_TRUE(reg.loadFailed()) << what;
    reg.Add("Z2", "B", "2.00", Now());
    EXPECT_FALSE(reg.Save()) << what;
    EXPECT_EQ(testing::ReadFile(RegisterPath()), content) << what;
  }
  // A folder in its place fails with the system's cause.
  ASSERT_EQ(unlink(RegisterPath().c_str()), 0);
  ASSERT_EQ(mkdir(RegisterPath().c_str(), 0700), 0);
  SentRegister reg(SettingsPath());
  EXPECT_FALSE(reg.Load(RegisterPath()));
  EXPECT_EQ(reg.loadError(), EINVAL);
}

TEST_F(SentRegisterTest, AByteOrderMarkBeforeTheHeaderIsRead) {
  ASSERT_TRUE(testing::WriteFile(
      RegisterPath(), "\xEF\xBB\xBFqxdl-1.0\r\nA|1.00|" + std::to_string(Now()) + "|Z1\r\n"));
  SentRegister reg(SettingsPath());
  ASSERT_TRUE(reg.Load(RegisterPath()));
  EXPECT_TRUE(reg.Find("Z1", "A", "1.00"));
}

TEST_F(SentRegisterTest, ValuesWithSeparatorsOrEmptyValuesRoundTrip) {
  SentRegister reg(SettingsPath());
  reg.Load(RegisterPath());
  int64_t t = Now();
  reg.Add("Z1", "2005|0042", "100.00", t);
  reg.Add("Z1", "line\r\nbreak", "1|2", t);
  reg.Add("", "no-zsr", "5.00", t);
  reg.Add("Z1", "no-amount", "", t);
  reg.Add("Z1", "plain", "7.00", t);
  ASSERT_TRUE(reg.Save());
  std::string file = testing::ReadFile(RegisterPath());
  EXPECT_NE(file.find("\r\nplain|7.00|" + std::to_string(t) + "|Z1\r\n"), std::string::npos);

  SentRegister again(SettingsPath());
  ASSERT_TRUE(again.Load(RegisterPath()));
  EXPECT_EQ(again.size(), 5u);
  EXPECT_TRUE(again.Find("Z1", "2005|0042", "100.00"));
  EXPECT_FALSE(again.Find("Z1", "2005|0042", "-100.00"));
  EXPECT_FALSE(again.Find("Z1", "2005", "100.00"));
  EXPECT_TRUE(again.Find("Z1", "line\r\nbreak", "7"));
  EXPECT_TRUE(again.Find("", "no-zsr", "5.00"));
  EXPECT_FALSE(again.Find("", "no-zsr", "-5.00"));
  EXPECT_TRUE(again.Find("Z1", "no-amount", "-3.00"));  // no number: never a reversal
}

// ---- Duplicate rule ---------------------------------------------------------------------------

TEST_F(SentRegisterTest, SameIdentifierAndZsrIsADuplicateUnlessReversed) {
  SentRegister reg(SettingsPath());
  reg.Add("Z1", "R-1", "100.00");
  EXPECT_TRUE(reg.Find("Z1", "R-1", "100.00"));
  EXPECT_TRUE(reg.Find("Z1", "R-1", "80.00"));
  EXPECT_TRUE(reg.Find("Z1", "R-1", "100"));
  EXPECT_FALSE(reg.Find("Z1", "R-1", "-100.00"));  // a reversal
  EXPECT_FALSE(reg.Find("Z2", "R-1", "100.00"));
  EXPECT_FALSE(reg.Find("Z1", "R-2", "100.00"));
  EXPECT_FALSE(reg.Find("Z1", "R-", "100.00"));
}

TEST_F(SentRegisterTest, ComparesAmountsAsNumbers) {
  SentRegister reg(SettingsPath());
  reg.Add("Z1", "A", "125.5");
  reg.Add("Z1", "Zero", "0.00");
  EXPECT_TRUE(reg.Find("Z1", "A", "125.50"));
  EXPECT_FALSE(reg.Find("Z1", "A", "-125.500"));
  EXPECT_TRUE(reg.Find("Z1", "Zero", "0"));
  EXPECT_TRUE(reg.Find("Z1", "Zero", "-0.00"));  // zero against zero is a duplicate
}

TEST_F(SentRegisterTest, AmountsThatAreNoNumbersCannotBeReversals) {
  SentRegister reg(SettingsPath());
  reg.Add("Z1", "A", "n/a");
  reg.Add("Z1", "B", "10.00");
  EXPECT_TRUE(reg.Find("Z1", "A", "-10.00"));
  EXPECT_TRUE(reg.Find("Z1", "B", "x"));
  EXPECT_TRUE(reg.Find("Z1", "B", ""));
}

TEST_F(SentRegisterTest, AnyEntryOfTheIdentifierMayMatch) {
  SentRegister reg(SettingsPath());
  reg.Add("Z1", "A", "10.00");
  reg.Add("Z1", "A", "-10.00");  // registered reversal
  EXPECT_TRUE(reg.Find("Z1", "A", "-10.00"));
  EXPECT_TRUE(reg.Find("Z1", "A", "10.00"));
}

TEST_F(SentRegisterTest, ALongZsrMatchesItsOwnFullForm) {
  SentRegister reg(SettingsPath());
  reg.Load(RegisterPath());
  reg.Add("Z12345678", "A", "1.00", Now());
  EXPECT_TRUE(reg.Find("Z12345678", "A", "1.00"));
  EXPECT_TRUE(reg.Find("Z123456", "A", "1.00"));
  EXPECT_FALSE(reg.Find("Z12345", "A", "1.00"));
  ASSERT_TRUE(reg.Save());
  EXPECT_TRUE(testing::ReadFile(RegisterPath()).ends_with("|Z123456\r\n"));
}

// Identifier and provider key are kept apart: the same bytes split differently are another
// invoice, and so are keys that differ in one byte anywhere.
TEST_F(SentRegisterTest, IdentifierAndProviderAreComparedAsAPair) {
  const std::string longId(300, 'x');
  const struct {
    const char *zsr, *id, *otherZsr, *otherId;
  } cases[] = {
      {"C", "AB", "BC", "A"},
      {"Z1", "1", "Z", "11"},
      {"", "A", "A", ""},
      {"Z1", longId.c_str(), "Z2", longId.c_str()},
      {"Z1", "2005-0042", "Z1", "2005-0043"},
  };
  for (const auto& c : cases) {
    SentRegister reg(SettingsPath());
    reg.Add(c.zsr, c.id, "1.00");
    EXPECT_TRUE(reg.Find(c.zsr, c.id, "1.00")) << c.zsr << "/" << c.id;
    EXPECT_FALSE(reg.Find(c.otherZsr, c.otherId, "1.00")) << c.otherZsr << "/" << c.otherId;
  }
}

TEST_F(SentRegisterTest, KeysOfAFileAreCheckedAndRecordedPairwise) {
  SentRegister reg(SettingsPath());
  InvoiceKeys sent{{"A", "B"}, {"1.00", "2.00"}, {}, "Z1", {}};
  EXPECT_FALSE(IsDuplicate(reg, sent));
  RecordSent(reg, sent);
  EXPECT_EQ(reg.size(), 2u);
  EXPECT_TRUE(reg.dirty());
  EXPECT_TRUE(IsDuplicate(reg, InvoiceKeys{{"C", "B"}, {"3.00", "5.00"}, {}, "Z1", {}}));
  EXPECT_FALSE(IsDuplicate(reg, InvoiceKeys{{"B"}, {"-2.00"}, {}, "Z1", {}}));
  EXPECT_FALSE(IsDuplicate(reg, InvoiceKeys{{"A"}, {"1.00"}, {}, "Z2", {}}));
  // An identifier without amount is checked and recorded with an empty amount.
  EXPECT_TRUE(IsDuplicate(reg, InvoiceKeys{{"X", "A"}, {"9.00"}, {}, "Z1", {}}));
  RecordSent(reg, InvoiceKeys{{"D", "E"}, {"4.00"}, {}, "Z1", {}});
  EXPECT_TRUE(reg.Find("Z1", "E", "-7.00"));
}

// ---- Retention --------------------------------------------------------------------------------

class RetentionTest : public SentRegisterTest {
 protected:
  // Saves a register with entries sent `days` ago and returns which of them the file keeps.
  std::vector<int> KeptAfterSave(const std::vector<int>& days) {
    SentRegister reg(SettingsPath());
    reg.Load(RegisterPath());
    int64_t now = Now();
    for (int d : days) reg.Add("Z", "D" + std::to_string(d), "1.00", now - d * kDay);
    EXPECT_TRUE(reg.Save());
    SentRegister again(SettingsPath());
    EXPECT_TRUE(again.Load(RegisterPath()));
    std::vector<int> kept;
    for (int d : days)
      if (again.Find("Z", "D" + std::to_string(d), "1.00")) kept.push_back(d);
    return kept;
  }
};

TEST_F(RetentionTest, WithoutSettingEntriesAreKeptForThirtyDays) {
  EXPECT_EQ(KeptAfterSave({1, 29, 31, 400}), (std::vector<int>{1, 29}));
}

TEST_F(RetentionTest, DlogMaxGivesMonthsOfThirtyDays) {
  ASSERT_TRUE(testing::WriteFile(SettingsPath(),
                                 "[other]\r\ndlog_max=9\r\n[Globals]\r\n"
                                 "  DLOG_MAX = 2 \r\n"));
  EXPECT_EQ(KeptAfterSave({29, 59, 61}), (std::vector<int>{29, 59}));
}

TEST_F(RetentionTest, ZeroOrNegativeCountsAsOneMonth) {
  ASSERT_TRUE(testing::WriteFile(SettingsPath(), "[globals]\ndlog_max=-3\n"));
  EXPECT_EQ(KeptAfterSave({29, 31}), (std::vector<int>{29}));
}

TEST(DlogMaxTest, ReadsTheValueLikeTheProfileFunctions) {
  testing::TempDir dir;
  std::string ini = dir / "qendix.ini";
  EXPECT_EQ(ReadDlogMaxMonths(ini), 1);  // no file
  const std::pair<const char*, int> cases[] = {
      {"[globals]\n;dlog_max=4\ndlog_max=\"6\"\n", 6},
      {"[globals]\ndlog_max=12 months\n", 12},
      {"[globals]\ndlog_max=99999999999999\n", 2147483647},
      {"[globalsx]\ndlog_max=5\n", 1},
      {"[globals]\ndlog_max=0\n", 1},
      {"[globals]\ndlog_max=abc\n", 1},
      {"[globals]\ndlog_max=\n", 1},
  };
  for (const auto& [text, months] : cases) {
    ASSERT_TRUE(testing::WriteFile(ini, text));
    EXPECT_EQ(ReadDlogMaxMonths(ini), months) << text;
  }
}

TEST_F(RetentionTest, UnreadableSettingsKeepEverything) {
  ASSERT_EQ(mkdir(SettingsPath().c_str(), 0700), 0);  // a "qendix.ini" that cannot be read
  EXPECT_EQ(KeptAfterSave({1, 31, 5000}), (std::vector<int>{1, 31, 5000}));
}

TEST_F(RetentionTest, AHugeRetentionKeepsEverything) {
  ASSERT_TRUE(testing::WriteFile(SettingsPath(), "[globals]\ndlog_max=2147483647\n"));
  EXPECT_EQ(KeptAfterSave({1, 5000}), (std::vector<int>{1, 5000}));
}

// ---- Saving -----------------------------------------------------------------------------------

TEST_F(SentRegisterTest, SaveWritesOnlyAfterAChange) {
  std::string old = "qxdl-1.0\r\nA|1.00|1|Z\r\n";  // expired, but nothing was added
  ASSERT_TRUE(testing::WriteFile(RegisterPath(), old));
  SentRegister reg(SettingsPath());
  ASSERT_TRUE(reg.Load(RegisterPath()));
  EXPECT_TRUE(reg.Save());
  EXPECT_EQ(testing::ReadFile(RegisterPath()), old);
  reg.Add("Z", "B", "2.00");
  EXPECT_TRUE(reg.Save());
  EXPECT_FALSE(reg.dirty());
  EXPECT_EQ(testing::ReadFile(RegisterPath()).find("A|"), std::string::npos);
}

// A Send job appends each delivery at once; its save rewrites the file only to drop expired
// entries, and then from the file itself, so nothing appended is lost.
TEST_F(SentRegisterTest, SaveRewritesOnlyWhenAnEntryExpired) {
  const std::string fresh = "A|1.00|" + std::to_string(Now() - kDay) + "|Z\r\n";
  const std::string expired = "X|9.00|" + std::to_string(Now() - 40 * kDay) + "|Z\r\n";
  const struct {
    const char* label;
    std::string before;
    bool appended;  // the new entry went in through AppendAdded before the save
    bool rewritten;
  } cases[] = {
      {"appended, nothing expired", fresh, true, false},
      {"appended, one expired", fresh + expired, true, true},
      {"not appended", fresh, false, true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::WriteFile(RegisterPath(), "qxdl-1.0\r\n" + c.before));
    SentRegister reg(SettingsPath());
    ASSERT_TRUE(reg.Load(RegisterPath())) << c.label;
    const int64_t t = Now();
    reg.Add("Z", "B", "2.00", t);
    if (c.appended) {
      ASSERT_TRUE(reg.AppendAdded()) << c.label;
    }
    struct stat before, after;
    ASSERT_EQ(stat(RegisterPath().c_str(), &before), 0);
    ASSERT_TRUE(reg.Save()) << c.label;
    EXPECT_FALSE(reg.dirty()) << c.label;
    ASSERT_EQ(stat(RegisterPath().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino != before.st_ino, c.rewritten) << c.label;
    const std::string added = "B|2.00|" + std::to_string(t) + "|Z\r\n";
    const std::string kept = c.rewritten ? fresh : c.before;
    EXPECT_EQ(testing::ReadFile(RegisterPath()), "qxdl-1.0\r\n" + kept + added) << c.label;
  }
}

// The rewrite reads the file again; when that file is gone or no longer a register, its history
// is unknown and the save fails without writing.
TEST_F(SentRegisterTest, ARewriteOfAFileThatChangedUnderItFails) {
  const std::string old = "qxdl-1.0\r\nA|1.00|" + std::to_string(Now()) + "|Z\r\n";
  const struct {
    const char* label;
    const char* replacement;  // nullptr: the file is removed
    int error;
  } cases[] = {{"removed", nullptr, ENOENT}, {"another header", "qxdl-2.0\r\n", EINVAL}};
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::WriteFile(RegisterPath(), old));
    SentRegister reg(SettingsPath());
    ASSERT_TRUE(reg.Load(RegisterPath()));
    reg.Add("Z", "B", "2.00");
    ::unlink(RegisterPath().c_str());
    if (c.replacement) {
      ASSERT_TRUE(testing::WriteFile(RegisterPath(), c.replacement));
    }
    EXPECT_FALSE(reg.Save()) << c.label;
    EXPECT_EQ(reg.lastError(), c.error) << c.label;
    EXPECT_TRUE(reg.dirty()) << c.label;
    EXPECT_EQ(testing::ReadFile(RegisterPath()), c.replacement ? c.replacement : "") << c.label;
    EXPECT_EQ(FilesIn(dir_.path()),
              c.replacement ? std::vector<std::string>{"qendix.log"} : std::vector<std::string>{})
        << c.label;
  }
}

TEST_F(SentRegisterTest, SaveWithoutPathFails) {
  SentRegister reg(SettingsPath());
  reg.Add("Z", "A", "1.00");
  EXPECT_FALSE(reg.Save());
  EXPECT_TRUE(reg.dirty());
}

TEST_F(SentRegisterTest, SaveKeepsThePermissionsOfTheFileItReplaces) {
  ASSERT_TRUE(testing::WriteFile(RegisterPath(), "qxdl-1.0\r\n"));
  ASSERT_EQ(chmod(RegisterPath().c_str(), 0640), 0);
  SentRegister reg(SettingsPath());
  reg.Load(RegisterPath());
  reg.Add("Z", "A", "1.00");
  ASSERT_TRUE(reg.Save());
  struct stat st;
  ASSERT_EQ(stat(RegisterPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SentRegisterTest, AFullDiskLeavesTheOldRegisterAndKeepsTheEntries) {
  std::string ts = std::to_string(Now());
  std::string old = "qxdl-1.0\r\nOLD|1.00|" + ts + "|Z\r\n";
  ASSERT_TRUE(testing::WriteFile(RegisterPath(), old));
  SentRegister reg(SettingsPath());
  ASSERT_TRUE(reg.Load(RegisterPath()));
  for (int i = 0; i < 2000; ++i) reg.Add("Z", "NEW-" + std::to_string(i), "5.00");

  // Files may not grow beyond 4 KiB for now: writing the register fails like on a full disk.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool saved_ok = reg.Save();
  int error = errno;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);

  EXPECT_FALSE(saved_ok);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(reg.lastError(), EFBIG);
  EXPECT_EQ(testing::ReadFile(RegisterPath()), old);
  EXPECT_EQ(FilesIn(dir_.path()), std::vector<std::string>{"qendix.log"});
  EXPECT_TRUE(reg.dirty());
  EXPECT_EQ(reg.size(), 2001u);

  // With room again the next save writes everything.
  ASSERT_TRUE(reg.Save());
  SentRegister again(SettingsPath());
  ASSERT_TRUE(again.Load(RegisterPath()));
  EXPECT_EQ(again.size(), 2001u);
}

TEST_F(SentRegisterTest, AnUnwritableFolderFailsTheSaveAndLeavesTheFile) {
  std::string folder = dir_ / "ro";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::string path = folder + "/qendix.log";
  std::string old = "qxdl-1.0\r\nOLD|1.00|" + std::to_string(Now()) + "|Z\r\n";
  ASSERT_TRUE(testing::WriteFile(path, old));
  // Root writes into any folder: the save runs as an ordinary user who owns the files.
  const bool asRoot = testing::CanBecomeNobody();
  if (asRoot) {
    for (const std::string& p : {dir_.path(), folder, path})
      ASSERT_EQ(chown(p.c_str(), testing::NobodyUid(), testing::NobodyGid()), 0);
  }
  auto save = [&] {
    SentRegister reg(SettingsPath());
    if (!reg.Load(path)) return 1;
    reg.Add("Z", "NEW", "1.00");
    if (chmod(folder.c_str(), 0500) != 0) return 2;
    const bool saved = reg.Save();
    chmod(folder.c_str(), 0700);
    if (saved) return 3;
    if (reg.lastError() != EACCES) return 4;
    return reg.size() == 2u ? 0 : 5;
  };
  EXPECT_EQ(asRoot ? testing::RunAsNobody(save) : save(), 0);
  EXPECT_EQ(testing::ReadFile(path), old);
}

TEST_F(SentRegisterTest, AMissingFolderOrAFolderInTheWayFailsTheSave) {
  SentRegister reg(SettingsPath());
  reg.Load(dir_ / "missing/qendix.log");
  reg.Add("Z", "A", "1.00");
  EXPECT_FALSE(reg.Save());
  EXPECT_EQ(reg.lastError(), ENOENT);

  // The register path names a folder: the rename fails and no temporary file is left over.
  std::string folder = dir_ / "qendix.log";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  SentRegister blocked(SettingsPath());
  EXPECT_FALSE(blocked.Load(folder));
  blocked.Add("Z", "A", "1.00");
  EXPECT_FALSE(blocked.Save());
  EXPECT_NE(blocked.lastError(), 0);
  EXPECT_EQ(FilesIn(dir_.path()), std::vector<std::string>{"qendix.log"});
  EXPECT_EQ(blocked.size(), 1u);
}

}  // namespace
}  // namespace qx
