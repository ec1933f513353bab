// The installed form: libasas.so.1 loaded by the dynamic loader, creating its objects by ProgID
// through its one exported entry point.
#include <dlfcn.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "support.h"

namespace asas {
namespace {

using testing::TempDir;

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ASAS_HOME", (dir / "home").c_str(), 1);
    handle = dlopen(ASAS_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    create = reinterpret_cast<AsasCreateObjectFn>(dlsym(handle, "AsasCreateObject"));
    ASSERT_NE(create, nullptr);
  }
  // The handle stays open, as the component's class registry keeps it.

  TempDir dir;
  void* handle = nullptr;
  AsasCreateObjectFn create = nullptr;
};

TEST_F(LibraryTest, CreatesEveryProgIdWithItsInterface) {
  struct {
    const char* progid;
    qx::Guid iid;
  } classes[] = {{"Asas.Client", qx::IAsasClient::kIid},
                 {"Asas.Client", qx::IConnectionPointContainer::kIid},
                 {"Asas.Client.Conf", qx::IAsasClientConf::kIid},
                 {"ASAS.SMIME", qx::IAsasSmime::kIid},
                 {"Asas.SMIME", qx::IAsasSmime::kIid}};
  for (const auto& c : classes) {
    void* out = nullptr;
    ASSERT_EQ(create(c.progid, &c.iid, &out), qx::S_OK) << c.progid;
    ASSERT_NE(out, nullptr);
    static_cast<qx::IUnknown*>(out)->Release();
  }
  // The client answers with its running state from the home of ASAS_HOME.
  void* out = nullptr;
  ASSERT_EQ(create("Asas.Client", &qx::IAsasClient::kIid, &out), qx::S_OK);
  auto client = qx::RefPtr<qx::IAsasClient>::Adopt(static_cast<qx::IAsasClient*>(out));
  qx::VariantBool running = qx::VARIANT_TRUE;
  EXPECT_EQ(client->ClientIsRunning(&running), qx::S_OK);
  EXPECT_EQ(running, qx::VARIANT_FALSE);
}

TEST_F(LibraryTest, RefusesUnknownProgIdsAndInterfaces) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(create("Asas.Other", &qx::IUnknown::kIid, &out), qx::REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(create("asas.smime", &qx::IUnknown::kIid, &out), qx::REGDB_E_CLASSNOTREG);
  EXPECT_EQ(create(nullptr, &qx::IUnknown::kIid, &out), qx::REGDB_E_CLASSNOTREG);
  EXPECT_EQ(create("Asas.Client.Conf", &qx::IAsasSmime::kIid, &out), qx::E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(create("Asas.Client", &qx::IUnknown::kIid, nullptr), qx::E_POINTER);
}

TEST_F(LibraryTest, ExportsOnlyItsEntryPoint) {
  auto symbols =
      testing::RunCommand(std::string("nm -D --defined-only ") + testing::Quote(ASAS_LIBRARY_FILE) +
                          " | awk '$2 ~ /^[TDBRVWu]$/ {print $3}'");
  ASSERT_EQ(symbols.exit_code, 0) << symbols.output;
  EXPECT_EQ(symbols.output, "AsasCreateObject\n");
}

}  // namespace
}  // namespace asas
