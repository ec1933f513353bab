#include "common/component_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "component/module_state.h"
#include "platform/class_registry.h"
#include "platform/module.h"

namespace qx::testing {

const char* const kTestCenters = R"(<?xml version="1.0" encoding="UTF-8"?>
<centers xmlns="http://www.qendix.org/centers/v1" version="7">
  <update url="http://127.0.0.1:9/centers"/>
  <center label="TC test" url="http://127.0.0.1:9/RPC2" ean="7601000000017" esr="42"
          esrPDF="7" rcpt="tc-test" tel="044 000 00 00"/>
  <center label="TC two" url="http://127.0.0.1:9/two" ean="7601000000024" esr="300"
          esrPDF="x" rcpt="tc-two"/>
</centers>
)";

std::string ModuleDir() {
  return qx::ModuleDirectory();
}

void WriteCenters(const std::string& content) {
  ASSERT_TRUE(WriteFile(ModuleDir() + "/qendix.xml", content));
}

RefPtr<IQendix> CreateComponent() {
  EnsureModuleInitialized();
  RefPtr<IQendix> q;
  EXPECT_EQ(CreateObjectByProgId("qendix.1", IQendix::kIid, q.PutVoid()), S_OK);
  return q;
}

void ComponentTest::SetUp() {
  mkdir(Input().c_str(), 0755);
  mkdir(Work().c_str(), 0755);
}

void ComponentTest::TearDown() {
  if (q_ && cookie_) Disconnect(q_.Get(), cookie_);
  q_.Reset();
  // Let job threads finish before the process ends.
  for (int i = 0; i < 1000 && ModuleObjectCount() > 0; ++i) usleep(10000);
}

void ComponentTest::Create(bool set_folders) {
  q_ = CreateComponent();
  ASSERT_TRUE(q_);
  if (set_folders) {
    ASSERT_EQ(q_->put_inputDirectory(Input()), S_OK);
    ASSERT_EQ(q_->put_workDirectory(Work()), S_OK);
  }
  cookie_ = Connect(q_.Get(), events_.Get());
  ASSERT_NE(cookie_, 0u);
}

void ComponentTest::RunRead() {
  ASSERT_EQ(q_->Read(), S_OK);
  ASSERT_TRUE(events_->WaitForEnd(moPReader));
}

std::string ComponentTest::Input(const std::string& name) const {
  return temp_.path() + "/inv" + (name.empty() ? "" : "/" + name);
}

std::string ComponentTest::Work(const std::string& name) const {
  return temp_.path() + "/work" + (name.empty() ? "" : "/" + name);
}

}  // namespace qx::testing
