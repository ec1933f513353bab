// The in-process floor of the pipeline benchmark: only the work no implementation can avoid per
// invoice, with the libraries the component uses and no framework around them.
//   XML invoice: parse (libxml2), the masking stylesheet (libxslt, compiled once), the sealed
//     parts the anonymization stylesheet makes (patient, the identifiers when there are any,
//     guarantor, employer) and one per PDF slip, each a CMS envelope (OpenSSL, AES-256, the Trust
//     Center's certificate loaded once), added to the masked document.
//   GNI invoice: read, mask the patient's section, seal it and each PDF slip.
//   Then one write and fsync of the document, and one XML-RPC inputgate.write POST on a kept-alive
//   connection (libcurl, one handle for the run) to the Trust Center's gate.
//
//   pipeline_floor --url http://127.0.0.1:PORT --cert TC.pem --stylesheet MASKING.xsl
//                  --rcpt tc-test --out DIR --manifest FILE
// Manifest: one invoice a line, tab-separated: "xml" or "gni", the invoice's path, its PDF paths.
// Prints one JSON object: invoices, parts sealed, documents the gate accepted, seconds spent on
// the invoices (session set-up and stylesheet compilation excluded). Exit 0 when every document
// was accepted.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

constexpr char kTransferNs[] = "http://www.qendix.org/transfer/v1";
constexpr char kInvoiceNs[] = "http://www.xmlData.ch/xmlInvoice/XSD";

struct Options {
  std::string url, cert, stylesheet, rcpt = "tc-test", out, manifest;
};

struct Invoice {
  bool xml = true;
  std::string path;
  std::vector<std::string> pdfs;
};

bool ReadWhole(const std::string& path, std::string* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *data = text.str();
  return true;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
}

// Digits become 9, ASCII letters X, as the masking stylesheet's translate() does.
char Mask(char c) {
  if (c >= '0' && c <= '9') return '9';
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return 'X';
  return c;
}

// The S/MIME envelope of `data` for one recipient, base64 (no line breaks).
class Sealer {
 public:
  bool Load(const std::string& certPath) {
    FILE* f = std::fopen(certPath.c_str(), "r");
    if (!f) return false;
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!cert) return false;
    certs_ = sk_X509_new_null();
    return certs_ && sk_X509_push(certs_, cert) > 0;
  }
  ~Sealer() {
    if (certs_) sk_X509_pop_free(certs_, X509_free);
  }

  bool Seal(std::string_view data, std::string* base64) {
    std::unique_ptr<BIO, decltype(&BIO_free)> in(
        BIO_new_mem_buf(data.data(), static_cast<int>(data.size())), BIO_free);
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        CMS_encrypt(certs_, in.get(), EVP_aes_256_cbc(), CMS_BINARY), CMS_ContentInfo_free);
    if (!cms) return false;
    unsigned char* der = nullptr;
    int length = i2d_CMS_ContentInfo(cms.get(), &der);
    if (length <= 0) return false;
    base64->resize(4 * ((static_cast<size_t>(length) + 2) / 3) + 1);
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64->data()), der, length);
    OPENSSL_free(der);
    base64->resize(static_cast<size_t>(written));
    ++parts_;
    return true;
  }
  long parts() const { return parts_; }

 private:
  STACK_OF(X509) * certs_ = nullptr;
  long parts_ = 0;
};

size_t Collect(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

// One libcurl handle for the run, so the connection to the gate stays open.
class Poster {
 public:
  Poster() : curl_(curl_easy_init()) {
    headers_ = curl_slist_append(headers_, "Content-Type: text/xml");
    headers_ = curl_slist_append(headers_, "Expect:");
  }
  ~Poster() {
    curl_slist_free_all(headers_);
    if (curl_) curl_easy_cleanup(curl_);
  }

  // POSTs `body` to `url`; the reply's body on status 200, else false.
  bool Post(const std::string& url, const std::string& body, std::string* reply,
            const char* userpwd = nullptr) {
    reply->clear();
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, reply);
    curl_easy_setopt(curl_, CURLOPT_USERPWD, userpwd);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 120L);
    long status = 0;
    return curl_easy_perform(curl_) == CURLE_OK &&
           curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  }

 private:
  CURL* curl_;
  curl_slist* headers_ = nullptr;
};

