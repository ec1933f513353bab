// Hostile XML: external entities (file and loopback HTTP), external DTDs, entity expansion bombs
// and documents beyond libxml2's limits. The reader must neither read nor fetch anything, nor
// expand entities, nor let such a document through.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "formats/xml_invoice.h"

namespace qx {
namespace {

const std::string kNs = "http://www.xmlData.ch/xmlInvoice/XSD";

// A file that, if a parser ever included it, would add an invoice with the identifier SECRET.
std::string SecretInvoiceMarkup() {
  return std::string("<i:invoice xmlns:i=\"") + kNs + "\" invoice_id=\"SECRET\"/>";
}

struct Result {
  bool ok;
  InvoiceKeys keys;
};

Result ReadDocument(const testing::TempDir& dir, const std::string& document) {
  std::string path = dir / "hostile.xml";
  EXPECT_TRUE(testing::WriteFile(path, document));
  Result r{false, {}};
  std::string recipient;
  r.ok = ReadXmlInvoiceFile(path, &r.keys, &recipient) == InvoiceFileRead::kRead;
  return r;
}

bool Mentions(const InvoiceKeys& keys, const std::string& text) {
  for (const auto* list : {&keys.invoiceIds, &keys.amounts, &keys.codingLines})
    for (const std::string& v : *list)
      if (v.find(text) != std::string::npos) return true;
  return keys.providerZsr.find(text) != std::string::npos;
}

// A TCP listener on 127.0.0.1 that counts the connections made to it and closes each at once.
class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 16) != 0)
      return;
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
          int client = accept(fd_, nullptr, nullptr);
          if (client >= 0) {
            ++connections_;
            close(client);
          }
        }
      }
    });
  }
  ~LoopbackListener() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  int port() const { return port_; }
  int connections() const { return connections_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

class XmlHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    secretPath_ = dir_ / "secret.xml";
    ASSERT_TRUE(testing::WriteFile(secretPath_, SecretInvoiceMarkup()));
  }

  testing::TempDir dir_;
  std::string secretPath_;
};

TEST_F(XmlHostileTest, ExternalFileEntityIsNeverIncluded) {
  // In element content an included entity would add the SECRET invoice.
  Result r = ReadDocument(dir_,
                          "<?xml version=\"1.0\"?>\n"
                          "<!DOCTYPE request [<!ENTITY xxe SYSTEM \"file://" +
                              secretPath_ + "\">]>\n<request xmlns=\"" + kNs +
                              "\"><invoice invoice_id=\"real\"/>&xxe;</request>\n");
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(Mentions(r.keys, "SECRET"));
}

TEST_F(XmlHostileTest, ExternalEntityInAnAttributeFails) {
  Result r = ReadDocument(dir_, "<!DOCTYPE request [<!ENTITY xxe SYSTEM \"" + secretPath_ +
                                    "\">]><request xmlns=\"" + kNs +
                                    "\"><invoice invoice_id=\"&xxe;\"/></request>");
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(Mentions(r.keys, "SECRET"));
}

TEST_F(XmlHostileTest, ExternalParameterEntityIsNeverLoaded) {
  std::string dtd = dir_ / "leak.dtd";
  ASSERT_TRUE(testing::WriteFile(dtd, "<!ENTITY leak \"SECRET\">"));
  Result r = ReadDocument(dir_, "<!DOCTYPE request [<!ENTITY % p SYSTEM \"file://" + dtd +
                                    "\"> %p;]><request xmlns=\"" + kNs +
                                    "\"><invoice invoice_id=\"&leak;\"/></request>");
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(Mentions(r.keys, "SECRET"));
}

TEST_F(XmlHostileTest, ExternalDtdSubsetIsNeverLoaded) {
  // Loaded, this DTD would give the invoice element a default identifier.
  std::string dtd = dir_ / "defaults.dtd";
  ASSERT_TRUE(testing::WriteFile(dtd, "<!ATTLIST invoice invoice_id CDATA \"SECRET\">"));
  Result r =
      ReadDocument(dir_, "<!DOCTYPE request SYSTEM \"file://" + dtd + "\"><request xmlns=\"" + kNs +
                             "\"><invoice/><balance amount=\"1.00\"/></request>");
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
  EXPECT_EQ(r.keys.amounts, std::vector<std::string>{"1.00"});
}

