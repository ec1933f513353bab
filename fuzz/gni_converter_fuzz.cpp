// Fuzzes the GNI splitter and the writer of the transfer document made from a GNI invoice, sealed
// through the tests' in-memory security client (its envelope is the clear message in base64).
// Checks: the splitter accepts exactly what the GNI parser accepts, and the converter converts
// exactly that; the document is well-formed and addressed as asked; its anonymized text reads as
// GNI again and holds no patient or debtor field but the masked ones and no identifying invoice
// field; the patient part seals the identifying text whole.
#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "anonymization/document_text.h"
#include "anonymization/gni_converter.h"
#include "crypto/anonymizer_context.h"
#include "crypto/fake_asas.h"
#include "formats/gni_invoice.h"
#include "formats/xml_namespaces.h"
#include "scratch.h"

namespace {

constexpr char kRcpt[] = "tc1,tc2";
constexpr char kPdf[] = "0100000125505_000000000000000020050004201_010001628_.pdf";

// Reads the anonymized text back as GNI and aborts at any field that must not be in clear.
class ClearTextCheck final : public qx::GniReader {
  void RecordStart(std::string_view name, int32_t) override {
    record_.clear();
    for (char c : name)
      if (c != ' ' && c != '\t') record_ += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  }
  void Field(int32_t number, std::string_view value) override {
    const bool masked = value == "XXX";
    if (record_ == "ADRPAT" && !(number == 132 && masked) && number != 155 && number != 158 &&
        number != 269)
      abort();
    if (record_ == "ADRDEB" && !((number == 132 || number == 137) && masked)) abort();
    if (record_ == "INFC" && number == 217) abort();
  }
  std::string record_;
};

std::string Text(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetNoNsProp(node, BAD_CAST name);
  std::string text = value ? reinterpret_cast<const char*>(value) : "<none>";
  xmlFree(value);
  return text;
}

std::string Latin1(const std::string& utf8) {
  std::string out(utf8.size(), '\0');
  int outLength = static_cast<int>(out.size()), inLength = static_cast<int>(utf8.size());
  if (UTF8Toisolat1(reinterpret_cast<unsigned char*>(out.data()), &outLength,
                    reinterpret_cast<const unsigned char*>(utf8.data()), &inLength) < 0)
    abort();
  out.resize(static_cast<size_t>(outLength));
  return out;
}

qx::AnonymizerContext& Context() {
  static qx::AnonymizerContext* context = [] {
    qx::testing::InstallFakeAsas();
    setenv("TMPDIR", fuzz::ScratchFolder().c_str(), 1);  // the envelopes' message folders
    auto* c = new qx::AnonymizerContext(nullptr, qx::moPAnonymizer);
    c->SetSender("S");
    c->SetRcpt(kRcpt);
    c->SetValidFolder(fuzz::ScratchFolder());
    c->SetRetryWait([] {});
    fuzz::WriteScratch(kPdf, "%PDF-1.4\n");
    return c;
  }();
  return *context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qx::AnonymizerContext& context = Context();
  qx::GniSplitter splitter;
  const bool split = splitter.Split(bytes);
  if (split != qx::GniKeyCollector().ParseBytes(bytes)) abort();

  static qx::GniConverter converter("qendix-Praxis V2.1.14 / Fuzz");
  converter.SetInput(fuzz::WriteScratch("r.gni", bytes));
  context.SetPdfFiles({kPdf});
  const qx::HRESULT hr = converter.Convert("r.gni", kRcpt, size % 2 == 1, context);
  context.ForgetEnvelopedPdfs();
  qx::testing::FakeAsas().calls.clear();
  qx::testing::FakeAsas().loadedPaths.clear();
  qx::testing::FakeAsas().savedPaths.clear();
  if (hr != (split ? qx::S_OK : qx::E_FAIL)) abort();
  if (!split) return 0;

  const std::string& document = converter.Document();
  xmlDoc* doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) abort();  // the Trust Center could not read it
  xmlNode* root = xmlDocGetRootElement(doc);
  if (!root->ns || !xmlStrEqual(root->ns->href, BAD_CAST qx::kTransferNamespace.data()) ||
      Attribute(root, "rcpt") != kRcpt)
    abort();
  int anonymized = 0, patient = 0;
  for (xmlNode* n = root->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    const std::string type = Attribute(n, "type");
    if (type == "anonymized") {
      ++anonymized;
      ClearTextCheck check;
      if (Attribute(n, "name") != "r.gni" || !check.ParseBytes(Latin1(Text(n)))) abort();
    } else if (type == "patient") {
      ++patient;
      const std::string message = qx::testing::DecodeBase64(Text(n));
      const std::string sealed = qx::WithCrLf(splitter.Identifying());
      if (message.size() < sealed.size() ||
          message.compare(message.size() - sealed.size(), sealed.size(), sealed) != 0)
        abort();
    }
  }
  xmlFreeDoc(doc);
  if (anonymized != 1 || patient != 1) abort();
  return 0;
}
