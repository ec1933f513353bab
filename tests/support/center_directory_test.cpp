#include "net/center_directory.h"

#include <gtest/gtest.h>

#include "common/http_server.h"
#include "common/temp_dir.h"
#include "platform/file_system.h"

namespace qx {
namespace {

using testing::HttpServer;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const char* kDoc = R"(<?xml version="1.0"?>
<c:centers xmlns:c="http://www.qendix.org/centers/v1" xmlns:o="urn:other" version="3">
  <c:update url="URL"/>
  <c:center label="A" url="http://a" ean="1" esr="300" esrPDF="12" rcpt="ra" tel="01"/>
  <o:center label="Foreign" url="http://x"/>
  <c:center url="http://nolabel"/>
  <c:center label="B" o:url="http://namespaced-attribute"/>
  <deep><c:center label="A" url="http://a2"/></deep>
</c:centers>)";

std::string Doc(const std::string& update) {
  std::string d = kDoc;
  d.replace(d.find("URL"), 3, update);
  return d;
}

TEST(CenterDirectory, ReadsTheCentersOfItsNamespace) {
  TempDir t;
  WriteFile(t / "qendix.xml", Doc("http://u"));
  CenterDirectory d(t / "qendix.xml");
  ASSERT_TRUE(d.LoadCache());
  EXPECT_EQ(d.labels(), (std::vector<std::string>{"A", "B", "A"}));
  EXPECT_EQ(d.Url("A"), "http://a2");  // the later center wins
  EXPECT_EQ(d.Ean("A"), "1");
  EXPECT_EQ(d.Esr("A"), "300");
  EXPECT_EQ(d.EsrPdf("A"), "12");
  EXPECT_EQ(d.Rcpt("A"), "ra");
  EXPECT_EQ(d.Tel("A"), "01");
  EXPECT_EQ(d.Url("B"), "");  // attributes with a namespace do not count
  EXPECT_EQ(d.Url("Foreign"), "");
  EXPECT_EQ(d.updateUrl(), "http://u");
  EXPECT_EQ(d.version(), "3");
  EXPECT_TRUE(d.LoadCache());
}

TEST(CenterDirectory, MissingOrBrokenCacheDoesNotLoad) {
  TempDir t;
  EXPECT_FALSE(CenterDirectory(t / "qendix.xml").LoadCache());
  WriteFile(t / "qendix.xml",
            "<centers xmlns='http://www.qendix.org/centers/v1'><center label='x'>");
  CenterDirectory d(t / "qendix.xml");
  EXPECT_FALSE(d.LoadCache());
  EXPECT_EQ(d.labels().size(), 1u);  // what was read before the error stays
}

TEST(CenterDirectory, EntitiesAndExternalReferencesAreNotExpanded) {
  TempDir t;
  WriteFile(t / "secret", "SECRET");
  WriteFile(t / "qendix.xml", "<?xml version='1.0'?><!DOCTYPE c [<!ENTITY x SYSTEM 'file://" +
                                  t.path() +
                                  "/secret'>]><centers xmlns='http://www.qendix.org/centers/v1'>"
                                  "<center label='&x;'/></centers>");
  CenterDirectory d(t / "qendix.xml");
  d.LoadCache();
  for (const auto& l : d.labels()) EXPECT_EQ(l.find("SECRET"), std::string::npos);
}

TEST(CenterDirectoryRefresh, AWellFormedDownloadReplacesTheCache) {
  HttpServer server;
  TempDir t;
  WriteFile(t / "qendix.xml", Doc(server.BaseUrl() + "/centers"));
  server.Set("/centers/qendix.xml",
             "<centers xmlns='http://www.qendix.org/centers/v1'><center label='New'/></centers>");
  CenterDirectory d(t / "qendix.xml");
  ASSERT_TRUE(d.Refresh());
  CenterDirectory after(t / "qendix.xml");
  ASSERT_TRUE(after.LoadCache());
  EXPECT_EQ(after.labels(), std::vector<std::string>{"New"});
  std::vector<std::string> names;
  ListRegularFiles(t.path(), &names);
  EXPECT_EQ(names.size(), 1u);
}

TEST(CenterDirectoryRefresh, ABadDownloadKeepsTheCacheAndLeavesNoTemporary) {
  HttpServer server;
  TempDir t;
  std::string original = Doc(server.BaseUrl() + "/centers");
  WriteFile(t / "qendix.xml", original);
  server.Set("/centers/qendix.xml", "<centers><oops>");
  EXPECT_FALSE(CenterDirectory(t / "qendix.xml").Refresh());
  server.Set("/centers/qendix.xml", "<centers/>", 500);  // an error page that happens to parse
  EXPECT_FALSE(CenterDirectory(t / "qendix.xml").Refresh());
  EXPECT_EQ(ReadFile(t / "qendix.xml"), original);
  std::vector<std::string> names;
  ListRegularFiles(t.path(), &names);
  EXPECT_EQ(names.size(), 1u);
  // A well-formed document without centers still replaces the cache.
  server.Set("/centers/qendix.xml", "<anything/>");
  EXPECT_TRUE(CenterDirectory(t / "qendix.xml").Refresh());
  CenterDirectory empty(t / "qendix.xml");
  EXPECT_TRUE(empty.LoadCache());
  EXPECT_TRUE(empty.labels().empty());
}

TEST(CenterDirectoryRefresh, NoUpdateUrlMeansNoDownload) {
  HttpServer server;
  TempDir t;
  WriteFile(t / "qendix.xml", "<centers xmlns='http://www.qendix.org/centers/v1'/>");
  EXPECT_FALSE(CenterDirectory(t / "qendix.xml").Refresh());
  EXPECT_EQ(server.RequestCount(), 0);
}

TEST(LeadingNumber, BehavesLikeAtoiWithoutOverflow) {
  EXPECT_EQ(LeadingNumber("300"), 300);
  EXPECT_EQ(LeadingNumber(" 12abc"), 12);
  EXPECT_EQ(LeadingNumber("abc"), 0);
  EXPECT_EQ(LeadingNumber("-1"), -1);
  EXPECT_EQ(LeadingNumber("99999999999999999999999"), LLONG_MAX);
}

}  // namespace
}  // namespace qx
