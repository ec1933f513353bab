// The component's properties that pass the installed security client through: its version text
// and its logins, read afresh from the client's configuration at every call.
#include <gtest/gtest.h>

#include "common/component_fixture.h"
#include "integration/asas_home.h"

namespace qx::testing {
namespace {

std::vector<std::string> Names(IAsasCollection* collection) {
  std::vector<std::string> names;
  int32_t count = -1;
  if (collection->get_Count(&count) != S_OK) return {"<Count failed>"};
  for (int32_t i = 1; i <= count; ++i) {
    Variant item;
    if (collection->get_Item(i, &item) != S_OK || !item.TryString()) return {"<Item failed>"};
    names.push_back(item.AsString());
  }
  return names;
}

class ComponentAsasTest : public ComponentTest {
 protected:
  AsasHome home_;
};

TEST_F(ComponentAsasTest, VersionIsTheInstalledClientsText) {
  Create();
  BStr version;
  ASSERT_EQ(q_->get_asasVersion(&version), S_OK);
  ASSERT_TRUE(version);
  EXPECT_EQ(version->rfind("ASAS ", 0), 0u) << *version;
  // asasctl, a process of its own, reports the same client.
  ProcessResult status = home_.Ctl({"status"});
  EXPECT_NE(status.out.find("version: " + *version + "\n"), std::string::npos) << status.out;
}

TEST_F(ComponentAsasTest, LoginsAreTheClientsInTheirOrderReadAtEachCall) {
  Create();
  RefPtr<IAsasCollection> logins;
  ASSERT_EQ(q_->get_asasLogins(logins.Put()), S_OK);
  ASSERT_TRUE(logins);
  EXPECT_EQ(Names(logins.Get()), std::vector<std::string>{});

  ASSERT_TRUE(home_.AddLogin("a"));
  ASSERT_TRUE(home_.AddLogin("b"));
  ASSERT_EQ(q_->get_asasLogins(logins.Put()), S_OK);
  ASSERT_TRUE(logins);
  EXPECT_EQ(Names(logins.Get()), (std::vector<std::string>{"a", "b"}));
  Variant beyond;
  EXPECT_TRUE(Failed(logins->get_Item(3, &beyond)));
}

}  // namespace
}  // namespace qx::testing