std::string Call(const char* method, const std::vector<std::string_view>& params) {
  std::string body = "<?xml version=\"1.0\"?><methodCall><methodName>";
  body += method;
  body += "</methodName><params>";
  for (std::string_view p : params) {
    body += "<param><value><string>";
    AppendEscaped(body, p);
    body += "</string></value></param>";
  }
  body += "</params></methodCall>";
  return body;
}

// The text of the string member `name` of an XML-RPC struct reply.
std::string Member(const std::string& reply, const std::string& name) {
  size_t at = reply.find("<name>" + name + "</name>");
  if (at == std::string::npos) return {};
  size_t open = reply.find("<string>", at);
  size_t close = reply.find("</string>", open);
  if (open == std::string::npos || close == std::string::npos) return {};
  return reply.substr(open + 8, close - open - 8);
}

// The serialisation of every node of `expression`'s node set, or nothing.
bool NodesText(xmlXPathContext* xpath, const char* expression, std::string* text) {
  text->clear();
  xmlXPathObject* found = xmlXPathEvalExpression(BAD_CAST expression, xpath);
  if (!found) return false;
  bool any = found->nodesetval && found->nodesetval->nodeNr > 0;
  if (any) {
    xmlBuffer* buffer = xmlBufferCreate();
    for (int i = 0; i < found->nodesetval->nodeNr; ++i)
      xmlNodeDump(buffer, found->nodesetval->nodeTab[i]->doc, found->nodesetval->nodeTab[i], 0, 0);
    text->assign(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                 static_cast<size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
  }
  xmlXPathFreeObject(found);
  return any;
}

// string() of the first node of `expression`, and whether there was one.
bool FirstValue(xmlXPathContext* xpath, const char* expression, std::string* text) {
  text->clear();
  xmlXPathObject* found = xmlXPathEvalExpression(BAD_CAST expression, xpath);
  if (!found) return false;
  bool any = found->nodesetval && found->nodesetval->nodeNr > 0;
  if (any) {
    xmlChar* value = xmlNodeGetContent(found->nodesetval->nodeTab[0]);
    if (value) text->assign(reinterpret_cast<const char*>(value));
    xmlFree(value);
  }
  xmlXPathFreeObject(found);
  return any;
}

struct Part {
  const char* type;
  std::string name;
  std::string text;
};

// The sealed parts of an XML invoice, as the anonymization stylesheet selects them.
std::vector<Part> XmlParts(xmlDoc* doc) {
  std::vector<Part> parts;
  xmlXPathContext* xpath = xmlXPathNewContext(doc);
  xmlXPathRegisterNs(xpath, BAD_CAST "invoice", BAD_CAST kInvoiceNs);
  std::string text;
  NodesText(xpath, "//invoice:patient", &text);
  parts.push_back({"patient", "", text});
  std::string pid, ssn, caseId, caseId2;
  bool ids = FirstValue(xpath, "//invoice:*/@patient_id", &pid);
  ids = FirstValue(xpath, "//invoice:*/@ssn", &ssn) || ids;
  ids = FirstValue(xpath, "//invoice:invoice/@case_id", &caseId) || ids;
  ids = FirstValue(xpath, "//invoice:detail/invoice:*/@case_id", &caseId2) || ids;
  if (ids)
    parts.push_back(
        {"patient_ids", "",
         "/pid:" + pid + "/ssn:" + ssn + "/case_id:" + caseId + "/case_id2:" + caseId2});
  if (NodesText(xpath, "//invoice:guarantor", &text)) parts.push_back({"guarantor", "", text});
  if (NodesText(xpath, "//invoice:employer", &text)) parts.push_back({"employer", "", text});
  xmlXPathFreeContext(xpath);
  return parts;
}

class Floor {
 public:
  explicit Floor(Options options) : options_(std::move(options)) {}
  ~Floor() {
    if (stylesheet_) xsltFreeStylesheet(stylesheet_);
    if (security_) xsltFreeSecurityPrefs(security_);
  }

  bool Start() {
    if (!sealer_.Load(options_.cert)) return Fail("certificate unreadable: " + options_.cert);
    // Like the component: the stylesheet may read or write no file and no network.
    security_ = xsltNewSecurityPrefs();
    for (xsltSecurityOption o :
         {XSLT_SECPREF_READ_FILE, XSLT_SECPREF_WRITE_FILE, XSLT_SECPREF_CREATE_DIRECTORY,
          XSLT_SECPREF_READ_NETWORK, XSLT_SECPREF_WRITE_NETWORK})
      xsltSetSecurityPrefs(security_, o, xsltSecurityForbid);
    stylesheet_ = xsltParseStylesheetFile(BAD_CAST options_.stylesheet.c_str());
    if (!stylesheet_) return Fail("stylesheet unreadable: " + options_.stylesheet);
    std::string reply;
    if (!poster_.Post(options_.url + "/RPC2",
                      Call("qendix.session.new", {"qendix", "kavint", "InputGate"}), &reply,
                      "qendix:kavint"))
      return Fail("no session at " + options_.url);
    session_ = Member(reply, "session");
    gate_ = Member(reply, "gate");
    return !session_.empty() && !gate_.empty() ? true : Fail("no session in the reply");
  }

  bool Process(const Invoice& invoice) {
    std::string document;
    if (!(invoice.xml ? XmlDocument(invoice, &document) : GniDocument(invoice, &document)))
      return false;
    if (!WriteSynced(options_.out + "/" + BaseName(invoice.path), document)) return false;
    std::string reply;
    if (!poster_.Post(gate_, Call("qendix.inputgate.write", {session_, document}), &reply))
      return Fail("POST failed: " + invoice.path);
    if (reply.find("<i4>1002</i4>") != std::string::npos) ++accepted_;
    return true;
  }

  void Stop() {
    std::string reply;
    poster_.Post(options_.url + "/RPC2", Call("qendix.session.close", {session_}), &reply);
  }

  long parts() const { return sealer_.parts(); }
  long accepted() const { return accepted_; }

 private:
  bool Fail(const std::string& why) {
    std::fprintf(stderr, "pipeline_floor: %s\n", why.c_str());
    return false;
  }

  // The base64 text of a PDF, sealed as the PDF part carries it.
  bool SealPdf(const std::string& path, std::string* sealed) {
    std::string pdf;
    if (!ReadWhole(path, &pdf)) return Fail("unreadable: " + path);
    std::string text(4 * ((pdf.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(text.data()),
        reinterpret_cast<const unsigned char*>(pdf.data()), static_cast<int>(pdf.size()))));
    return sealer_.Seal(text, sealed) || Fail("sealing failed: " + path);
  }

  bool XmlDocument(const Invoice& invoice, std::string* document) {
    xmlDoc* input = xmlReadFile(invoice.path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOCDATA);
    if (!input) return Fail("not well-formed: " + invoice.path);
    std::vector<Part> parts = XmlParts(input);
    for (const std::string& pdf : invoice.pdfs) parts.push_back({"pdf", BaseName(pdf), pdf});
    const std::string name = "'" + BaseName(invoice.path) + "'";
    const std::string rcpt = "'" + options_.rcpt + "'";
    const char* params[] = {"filename", name.c_str(), "rcpt", rcpt.c_str(), nullptr};
    xsltTransformContext* context = xsltNewTransformContext(stylesheet_, input);
    xsltSetCtxtSecurityPrefs(security_, context);
    xmlDoc* output = xsltApplyStylesheetUser(stylesheet_, input, params, nullptr, nullptr, context);
    xsltFreeTransformContext(context);
    xmlFreeDoc(input);
    if (!output || !xmlDocGetRootElement(output)) {
      if (output) xmlFreeDoc(output);
      return Fail("transform failed: " + invoice.path);
    }
    xmlNode* root = xmlDocGetRootElement(output);
    xmlNs* ns = xmlSearchNsByHref(output, root, BAD_CAST kTransferNs);
    bool ok = true;
    for (const Part& part : parts) {
      std::string sealed;
      ok = ok && (part.type == std::string("pdf") ? SealPdf(part.text, &sealed)
                                                  : sealer_.Seal(part.text, &sealed));
      if (!ok) break;
      xmlNode* data = xmlNewTextChild(root, ns, BAD_CAST "data", BAD_CAST sealed.c_str());
      if (!part.name.empty()) xmlNewProp(data, BAD_CAST "name", BAD_CAST part.name.c_str());
      xmlNewProp(data, BAD_CAST "type", BAD_CAST part.type);
    }
    xmlChar* text = nullptr;
    int length = 0;
    if (ok) xmlDocDumpMemoryEnc(output, &text, &length, "UTF-8");
    if (text) document->assign(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    xmlFree(text);
    xmlFreeDoc(output);
    return ok && !document->empty();
  }

  // GNI: the lines of the patient's address sections ([ADRPAT...]) are masked in the clear and
  // sealed as they were.
  bool GniDocument(const Invoice& invoice, std::string* document) {
    std::string gni;
    if (!ReadWhole(invoice.path, &gni)) return Fail("unreadable: " + invoice.path);
    std::string masked, identifying;
    bool patient = false;
    size_t start = 0;
    while (start < gni.size()) {
      size_t end = gni.find('\n', start);
      end = end == std::string::npos ? gni.size() : end + 1;
      std::string line = gni.substr(start, end - start);
      if (!line.empty() && line[0] == '[') {
        patient = line.compare(0, 7, "[ADRPAT") == 0;
      } else if (patient) {
        identifying += line;
        size_t eq = line.find('=');
        for (size_t i = eq == std::string::npos ? 0 : eq + 1; i < line.size(); ++i)
          line[i] = Mask(line[i]);
      }
      masked += line;
      start = end;
    }
    // The file is Windows-1252; the document is UTF-8.
    std::string utf8;
    for (unsigned char c : masked) {
      if (c < 0x80) {
        utf8 += static_cast<char>(c);
      } else {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    std::string& d = *document;
    d = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qendix:datatransfer xmlns:qendix=\"";
    d += kTransferNs;
    d += "\" rcpt=\"";
    AppendEscaped(d, options_.rcpt);
    d += "\"><qendix:data name=\"";
    AppendEscaped(d, BaseName(invoice.path));
    d += "\" type=\"anonymized\">";
    AppendEscaped(d, utf8);
    d += "</qendix:data>";
    std::string sealed;
    if (!sealer_.Seal(identifying, &sealed)) return Fail("sealing failed: " + invoice.path);
    d += "<qendix:data type=\"patient\">" + sealed + "</qendix:data>";
    for (const std::string& pdf : invoice.pdfs) {
      if (!SealPdf(pdf, &sealed)) return false;
      d += "<qendix:data name=\"";
      AppendEscaped(d, BaseName(pdf));
      d += "\" type=\"pdf\">" + sealed + "</qendix:data>";
    }
    d += "</qendix:datatransfer>\n";
    return true;
  }

  bool WriteSynced(const std::string& path, const std::string& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return Fail("cannot write " + path);
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    bool ok = done == data.size() && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok || Fail("cannot write " + path);
  }

  Options options_;
  Sealer sealer_;
  Poster poster_;
  xsltStylesheet* stylesheet_ = nullptr;
  xsltSecurityPrefs* security_ = nullptr;
  std::string session_, gate_;
  long accepted_ = 0;
};

bool ReadManifest(const std::string& path, std::vector<Invoice>* invoices) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
      size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() < 2 || (fields[0] != "xml" && fields[0] != "gni")) return false;
    invoices->push_back({fields[0] == "xml", fields[1], {fields.begin() + 2, fields.end()}});
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    std::string* target = flag == "--url"          ? &options.url
                          : flag == "--cert"       ? &options.cert
                          : flag == "--stylesheet" ? &options.stylesheet
                          : flag == "--rcpt"       ? &options.rcpt
                          : flag == "--out"        ? &options.out
                          : flag == "--manifest"   ? &options.manifest
                                                   : nullptr;
    if (!target) {
      std::fprintf(stderr, "pipeline_floor: unknown option %s\n", argv[i]);
      return 2;
    }
    *target = argv[i + 1];
  }
  std::vector<Invoice> invoices;
  if (options.url.empty() || options.cert.empty() || options.stylesheet.empty() ||
      options.out.empty() || !ReadManifest(options.manifest, &invoices)) {
    std::fprintf(stderr,
                 "usage: pipeline_floor --url URL --cert PEM --stylesheet XSL [--rcpt NAME] "
                 "--out DIR --manifest FILE\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  xmlInitParser();
  int status = 1;
  {
    Floor floor(options);
    if (floor.Start()) {
      const auto begin = std::chrono::steady_clock::now();
      size_t done = 0;
      while (done < invoices.size() && floor.Process(invoices[done])) ++done;
      const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - begin;
      floor.Stop();
      std::printf("{\"invoices\": %zu, \"parts\": %ld, \"accepted\": %ld, \"seconds\": %.6f}\n",
                  done, floor.parts(), floor.accepted(), seconds.count());
      status = done == invoices.size() && floor.accepted() == static_cast<long>(done) ? 0 : 1;
    }
  }
  xsltCleanupGlobals();
  xmlCleanupParser();
  curl_global_cleanup();
  return status;
}
