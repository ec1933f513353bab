// The qendix command's code and logins commands as scripts use them: the code object's results
// on stdout, one per line, and exit status 4 for a failing result.
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include "common/process.h"
#include "common/temp_dir.h"

namespace qx::testing {
namespace {

const std::string kQendix = QENDIX_BINARY_DIR "/bin/qendix";
const std::string kAsasctl = QENDIX_BINARY_DIR "/bin/asasctl";
const std::string kAsasLibrary = QENDIX_BINARY_DIR "/lib/libasas.so.1";
// A status digit other than 0 comes with a tail of zeros.
const std::string kZeroTail(28, '0');

// A local calendar date `days` from now, "YYYY-MM-DD".
std::string LocalDate(int days) {
  time_t now = time(nullptr) + static_cast<time_t>(days) * 86400;
  struct tm local {};
  localtime_r(&now, &local);
  char text[16];
  strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

class CodeAndLogins : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(Module().c_str(), 0755), 0); }

  std::string Module() const { return temp_ / "module"; }
  std::string AsasHome() const { return temp_ / "asas"; }

  // Runs `qendix --module-dir M args...`; `library` is what QENDIX_ASAS_LIBRARY names.
  ProcessResult Qendix(const std::vector<std::string>& args,
                       const std::string& library = "/nonexistent") {
    std::vector<std::string> argv = {kQendix, "--module-dir", Module()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv,
                      {"PATH=/usr/bin:/bin", "QENDIX_LOCK_FILE=" + (temp_ / "job.lock"),
                       "QENDIX_ASAS_LIBRARY=" + library, "ASAS_HOME=" + AsasHome()},
                      temp_.path());
  }
  // `code person FIRST LAST DATE ZIP`; the printed identifier, or the failure.
  std::string Person(const std::string& first, const std::string& last, const std::string& date,
                     const std::string& zip) {
    ProcessResult r = Qendix({"code", "person", first, last, date, zip});
    return r.status == 0 ? r.out : "exit " + std::to_string(r.status) + ": " + r.err;
  }

  TempDir temp_;
};

TEST_F(CodeAndLogins, SoundexOfNames) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Robert", "R163"},   {"Rupert", "R163"}, {"Pfister", "P236"}, {"Tymczak", "T522"},
      {"Ashcraft", "A261"}, {"Lloyd", "L300"},  {"Anna", "A000"},    {"Müller", "M460"}};
  std::vector<std::string> args;
  std::string expected;
  for (const auto& [name, code] : cases) {
    args.insert(args.end(), {"code", "soundex", name});
    expected += code + "\n";
  }
  ProcessResult r = Qendix(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);

  r = Qendix({"code", "soundex", "R2D2"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out, "");
}

TEST_F(CodeAndLogins, PatientAndPersonIdentifiers) {
  ProcessResult r = Qendix({"code", "patient", "abc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "a00c26c9cd0d89d\n");
  EXPECT_EQ(Person("Anna", "Robert", "1965-03-12", "8001"), "a0d2564efa6f8a373b59c65177ec03\n");
  // Blanks around the names are not part of them.
  EXPECT_EQ(Person(" Anna ", "Robert ", "1965-03-12", "8001"), "a0d2564efa6f8a373b59c65177ec03\n");
}

TEST_F(CodeAndLogins, PersonStatusDigitNamesTheUnusableParts) {
  // 1: first name invalid (empty, or shorter than two characters, or with a digit or a dot).
  EXPECT_EQ(Person("", "Robert", "1965-03-12", "8001"), "a1" + kZeroTail + "\n");
  EXPECT_EQ(Person("A.", "Robert", "1965-03-12", "8001"), "a1" + kZeroTail + "\n");
  // 2: last name invalid.
  EXPECT_EQ(Person("Anna", "R", "1965-03-12", "8001"), "a2" + kZeroTail + "\n");
  // 4: born before 1870 or in the future.
  EXPECT_EQ(Person("Anna", "Robert", "1869-12-31", "8001"), "a4" + kZeroTail + "\n");
  EXPECT_EQ(Person("Anna", "Robert", LocalDate(2), "8001"), "a4" + kZeroTail + "\n");
  // 8: the postal code is not four characters read as a number from 1000 to 9999.
  EXPECT_EQ(Person("Anna", "Robert", "1965-03-12", "0999"), "a8" + kZeroTail + "\n");
  EXPECT_EQ(Person("Anna", "Robert", "1965-03-12", "12345"), "a8" + kZeroTail + "\n");
  // All four at once.
  EXPECT_EQ(Person("A.", "R2", "1869-12-31", "801"), "af" + kZeroTail + "\n");

  // The edges that are still valid: 1870-01-01, today and 9999.
  for (const std::string& id : {Person("Anna", "Robert", "1870-01-01", "8001"),
                                Person("Anna", "Robert", "1965-03-12", "9999")}) {
    ASSERT_EQ(id.size(), 31u) << id;
    EXPECT_EQ(id.substr(0, 2), "a0");
    EXPECT_NE(id.substr(2, 28), kZeroTail);
  }
  const std::string today = LocalDate(0);
  const std::string id = Person("Anna", "Robert", today, "8001");
  if (LocalDate(0) == today) {  // unless midnight passed meanwhile
    EXPECT_EQ(id.substr(0, 2), "a0") << id;
  }
}

TEST_F(CodeAndLogins, MalformedArgumentsFail) {
  for (const char* date : {"1965-13-01", "12.03.1965", "1965-02-30", "1965-3-12", " 1965-3-12",
                           "1965-03- 1", "+965-03-12"}) {
    ProcessResult r = Qendix({"code", "person", "Anna", "Robert", date, "8001"});
    EXPECT_EQ(r.status, 4) << date;
    EXPECT_EQ(r.out, "") << date;
    EXPECT_NE(r.err.find("0x80070057"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Qendix({"code", "person", "Anna", "Robert", "1965-03-12"}).status, 2);
  EXPECT_EQ(Qendix({"code", "frobnicate", "x"}).status, 2);
}

TEST_F(CodeAndLogins, LoginsOfTheInstalledClient) {
  for (const char* login : {"a", "b"}) {
    ProcessResult r =
        RunProcess({kAsasctl, "--home", AsasHome(), "login", "add", login, "--key-type", "ec"},
                   {"PATH=/usr/bin:/bin"}, temp_.path());
    ASSERT_EQ(r.status, 0) << r.err;
  }
  ProcessResult r = Qendix({"logins"}, kAsasLibrary);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "a\nb\n");

  r = Qendix({"logins"});  // no library here
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace qx::testing
