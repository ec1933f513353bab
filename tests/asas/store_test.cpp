// Logins, entries and configuration values: what the component reads through the configuration
// object, persisted in the home and shared between objects and processes.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client_ops.h"
#include "config_store.h"
#include "key_store.h"
#include "objects.h"
#include "support.h"

namespace asas {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class StoreTest : public ::testing::Test {
 protected:
  TempDir dir;
  Home home{dir / "home"};
  qx::RefPtr<qx::IAsasClientConf> conf = MakeClientConf(home);
};

std::vector<std::string> LoginNames(qx::IAsasClientConf* conf) {
  qx::Variant v;
  EXPECT_EQ(conf->ConfLogins(&v), qx::S_OK);
  auto list = qx::RefPtr<qx::IUnknown>::Share(v.TryObject()).As<qx::IAsasCollection>();
  std::vector<std::string> names;
  if (!list) return names;
  int32_t count = -1;
  EXPECT_EQ(list->get_Count(&count), qx::S_OK);
  for (int32_t i = 1; i <= count; ++i) {
    qx::Variant item;
    EXPECT_EQ(list->get_Item(i, &item), qx::S_OK);
    names.push_back(item.TryString() ? item.AsString() : "<not a string>");
  }
  return names;
}

// Name and value of every entry of a collection held in `v`.
std::vector<Entry> EntriesOf(const qx::Variant& v) {
  std::vector<Entry> out;
  auto list = qx::RefPtr<qx::IUnknown>::Share(v.TryObject()).As<qx::IAsasCollection>();
  if (!list) return out;
  int32_t count = 0;
  list->get_Count(&count);
  for (int32_t i = 1; i <= count; ++i) {
    qx::Variant item, name, value;
    list->get_Item(i, &item);
    auto entry = qx::RefPtr<qx::IUnknown>::Share(item.TryObject()).As<qx::IAsasEntry>();
    if (!entry || qx::Failed(entry->get_Name(&name)) || qx::Failed(entry->get_Value(&value)))
      continue;
    out.push_back({name.AsString(), value.AsString()});
  }
  return out;
}

// The sender of a login as the component finds it: the login's entry values matched against the
// values of section "smime", key "key"; the matching entry's name up to "_key".
std::string SenderOf(qx::IAsasClientConf* conf, const std::string& login) {
  qx::Variant entries, keys;
  if (qx::Failed(conf->ConfLoginEntries(login, &entries))) return "";
  if (qx::Failed(conf->ConfGetValue(std::string("smime"), std::string("key"), &keys))) return "";
  for (const auto& e : EntriesOf(entries))
    for (const auto& k : EntriesOf(keys))
      if (e.value == k.value && k.name.find("_key") != std::string::npos)
        return k.name.substr(0, k.name.find("_key"));
  return "";
}

TEST_F(StoreTest, LoginsArePersistedInOrderWithTheirIdentities) {
  EXPECT_TRUE(LoginNames(conf.Get()).empty());
  bool created = false;
  ASSERT_EQ(AddLogin(home, "praxis", "dr-muster", KeyType::kEc, &created), qx::S_OK);
  EXPECT_TRUE(created);
  ASSERT_EQ(AddLogin(home, "vertretung", "dr-muster", KeyType::kEc, &created), qx::S_OK);
  EXPECT_FALSE(created);  // the identity's key is shared
  ASSERT_EQ(AddLogin(home, "labor", "labor", KeyType::kEc, &created), qx::S_OK);
  EXPECT_EQ(AddLogin(home, "praxis", "other", KeyType::kEc, nullptr), kExists);

  // A second object (as in another process) reads the same home.
  auto other = MakeClientConf(home);
  EXPECT_EQ(LoginNames(other.Get()), (std::vector<std::string>{"praxis", "vertretung", "labor"}));
  EXPECT_EQ(SenderOf(other.Get(), "praxis"), "dr-muster");
  EXPECT_EQ(SenderOf(other.Get(), "vertretung"), "dr-muster");
  EXPECT_EQ(SenderOf(other.Get(), "labor"), "labor");

  qx::Variant keys;
  ASSERT_EQ(other->ConfGetValue(std::string("smime"), std::string("key"), &keys), qx::S_OK);
  EXPECT_EQ(EntriesOf(keys), (std::vector<Entry>{{"dr-muster_key", "keys/dr-muster.key"},
                                                 {"labor_key", "keys/labor.key"}}));

  // The private key is readable by its owner only, and belongs to its certificate.
  struct stat st;
  ASSERT_EQ(stat(home.KeyPath("dr-muster").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(LoadIdentity(home, "dr-muster", nullptr, nullptr), qx::S_OK);
}

TEST_F(StoreTest, RefusesNamesThatWouldBreakLookupsOrPaths) {
  EXPECT_EQ(AddLogin(home, "a b", "x", KeyType::kEc, nullptr), qx::E_INVALIDARG);
  EXPECT_EQ(AddLogin(home, "ok", "../evil", KeyType::kEc, nullptr), qx::E_INVALIDARG);
  // An identity containing "_key" would be cut there when the sender is looked up.
  EXPECT_EQ(AddLogin(home, "ok", "my_key_1", KeyType::kEc, nullptr), qx::E_INVALIDARG);
  EXPECT_TRUE(LoginNames(conf.Get()).empty());
}

TEST_F(StoreTest, CollectionsAnswerBadIndexesAndEnumerate) {
  ASSERT_EQ(AddLogin(home, "a", "a", KeyType::kEc, nullptr), qx::S_OK);
  ASSERT_EQ(AddLogin(home, "b", "a", KeyType::kEc, nullptr), qx::S_OK);
  qx::Variant v;
  ASSERT_EQ(conf->ConfLogins(&v), qx::S_OK);
  auto list = qx::RefPtr<qx::IUnknown>::Share(v.TryObject()).As<qx::IAsasCollection>();
  ASSERT_TRUE(list);
  qx::Variant item;
  EXPECT_EQ(list->get_Item(0, &item), qx::DISP_E_BADINDEX);
  EXPECT_EQ(list->get_Item(3, &item), qx::DISP_E_BADINDEX);
  EXPECT_EQ(list->get_Item(1, nullptr), qx::E_POINTER);

  qx::RefPtr<qx::IUnknown> unknown;
  ASSERT_EQ(list->get__NewEnum(unknown.Put()), qx::S_OK);
  auto items = unknown.As<qx::IEnumVariant>();
  ASSERT_TRUE(items);
  qx::Variant got[3];
  uint32_t fetched = 0;
  EXPECT_EQ(items->Next(3, got, &fetched), qx::S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(got[0].AsString(), "a");
  EXPECT_EQ(got[1].AsString(), "b");
  EXPECT_EQ(items->Reset(), qx::S_OK);
  EXPECT_EQ(items->Next(1, got, &fetched), qx::S_OK);
  EXPECT_EQ(got[0].AsString(), "a");

  qx::Variant entries;
  EXPECT_EQ(conf->ConfLoginEntries(std::string("nobody"), &entries), kNotFound);
}

TEST_F(StoreTest, CertificateKeysAreSetReadAndWithdrawn) {
  const qx::BStr smime = std::string("smime");
  const qx::BStr key = std::string("tc1_cert");
  qx::Variant value;
  EXPECT_EQ(conf->ConfGetValue(smime, key, &value), kNotFound);

  ASSERT_EQ(conf->ConfSetValue(smime, key, qx::Variant("/work/cache/tc1.crt")), qx::S_OK);
  // Odd key names survive the file format.
  const qx::BStr odd = std::string(" tc2=#[x]_cert");
  ASSERT_EQ(conf->ConfSetValue(smime, odd, qx::Variant("a\nb c")), qx::S_OK);

  auto other = MakeClientConf(home);
  ASSERT_EQ(other->ConfGetValue(smime, key, &value), qx::S_OK);
  EXPECT_EQ(value.AsString(), "/work/cache/tc1.crt");
  ASSERT_EQ(other->ConfGetValue(smime, odd, &value), qx::S_OK);
  EXPECT_EQ(value.AsString(), "a\nb c");

  // An empty string withdraws; so does an empty variant; withdrawing twice is harmless.
  EXPECT_EQ(other->ConfSetValue(smime, key, qx::Variant("")), qx::S_OK);
  EXPECT_EQ(conf->ConfGetValue(smime, key, &value), kNotFound);
  EXPECT_EQ(conf->ConfSetValue(smime, odd, qx::Variant()), qx::S_OK);
  EXPECT_EQ(conf->ConfSetValue(smime, odd, qx::Variant()), qx::S_FALSE);
  EXPECT_EQ(conf->ConfGetValue(smime, odd, &value), kNotFound);

  EXPECT_EQ(conf->ConfSetValue(smime, key, qx::Variant(int32_t{5})), qx::DISP_E_TYPEMISMATCH);
  EXPECT_EQ(conf->ConfSetValue(qx::BStr(), key, qx::Variant("x")), qx::E_INVALIDARG);
  EXPECT_EQ(conf->ConfGetValue(smime, key, nullptr), qx::E_POINTER);
}

TEST_F(StoreTest, KeyListOfTheKeyStoreCannotBeOverwritten) {
  ASSERT_EQ(AddLogin(home, "a", "a", KeyType::kEc, nullptr), qx::S_OK);
  EXPECT_EQ(conf->ConfSetValue(std::string("smime"), std::string("key"), qx::Variant("x")),
            qx::E_ACCESSDENIED);
  EXPECT_EQ(conf->ConfSetValue(std::string("smime"), std::string("key"), qx::Variant("")),
            qx::E_ACCESSDENIED);
  EXPECT_EQ(SenderOf(conf.Get(), "a"), "a");
}

TEST_F(StoreTest, DamagedConfigurationIsReportedAndNeverOverwritten) {
  ASSERT_EQ(home.Ensure(), qx::S_OK);
  const std::string damaged = "[login a]\nidentity=a\ngarbage line\n";
  WriteFile(home.ConfigPath(), damaged);
  qx::Variant v;
  EXPECT_EQ(conf->ConfLogins(&v), kStoreCorrupt);
  EXPECT_EQ(conf->ConfSetValue(std::string("smime"), std::string("tc1_cert"), qx::Variant("x")),
            kStoreCorrupt);
  EXPECT_EQ(AddLogin(home, "b", "b", KeyType::kEc, nullptr), kStoreCorrupt);
  EXPECT_EQ(ReadFile(home.ConfigPath()), damaged);
}

TEST_F(StoreTest, WritersInTwoProcessesLoseNoChanges) {
  ASSERT_EQ(home.Ensure(), qx::S_OK);
  constexpr int kPerProcess = 40;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      auto mine = MakeClientConf(home);
      for (int i = 0; i < kPerProcess; ++i) {
        std::string key = "p" + std::to_string(p) + "_" + std::to_string(i) + "_cert";
        if (qx::Failed(mine->ConfSetValue(std::string("smime"), key, qx::Variant("v")))) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Config config;
  ASSERT_EQ(LoadConfig(home, &config), qx::S_OK);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kPerProcess; ++i)
      EXPECT_TRUE(
          config.FindKey("smime", "p" + std::to_string(p) + "_" + std::to_string(i) + "_cert"))
          << p << " " << i;
}

// The home holds private keys and logins: one that others can reach is made private again as
// soon as the client opens it.
TEST(HomeTest, AHomeOthersCanReachIsMadePrivateWhenOpened) {
  testing::TempDir dir;
  Home home{dir / "home"};
  ASSERT_EQ(home.Ensure(), qx::S_OK);
  const std::pair<std::string, mode_t> folders[] = {
      {home.root, 0755}, {home.KeysDir(), 0777}, {home.CertsDir(), 0750}};
  for (const auto& [path, mode] : folders) ASSERT_EQ(chmod(path.c_str(), mode), 0);
  qx::RefPtr<qx::IUnknown> object;
  ASSERT_EQ(CreateObjectOnHome("Asas.Client.Conf", home, qx::IUnknown::kIid, object.PutVoid()),
            qx::S_OK);
  for (const auto& [path, mode] : folders) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << path;
  }
}

}  // namespace
}  // namespace asas
