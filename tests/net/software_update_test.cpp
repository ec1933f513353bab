// The update check against the reference Trust Center: which answers lead to the question, and
// that a setup program runs only when it came whole from an address we trust.
#include "net/software_update.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/reference_trust_center.h"
#include "common/temp_dir.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::ReferenceTrustCenter;
using testing::TempDir;

class NoEvents final : public EventTarget {
 public:
  void RaiseEvent(tagMsgLevel, tagMsgClass, tagMsgOrigin, int32_t, const BStr&,
                  const BStr&) override {}
};

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

struct UpdateCase {
  const char* name;
  const char* newestBuild;
  const char* setupUrl;  // "" for the server's own /setup/ file
  bool answer;
  bool asked;
  bool ran;
  UpdatePolicy policy = UpdatePolicy::kAskAndStart;
  bool told = false;  // the download address was passed on (kTellOnly)
};

class UpdateCheck : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(UpdateCheck, AsksAndStartsOnlyACompleteTrustedDownload) {
  const UpdateCase& c = GetParam();
  TempDir temp;
  const std::string work = temp / "work";
  ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
  std::vector<std::string> flags = {"--newest-build", c.newestBuild};
  if (*c.setupUrl) flags.insert(flags.end(), {"--setup-url", c.setupUrl});
  ReferenceTrustCenter server(temp / "store", "", "", "rcpt", flags);
  ASSERT_NE(server.Port(), 0);

  NoEvents events;
  XmlRpcClient client(events, server.BaseUrl() + "/RPC2");
  std::vector<std::string> questions, told;
  CheckForUpdate(
      &client, work, c.policy,
      [&](const std::string& title, const std::string& text) {
        questions.push_back(title + "|" + text);
        return c.answer;
      },
      [&](const std::string& url) { told.push_back(url); });

  EXPECT_EQ(questions.size(), c.asked ? 1u : 0u);
  ASSERT_EQ(told.size(), c.told ? 1u : 0u);
  if (c.told) {
    EXPECT_EQ(told[0], server.BaseUrl() + "/setup/qendix-setup.sh");
  }
  const std::string marker = work + "/qendix-setup.ran";
  if (c.ran) {
    // Started detached: the setup leaves its mark a moment later.
    for (int i = 0; i < 2000 && !FileExists(marker); ++i) ::usleep(10000);
    EXPECT_NE(ReadFile(marker).find("qendix setup ran: " + work + "/" + kSetupFileName),
              std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat((work + "/" + kSetupFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  } else {
    // Nothing was started (the start returns only after the exec) and nothing is left.
    EXPECT_EQ(Entries(work), std::vector<std::string>{});
  }
  if (!c.answer || c.policy == UpdatePolicy::kTellOnly) {
    EXPECT_EQ(ReadFile(temp / "store/requests.log").find("GET /setup"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateCheck,
    ::testing::Values(UpdateCase{"SameBuild", "200506240", "", true, false, false},
                      UpdateCase{"NewerButNo", "300000000", "", false, true, false},
                      UpdateCase{"NinetyNineIsNewerAsText", "99", "", true, true, true},
                      UpdateCase{"TruncatedDownload", "300000000",
                                 "/setup-truncated/qendix-setup.sh", true, true, false},
                      UpdateCase{"PlainHttpOffLoopback", "300000000", "http://192.0.2.1/setup/x",
                                 true, false, false},
                      // An installed component: the host hears of the newer build, is never
                      // asked, and nothing is fetched or started even though it would say Yes.
                      UpdateCase{"InstalledNewerIsOnlyTold", "300000000", "", true, false, false,
                                 UpdatePolicy::kTellOnly, true},
                      UpdateCase{"InstalledSameBuild", "200506240", "", true, false, false,
                                 UpdatePolicy::kTellOnly, false},
                      UpdateCase{"InstalledUntrustedAddressNotTold", "300000000",
                                 "http://192.0.2.1/setup/x", true, false, false,
                                 UpdatePolicy::kTellOnly, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SetupUrl, HttpsAnywherePlainHttpOnlyOnLoopback) {
  const std::pair<const char*, bool> table[] = {
      {"https://updates.example.org/setup", true},
      {"http://127.0.0.1:8470/setup/x", true},
      {"http://127.200.1.9/x", true},
      {"http://LOCALHOST/x", true},
      {"http://10.0.0.1/x", false},
      {"http://127.0.0.1.example.org/x", false},
      {"http://[::ffff:10.0.0.1]/x", false},
      {"ftp://127.0.0.1/x", false},
      {"file:///bin/sh", false},
      {"not a url", false},
  };
  for (const auto& [url, ok] : table) EXPECT_EQ(IsAcceptableSetupUrl(url), ok) << url;
}

}  // namespace
}  // namespace qx
