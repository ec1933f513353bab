// Fuzzes the anonymization transform on arbitrary XML invoices, sealed through the tests'
// in-memory security client (its envelope is the clear message in base64). Checks: only invoices
// of the two invoice namespaces are loaded; a transform that succeeds gives a well-formed
// transfer document addressed as asked; in its anonymized copy every text, comment and
// processing instruction inside a masked person (patient, guarantor, employer; for the later
// versions also insured, debitor with a person, partners) is masked but the postal code's first
// three characters, every identifier is masked wherever it stands, attached documents and
// signatures are left out; every sealed part is a message from the sender to the recipients.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "anonymization/anonymization_transform.h"
#include "crypto/anonymizer_context.h"
#include "crypto/fake_asas.h"
#include "formats/xml_namespaces.h"
#include "platform/codepage.h"
#include "scratch.h"

namespace {

class NoEvents final : public qx::EventTarget {
  void RaiseEvent(qx::tagMsgLevel, qx::tagMsgClass, qx::tagMsgOrigin, int32_t, const qx::BStr&,
                  const qx::BStr&) override {}
};

using Doc = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

Doc Parse(std::string_view text) {
  return Doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
             xmlFreeDoc);
}

std::string Text(const xmlChar* text) {
  return text ? reinterpret_cast<const char*>(text) : "";
}

std::string Content(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = Text(content);
  xmlFree(content);
  return text;
}

bool In(xmlNode* node, std::string_view ns) {
  return node->ns && Text(node->ns->href) == ns;
}

bool HasChild(xmlNode* node, std::string_view ns, const char* name) {
  for (xmlNode* c = node->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE && In(c, ns) && Text(c->name) == name) return true;
  return false;
}

// Masked text: no ASCII letter or digit but the masks' X and 9.
void CheckMasked(const std::string& text) {
  for (char c : text)
    if (isalnum(static_cast<unsigned char>(c)) && c != 'X' && c != '9') abort();
}

struct Rules {
  std::string_view ns;
  std::set<std::string> persons;      // elements whose insides are masked
  std::set<std::string> identifiers;  // attributes (and, later versions, elements) masked
  bool current;
};

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void CheckAnonymized(xmlNode* node, const Rules& r, bool masked, bool inDocuments) {
  for (; node; node = node->next) {
    const std::string name = Text(node->name);
    if (node->type == XML_ELEMENT_NODE) {
      const bool ours = In(node, r.ns);
      if (r.current && ((ours && name == "document" && inDocuments) ||
                        (name == "Signature" && In(node, "http://www.w3.org/2000/09/xmldsig#"))))
        abort();  // left out of the copy
      const bool person =
          ours && r.persons.count(name) && (name != "debitor" || HasChild(node, r.ns, "person"));
      // Persons but the patient lose their attributes; the later versions mask the patient's.
      if (person && !masked && name != "patient" && node->properties) abort();
      const bool ownMasked = masked || (r.current && person);
      for (xmlAttr* a = node->properties; a; a = a->next) {
        const std::string attribute = Text(a->name);
        const std::string value = Content(reinterpret_cast<xmlNode*>(a));
        if (a->ns) continue;
        if (r.identifiers.count(attribute) || (ownMasked && attribute == "card_id") ||
            (r.current && attribute == "reminder_text" && (ownMasked || name == "reminder")))
          CheckMasked(value);
        if (attribute == "birthdate" && ((r.current && ownMasked) || (person && !masked)) &&
            !EndsWith(value, "-01-01T00:00:00") && !(r.current && EndsWith(value, "-01-01")))
          abort();  // the birth date keeps its year only
      }
      if (masked && ours && name == "zip") {
        const std::string zip = Content(node);
        if (qx::Utf8Length(zip) > 4 || zip.empty() || zip.back() != '0') abort();
        continue;
      }
      const bool identifier = r.current && ours && (r.identifiers.count(name) || name == "remark");
      CheckAnonymized(node->children, r, masked || person || identifier,
                      ours && name == "documents");
    } else if (masked && (node->type == XML_TEXT_NODE || node->type == XML_COMMENT_NODE ||
                          node->type == XML_PI_NODE || node->type == XML_CDATA_SECTION_NODE)) {
      CheckMasked(Content(node));
    }
  }
}

const Rules kRules40{qx::kInvoiceNamespace,
                     {"patient", "guarantor", "employer"},
                     {"patient_id", "ssn", "case_id"},
                     false};
const Rules kRulesCurrent{qx::kCurrentInvoiceNamespace,
                          {"patient", "insured", "guarantor", "debitor", "employer", "partners"},
                          {"ssn", "insured_id", "card_id", "case_id", "apid", "acid", "nif",
                           "contract_number", "validation_id"},
                          true};

std::shared_ptr<qx::AnonymizerContext> Context() {
  static std::shared_ptr<qx::AnonymizerContext> context = [] {
    qx::testing::InstallFakeAsas();
    setenv("TMPDIR", fuzz::ScratchFolder().c_str(), 1);  // the envelopes' message folders
    auto c = std::make_shared<qx::AnonymizerContext>(nullptr, qx::moPAnonymizer);
    c->SetSender("S");
    c->SetRcpt("R");
    c->SetValidFolder(fuzz::ScratchFolder());
    c->SetRetryWait([] {});
    return c;
  }();
  return context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::shared_ptr<qx::AnonymizerContext> context = Context();
  static NoEvents events;
  static qx::AnonymizationTransform transform(events, "qendix-Praxis V2.1.14 / Fuzz");
  if (!transform.Loaded()) abort();

  if (qx::Failed(transform.LoadInput(fuzz::WriteScratch("inv.xml", bytes)))) return 0;
  Doc input = Parse(bytes);
  if (!input) abort();  // loaded what is not well-formed
  xmlNode* inputRoot = xmlDocGetRootElement(input.get());
  const Rules& rules = In(inputRoot, qx::kInvoiceNamespace) ? kRules40 : kRulesCurrent;
  if (!In(inputRoot, rules.ns)) abort();  // loaded an invoice of neither namespace

  const qx::HRESULT hr = transform.Transform("inv.xml", "R", size % 2 == 1, context);
  qx::testing::FakeAsas().calls.clear();
  qx::testing::FakeAsas().loadedPaths.clear();
  qx::testing::FakeAsas().savedPaths.clear();
  context->ForgetEnvelopedPdfs();
  std::string document;
  if (qx::Failed(hr)) {
    if (transform.SaveOutput(&document) != qx::E_UNEXPECTED) abort();
    return 0;
  }
  if (qx::Failed(transform.SaveOutput(&document))) abort();
  Doc output = Parse(document);
  if (!output) abort();
  xmlNode* root = xmlDocGetRootElement(output.get());
  if (!In(root, qx::kTransferNamespace) || Text(root->name) != "datatransfer") abort();
  xmlChar* rcpt = xmlGetNoNsProp(root, BAD_CAST "rcpt");
  const bool addressed = Text(rcpt) == "R";
  xmlFree(rcpt);
  if (!addressed) abort();
  for (xmlNode* n = root->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE || Text(n->name) != "data") continue;
    xmlChar* typeText = xmlGetNoNsProp(n, BAD_CAST "type");
    const std::string type = Text(typeText);
    xmlFree(typeText);
    if (type == "anonymized") {
      CheckAnonymized(n->children, rules, false, false);
    } else if (type != "pdf") {
      const std::string body = Content(n);
      if (!body.empty() && qx::testing::DecodeBase64(body).rfind("From: S\r\nTo: R\r\n\r\n", 0))
        abort();
    }
  }
  return 0;
}