TEST_F(XmlHostileTest, NothingIsFetchedOverTheNetwork) {
  LoopbackListener listener;
  ASSERT_NE(listener.port(), 0);
  std::string base = "http://127.0.0.1:" + std::to_string(listener.port());
  const std::string documents[] = {
      "<!DOCTYPE request SYSTEM \"" + base + "/x.dtd\"><request xmlns=\"" + kNs + "\"/>",
      "<!DOCTYPE request [<!ENTITY xxe SYSTEM \"" + base + "/e\">]><request xmlns=\"" + kNs +
          "\">&xxe;</request>",
      "<!DOCTYPE request [<!ENTITY % p SYSTEM \"" + base + "/p\"> %p;]><request xmlns=\"" + kNs +
          "\"/>",
      "<request xmlns=\"" + kNs +
          "\" xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + base +
          "/i\"/></request>",
  };
  for (const std::string& document : documents) ReadDocument(dir_, document);
  // Give a connection that was made time to be counted.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(listener.connections(), 0);
}

TEST_F(XmlHostileTest, BillionLaughsFailsQuickly) {
  std::string dtd = "<!ENTITY lol \"lol\">";
  dtd += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
  for (int i = 2; i <= 9; ++i) {
    std::string prev = "&lol" + std::to_string(i - 1) + ";";
    std::string value;
    for (int k = 0; k < 10; ++k) value += prev;
    dtd += "<!ENTITY lol" + std::to_string(i) + " \"" + value + "\">";
  }
  auto start = std::chrono::steady_clock::now();
  Result inContent = ReadDocument(dir_, "<!DOCTYPE request [" + dtd + "]><request xmlns=\"" + kNs +
                                            "\"><x>&lol9;</x></request>");
  Result inAttribute =
      ReadDocument(dir_, "<!DOCTYPE request [" + dtd + "]><request xmlns=\"" + kNs +
                             "\"><invoice invoice_id=\"&lol9;\"/></request>");
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(inContent.ok);
  EXPECT_FALSE(inAttribute.ok);
  EXPECT_FALSE(Mentions(inAttribute.keys, "lol"));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(XmlHostileTest, InternalEntitiesAreNotExpanded) {
  // Declared entities are never expanded, so a document that uses one fails; a DTD alone does not.
  Result uses = ReadDocument(dir_, "<!DOCTYPE request [<!ENTITY id \"E-1\">]><request xmlns=\"" +
                                       kNs + "\"><invoice invoice_id=\"&id;\"/></request>");
  EXPECT_FALSE(uses.ok);
  EXPECT_TRUE(uses.keys.invoiceIds.empty());
  Result declares =
      ReadDocument(dir_, "<!DOCTYPE request [<!ENTITY id \"E-1\">]><request xmlns=\"" + kNs +
                             "\"><invoice invoice_id=\"P&#45;1&amp;\"/></request>");
  EXPECT_TRUE(declares.ok);
  EXPECT_EQ(declares.keys.invoiceIds, std::vector<std::string>{"P-1&"});
}

TEST_F(XmlHostileTest, DeepNestingFails) {
  std::string open, close;
  for (int i = 0; i < 5000; ++i) {
    open += "<d>";
    close += "</d>";
  }
  Result r = ReadDocument(dir_, "<request xmlns=\"" + kNs + "\">" + open +
                                    "<invoice invoice_id=\"deep\"/>" + close + "</request>");
  EXPECT_FALSE(r.ok);
}

TEST_F(XmlHostileTest, OversizedAttributeValueFails) {
  // Beyond libxml2's limit for one attribute value (10 000 000 bytes without the huge option).
  std::string huge(10'500'000, 'A');
  Result r = ReadDocument(
      dir_, "<request xmlns=\"" + kNs + "\"><invoice invoice_id=\"" + huge + "\"/></request>");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.keys.invoiceIds.empty());
}

}  // namespace
}  // namespace qx
