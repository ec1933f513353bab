#include "net/center_directory.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "common/http_server.h"
#include "common/temp_dir.h"
#include "net/http_download.h"
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

// An HTTPS server on 127.0.0.1, one connection at a time on a thread of its own, with a fresh
// self-signed certificate for 127.0.0.1 written to caFile(). Answers each path with a fixed raw
// response.
class TlsServer {
 public:
  explicit TlsServer(const std::string& folder) : ca_file_(folder + "/ca.pem") {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(cert, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(cert, key, EVP_sha256());
    FILE* pem = fopen(ca_file_.c_str(), "w");
    PEM_write_X509(pem, cert);
    fclose(pem);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx_, cert);
    SSL_CTX_use_PrivateKey(ctx_, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(listen_, reinterpret_cast<sockaddr*>(&addr), len);
    listen(listen_, 8);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TlsServer() {
    stop_ = true;
    thread_.join();
    close(listen_);
    SSL_CTX_free(ctx_);
  }
  void Set(const std::string& path, const std::string& response) { routes_[path] = response; }
  std::string BaseUrl() const { return "https://127.0.0.1:" + std::to_string(port_); }
  const std::string& caFile() const { return ca_file_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      std::string request;
      char buffer[4096];
      if (SSL_accept(ssl) == 1) {
        int n;
        while (request.find("\r\n\r\n") == std::string::npos &&
               (n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
          request.append(buffer, static_cast<size_t>(n));
        std::string path = request.substr(4, request.find(' ', 4) - 4);  // "GET <path> ..."
        auto it = routes_.find(path);
        std::string answer = it != routes_.end() ? it->second : "HTTP/1.0 404 X\r\n\r\n";
        SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      close(fd);
    }
  }

  std::string ca_file_;
  SSL_CTX* ctx_ = nullptr;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::map<std::string, std::string> routes_;  // set before the first request
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
  TlsServer tls(t.path());
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
