#include "net/center_directory.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "common/http_server.h"
#include "common/process.h"
#include "common/temp_dir.h"
#include "net/http_download.h"
#include "platform/file_system.h"

namespace qx {
namespace {

using testing::HttpServer;
using testing::ReadFile;
using testing::RunProcess;
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
}

// A process killed while it refreshes leaves no file in the module folder, and the temporary of
// one killed just before its rename is cleared by the next refresh.
TEST(CenterDirectoryRefresh, AKilledRefreshLeavesNoFileBehind) {
  TempDir t;
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string original =
      Doc("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/centers");
  WriteFile(t / "qendix.xml", original);
  const pid_t child = ::fork();
  if (child == 0) {
    CenterDirectory(t / "qendix.xml").Refresh();
    _exit(0);
  }
  // The request arrived and is never answered: the download is under way when the kill comes.
  int connection = ::accept(listener, nullptr, nullptr);
  std::string request;
  char block[512];
  for (ssize_t n; request.find("\r\n\r\n") == std::string::npos &&
                  (n = ::read(connection, block, sizeof block)) > 0;)
    request.append(block, static_cast<size_t>(n));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(connection);
  ::close(listener);
  auto entries = [&] {  // hidden ones too
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(t.path().c_str()), ::closedir);
    while (dirent* e = ::readdir(dir.get()))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    return names;
  };
  EXPECT_EQ(entries(), std::vector<std::string>{"qendix.xml"});
  EXPECT_EQ(ReadFile(t / "qendix.xml"), original);

  HttpServer server;
  WriteFile(t / "qendix.xml", Doc(server.BaseUrl() + "/centers"));
  WriteFile(t / ".qendix.xml.Ab12Cd", "left by a refresh killed before its rename");
  server.Set("/centers/qendix.xml",
             "<centers xmlns='http://www.qendix.org/centers/v1'><center label='New'/></centers>");
  ASSERT_TRUE(CenterDirectory(t / "qendix.xml").Refresh());
  EXPECT_EQ(entries(), std::vector<std::string>{"qendix.xml"});
}

// A document without a center would leave the user no Trust Center to choose.
TEST(CenterDirectoryRefresh, ADocumentWithoutCentersKeepsTheCache) {
  HttpServer server;
  TempDir t;
  std::string original = Doc(server.BaseUrl() + "/centers");
  WriteFile(t / "qendix.xml", original);
  for (const char* doc : {"<anything/>", "<centers xmlns='http://www.qendix.org/centers/v1'/>",
                          "<centers xmlns='http://www.qendix.org/centers/v1'><center/></centers>",
                          "<centers><center label='no namespace'/></centers>"}) {
    server.Set("/centers/qendix.xml", doc);
    EXPECT_FALSE(CenterDirectory(t / "qendix.xml").Refresh()) << doc;
    EXPECT_EQ(ReadFile(t / "qendix.xml"), original) << doc;
  }
}

// An HTTPS server on 127.0.0.1 with a self-signed certificate for that address (caFile()),
// answering one connection at a time with the raw response set for the path.
class TlsServer {
 public:
  explicit TlsServer(const TempDir& t) : ca_(t / "ca.pem") {
    std::string key = t / "key.pem";
    EXPECT_EQ(RunProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                          "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", ca_, "-days",
                          "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
                         {}, t.path())
                  .status,
              0);
    SSL_CTX_use_certificate_file(ctx_, ca_.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    bind(listen_, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    listen(listen_, 8);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TlsServer() {
    stop_ = true;
    thread_.join();
    close(listen_);
    SSL_CTX_free(ctx_);
  }
  // Before the first request.
  void Set(const std::string& path, const std::string& response) { routes_[path] = response; }
  std::string BaseUrl() const { return "https://127.0.0.1:" + std::to_string(port_); }
  const std::string& caFile() const { return ca_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      int fd = poll(&p, 1, 50) > 0 ? accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      if (fd < 0) continue;
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      char request[4096] = {};
      if (SSL_accept(ssl) == 1 && SSL_read(ssl, request, sizeof request - 1) > 4) {
        std::string line(request + 4);  // "GET <path> HTTP/1.1"
        std::string answer = routes_[line.substr(0, line.find(' '))];
        SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      close(fd);
    }
  }

  std::string ca_;
  SSL_CTX* ctx_ = SSL_CTX_new(TLS_server_method());
  int listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::map<std::string, std::string> routes_;
  std::thread thread_;
};

std::string Redirect(const std::string& location) {
  return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

// What starts on https may be redirected to https, never handed over to plain http.
TEST(Download, ARedirectFromHttpsToHttpIsRefused) {
  TempDir t;
  HttpServer plain;
  plain.Set("/doc", "plain");
  TlsServer tls(t);
  tls.Set("/doc", "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nsecure");
  tls.Set("/to-https", Redirect(tls.BaseUrl() + "/doc"));
  tls.Set("/to-http", Redirect(plain.BaseUrl() + "/doc"));
  DownloadLimits limits;
  limits.caFile = tls.caFile();
  const std::pair<const char*, std::string> cases[] = {{"/to-https", "secure"}, {"/to-http", ""}};
  for (const auto& [path, body] : cases) {
    FILE* out = tmpfile();
    bool ok = DownloadToFd(tls.BaseUrl() + path, fileno(out), limits);
    EXPECT_EQ(ok, !body.empty()) << path;
    char got[16] = {};
    EXPECT_EQ(pread(fileno(out), got, sizeof got, 0), static_cast<ssize_t>(body.size())) << path;
    EXPECT_EQ(std::string(got), body) << path;
    fclose(out);
  }
  EXPECT_EQ(plain.RequestCount(), 0);
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
