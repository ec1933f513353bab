// asasctl as an administrator and the Trust Center's staff use it, each run a process of its own.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "objects.h"
#include "support.h"

namespace asas {
namespace {

using testing::CommandResult;
using testing::Quote;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class AsasctlTest : public ::testing::Test {
 protected:
  CommandResult Ctl(const std::string& args) {
    return testing::RunCommand(Quote(ASASCTL_FILE) + " --home " + Quote(home.root) + " " + args);
  }

  TempDir dir;
  Home home{dir / "home"};
};

TEST_F(AsasctlTest, AdministersLoginsCertificatesAndTheRunningClient) {
  ASSERT_EQ(Ctl("init").exit_code, 0);
  ASSERT_EQ(Ctl("login add praxis --identity dr-muster --key-type ec").exit_code, 0);
  ASSERT_EQ(Ctl("login add labor").exit_code, 0);  // RSA, identity = login
  EXPECT_NE(Ctl("login add praxis").exit_code, 0);
  EXPECT_NE(Ctl("login add x --identity a_key").exit_code, 0);

  ASSERT_EQ(Ctl("start praxis").exit_code, 0);
  auto list = Ctl("login list");
  EXPECT_EQ(list.output, "* praxis identity=dr-muster\n  labor identity=labor\n");

  // The running state written by that process is what the objects here see.
  auto client = MakeClient(home);
  qx::VariantBool running = qx::VARIANT_FALSE;
  ASSERT_EQ(client->ClientIsRunning(&running), qx::S_OK);
  EXPECT_EQ(running, qx::VARIANT_TRUE);
  EXPECT_NE(Ctl("status").output.find("running with login praxis"), std::string::npos);

  ASSERT_EQ(Ctl("stop").exit_code, 0);
  ASSERT_EQ(client->ClientIsRunning(&running), qx::S_OK);
  EXPECT_EQ(running, qx::VARIANT_FALSE);
  EXPECT_NE(Ctl("status").output.find("stopped"), std::string::npos);
  EXPECT_NE(Ctl("start nobody").exit_code, 0);
}

TEST_F(AsasctlTest, EnvelopesAndOpensFilesForTheTrustCenter) {
  auto tc1 = testing::MakeRecipient(dir, "tc1", false);
  auto tc2 = testing::MakeRecipient(dir, "tc2", true);
  ASSERT_EQ(Ctl("cert import tc1 " + Quote(tc1.cert_file)).exit_code, 0);
  ASSERT_EQ(Ctl("cert import tc2 " + Quote(tc2.cert_file)).exit_code, 0);
  EXPECT_NE(Ctl("cert import ../x " + Quote(tc2.cert_file)).exit_code, 0);
  EXPECT_NE(Ctl("cert import tc3 " + Quote(tc2.key_file)).exit_code, 0);  // a key, not a cert
  auto certs = Ctl("cert list");
  EXPECT_NE(certs.output.find("tc1 CN = tc1"), std::string::npos) << certs.output;
  EXPECT_NE(certs.output.find("tc2 CN = tc2"), std::string::npos) << certs.output;

  std::string body(5000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = char(i * 13);
  WriteFile(dir / "body", body);
  ASSERT_EQ(
      Ctl("encrypt --from dr-muster --to tc1,tc2 " + Quote(dir / "body") + " " + Quote(dir / "env"))
          .exit_code,
      0);
  ASSERT_EQ(Ctl("decrypt --key " + Quote(tc2.key_file) + " --out " + Quote(dir / "out2") + " " +
                Quote(dir / "env"))
                .exit_code,
            0);
  EXPECT_EQ(ReadFile(dir / "out2"), body);
  bool ok = false;
  EXPECT_EQ(testing::OpenSslDecrypt(dir / "env", tc1, &ok), body);

  // A message file with its own header; a recipient without certificate fails.
  WriteFile(dir / "message", "From: s\nTo: tc2\n\nhello");
  ASSERT_EQ(Ctl("encrypt " + Quote(dir / "message") + " " + Quote(dir / "env2")).exit_code, 0);
  EXPECT_EQ(Ctl("decrypt --key " + Quote(tc2.key_file) + " " + Quote(dir / "env2")).output,
            "hello");
  EXPECT_NE(Ctl("decrypt --key " + Quote(tc1.key_file) + " " + Quote(dir / "env2")).exit_code, 0);
  auto missing = Ctl("encrypt --to tc1,tc9 " + Quote(dir / "body") + " " + Quote(dir / "env3"));
  EXPECT_NE(missing.exit_code, 0);
  EXPECT_NE(missing.output.find("certificate not found"), std::string::npos) << missing.output;
  EXPECT_NE(
      Ctl("encrypt --to tc1 " + Quote(dir / "no-such-body") + " " + Quote(dir / "env3")).exit_code,
      0);
}

TEST_F(AsasctlTest, UsesAsasHomeWithoutTheOption) {
  std::string command = "ASAS_HOME=" + Quote(home.root) + " " + Quote(ASASCTL_FILE);
  ASSERT_EQ(testing::RunCommand(command + " login add solo --key-type ec").exit_code, 0);
  EXPECT_EQ(Ctl("login list").output, "  solo identity=solo\n");
}

}  // namespace
}  // namespace asas
