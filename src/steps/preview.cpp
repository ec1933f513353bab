#include "steps/preview.h"

#include <fcntl.h>
#include <ftw.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "anonymization/transfer_document.h"
#include "crypto/envelopes.h"
#include "formats/gni_invoice.h"
#include "formats/invoice_file.h"
#include "formats/xml_invoice.h"
#include "net/center_directory.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "platform/last_error.h"
#include "platform/quiet_libxml_errors.h"
#include "steps/checker.h"
#include "support/json_text.h"
#include "support/messages.h"
#include "support/settings.h"
#include "support/system_description.h"

namespace qx {
namespace {

// A recipient list shorter than this names no Trust Center (as for the Anonymizer).
constexpr size_t kMinRcptLength = 6;

// A private folder (0700, unpredictable name under $TMPDIR or /tmp), removed with everything in
// it when the object ends.
class PrivateFolder {
 public:
  HRESULT Create() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qendix-preview-XXXXXX";
    if (!mkdtemp(pattern.data())) return HresultFromErrno(errno);
    path_ = pattern;
    return S_OK;
  }
  ~PrivateFolder() {
    if (path_.empty()) return;
    nftw(
        path_.c_str(),
        [](const char* path, const struct stat*, int type, struct FTW*) {
          return type == FTW_DP ? ::rmdir(path) : ::unlink(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The job host of the Checker's run in the private work directory: the preview's settings, and
// the events kept for the verdict instead of going to the component's sinks and log.
class PreviewHost final : public JobHost {
 public:
  struct Event {
    tagMsgLevel level;
    int32_t code;
    std::string file;
    std::string text;
  };
  explicit PreviewHost(JobSettings settings) : settings_(std::move(settings)) {}
  void RaiseEvent(tagMsgLevel level, tagMsgClass, tagMsgOrigin, int32_t code, const BStr& file,
                  const BStr& msg) override {
    events_.push_back({level, code, file.value_or(""), msg.value_or("")});
  }
  JobSettings Settings() const override { return settings_; }
  std::string Session() const override { return "preview"; }
  void CloseLog() override {}
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  const std::vector<Event>& Events() const { return events_; }

 private:
  JobSettings settings_;
  std::vector<Event> events_;
};

// Stands in for the security client: records each part and puts the placeholder in its place.
class RecordingStandIn final : public EnvelopeStandIn {
 public:
  explicit RecordingStandIn(std::string rcpt) {
    // The placeholder is plain text whatever the recipient list holds.
    for (char c : rcpt)
      rcpt_ += (c == '<' || c == '>' || c == '&' || c == '\r' || c == '\n') ? '?' : c;
  }
  HRESULT Seal(const SealedPart& part, std::string* body) override {
    if (!body) return E_POINTER;
    parts.push_back({part.kind == SealedPart::kPdf, part.name, part.clearBytes});
    clearTexts.push_back(Cp1252ToUtf8(part.clear));
    *body = "[sealed for " + rcpt_ + ": " + std::to_string(part.clearBytes) + " bytes]";
    return S_OK;
  }
  std::vector<PreviewSealedPart> parts;
  std::vector<std::string> clearTexts;  // UTF-8; empty for a PDF

 private:
  std::string rcpt_;
};

HRESULT CopyFile(const std::string& from, const std::string& to) {
  std::string bytes;
  HRESULT hr = ReadInputFile(from, kMaxInvoiceFileBytes, &bytes);
  if (Succeeded(hr)) hr = WriteFileAtomically(to, bytes);
  return hr;
}

// With withPDF: the PDF files beside the invoice that one of its payment slips names.
std::vector<std::string> SlipFiles(const std::string& path, FileKind kind) {
  InvoiceKeys keys;
  if (kind == fkXml)
    ReadXmlInvoiceFile(path, &keys, nullptr);
  else
    ReadGniInvoiceFile(path, &keys);
  std::vector<std::string> prefixes;
  for (const auto* list : {&keys.codingLines, &keys.qrReferences})
    for (const std::string& line : *list)
      if (std::string clean = CleanReference(line); !clean.empty()) prefixes.push_back(clean);
  std::vector<std::string> names, slips;
  ListRegularFiles(FolderOf(path), &names);
  for (const std::string& name : names) {
    bool named = false;
    for (const std::string& prefix : prefixes) named = named || StartsWithNoCase(name, prefix);
    if (named && ClassifyFile(JoinPath(FolderOf(path), name)) == fkPdf) slips.push_back(name);
  }
  return slips;
}

// The values of the invoice, by place, in the order they are met.
class ValueList {
 public:
  PreviewValue& At(const std::string& key, const std::string& where) {
    auto [it, added] = index_.emplace(key, values_.size());
    if (added) {
      values_.push_back({});
      values_.back().where = where;
    }
    return values_[it->second];
  }
  PreviewValue* Find(const std::string& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &values_[it->second];
  }
  std::vector<PreviewValue>& Values() { return values_; }

 private:
  std::map<std::string, size_t> index_;
  std::vector<PreviewValue> values_;
};

// --- XML invoices ---------------------------------------------------------------------------

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

Doc ParseXml(std::string_view text, bool lenient) {
  QuietLibxmlErrors quiet;
  int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  if (lenient) options |= XML_PARSE_RECOVER;
  if (text.size() > kMaxInvoiceFileBytes) return nullptr;
  return Doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, options));
}

std::string Text(const xmlChar* text) {
  return text ? reinterpret_cast<const char*>(text) : "";
}

std::string Content(const xmlNode* node) {
  xmlChar* text = xmlNodeGetContent(node);
  std::string value = Text(text);
  xmlFree(text);
  return value;
}

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The element and text children of `element`, without blank texts.
std::vector<const xmlNode*> Significant(const xmlNode* element) {
  std::vector<const xmlNode*> children;
  for (const xmlNode* n = element->children; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE)
      children.push_back(n);
    else if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) &&
             !IsBlank(Content(n)))
      children.push_back(n);
  }
  return children;
}

// "name" or "name[k]" when the element has siblings of its name.
std::string Step(const xmlNode* element) {
  int position = 0, count = 0;
  for (const xmlNode* n = element->parent ? element->parent->children : element; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE || !xmlStrEqual(n->name, element->name)) continue;
    ++count;
    if (n == element) position = count;
  }
  std::string step = Text(element->name);
  if (count > 1) step += "[" + std::to_string(position) + "]";
  return step;
}

const xmlAttr* FindAttribute(const xmlNode* element, const xmlAttr* like) {
  for (const xmlAttr* a = element->properties; a; a = a->next) {
    const bool sameNs =
        (!a->ns && !like->ns) || (a->ns && like->ns && xmlStrEqual(a->ns->href, like->ns->href));
    if (sameNs && xmlStrEqual(a->name, like->name)) return a;
  }
  return nullptr;
}

// Compares the invoice element `in` with its copy `out` in the anonymized part (null when it
// has none) and lists every text and attribute: changed ones as masked, missing ones as left
// out. All are recorded in `all` (key -> place) for the sealed parts.
void CompareXml(const xmlNode* in, const xmlNode* out, const std::string& path, ValueList& values,
                std::map<const xmlNode*, std::string>& keys) {
  keys[in] = path;
  for (const xmlAttr* a = in->properties; a; a = a->next) {
    const std::string value = Content(reinterpret_cast<const xmlNode*>(a));
    const xmlAttr* copy = out ? FindAttribute(out, a) : nullptr;
    const std::string clear = copy ? Content(reinterpret_cast<const xmlNode*>(copy)) : "";
    if (copy && clear == value) continue;
    PreviewValue& v = values.At(path + "/@" + Text(a->name), path + "/@" + Text(a->name));
    v.value = value;
    v.inClear = copy != nullptr;
    v.clear = clear;
  }
  // Children are paired in order, leaving out blank texts, comments and processing
  // instructions, which the stylesheet may drop.
  const std::vector<const xmlNode*> inChildren = Significant(in);
  const std::vector<const xmlNode*> outChildren =
      out ? Significant(out) : std::vector<const xmlNode*>();
  bool lined = true;
  int textIndex = 0;
  for (size_t i = 0; i < inChildren.size(); ++i) {
    const xmlNode* n = inChildren[i];
    const xmlNode* o = lined && i < outChildren.size() ? outChildren[i] : nullptr;
    if (n->type == XML_ELEMENT_NODE) {
      const bool same = o && o->type == XML_ELEMENT_NODE && xmlStrEqual(o->name, n->name);
      if (!same) lined = false;  // the copies no longer line up
      CompareXml(n, same ? o : nullptr, path + "/" + Step(n), values, keys);
    } else {
      ++textIndex;
      const std::string value = Content(n);
      const bool copied = o && o->type != XML_ELEMENT_NODE;
      const std::string clear = copied ? Content(o) : "";
      if (copied && clear == value) continue;
      PreviewValue& v = values.At(path + "#" + std::to_string(textIndex), path);
      v.value = value;
      v.inClear = copied;
      v.clear = clear;
    }
  }
}

// Every text and attribute below `element`, as sealed in part `part`; those the comparison did
// not list go out in clear as well.
void MarkSealed(const xmlNode* element, int part, ValueList& values,
                const std::map<const xmlNode*, std::string>& keys) {
  auto it = keys.find(element);
  if (it == keys.end()) return;
  const std::string& path = it->second;
  for (const xmlAttr* a = element->properties; a; a = a->next) {
    const std::string key = path + "/@" + Text(a->name);
    PreviewValue* v = values.Find(key);
    if (!v) {
      v = &values.At(key, key);
      v->value = v->clear = Content(reinterpret_cast<const xmlNode*>(a));
      v->inClear = true;
    }
    if (!v->sealedPart) v->sealedPart = part;
  }
  int textIndex = 0;
  for (const xmlNode* n : Significant(element)) {
    if (n->type == XML_ELEMENT_NODE) {
      MarkSealed(n, part, values, keys);
      continue;
    }
    ++textIndex;
    const std::string key = path + "#" + std::to_string(textIndex);
    PreviewValue* v = values.Find(key);
    if (!v) {
      v = &values.At(key, path);
      v->value = v->clear = Content(n);
      v->inClear = true;
    }
    if (!v->sealedPart) v->sealedPart = part;
  }
}

const xmlNode* FirstElementNamed(const xmlNode* node, const xmlChar* name) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (xmlStrEqual(node->name, name)) return node;
    if (const xmlNode* found = FirstElementNamed(node->children, name)) return found;
  }
  return nullptr;
}

const xmlNode* AnonymizedCopy(const xmlDoc* document) {
  const xmlNode* root = xmlDocGetRootElement(document);
  for (const xmlNode* n = root ? root->children : nullptr; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE || !xmlStrEqual(n->name, BAD_CAST "data")) continue;
    xmlChar* type = xmlGetProp(n, BAD_CAST "type");
    const bool anonymized = Text(type) == "anonymized";
    xmlFree(type);
    if (!anonymized) continue;
    for (const xmlNode* c = n->children; c; c = c->next)
      if (c->type == XML_ELEMENT_NODE) return c;
  }
  return nullptr;
}

void XmlValues(const std::string& invoicePath, const std::string& document,
               const std::vector<std::string>& clearTexts, ValueList& values) {
  std::string bytes;
  if (Failed(ReadInputFile(invoicePath, kMaxInvoiceFileBytes, &bytes))) return;
  Doc input = ParseXml(bytes, false);
  Doc output = ParseXml(document, false);
  const xmlNode* root = input ? xmlDocGetRootElement(input.get()) : nullptr;
  if (!root || !output) return;
  std::map<const xmlNode*, std::string> keys;
  CompareXml(root, AnonymizedCopy(output.get()), "/" + Step(root), values, keys);
  // Elements first: a value inside a sealed element belongs to it, whatever else holds it too.
  for (size_t i = 0; i < clearTexts.size(); ++i) {
    const std::string& clear = clearTexts[i];
    const size_t first = clear.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || clear[first] != '<') continue;
    // An element of the invoice: the first of its name, as the stylesheet takes it.
    Doc fragment = ParseXml(clear, true);
    const xmlNode* top = fragment ? xmlDocGetRootElement(fragment.get()) : nullptr;
    if (const xmlNode* element = top ? FirstElementNamed(root, top->name) : nullptr)
      MarkSealed(element, static_cast<int>(i) + 1, values, keys);
  }
  // A text made of labelled values ("/label:value/label:value"): the listed values it holds.
  for (size_t i = 0; i < clearTexts.size(); ++i) {
    const std::string& clear = clearTexts[i];
    const size_t first = clear.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || clear[first] == '<') continue;
    for (PreviewValue& v : values.Values()) {
      if (v.sealedPart || v.value.empty()) continue;
      const std::string labelled = ":" + v.value;
      const size_t at = clear.find(labelled + "/");
      const bool last =
          clear.size() >= labelled.size() &&
          clear.compare(clear.size() - labelled.size(), labelled.size(), labelled) == 0;
      if (at != std::string::npos || last) v.sealedPart = static_cast<int>(i) + 1;
    }
  }
}

// --- GNI invoices ---------------------------------------------------------------------------

struct GniField {
  std::string key;    // record header, occurrence, field number, occurrence in the record
  std::string where;  // "[RECORD] field"
  std::string value;
};

// The fields of a GNI text (UTF-8, LF or CR LF), with `unescape` for the anonymized text.
std::vector<GniField> GniFields(std::string_view text, bool unescape) {
  std::vector<GniField> fields;
  std::map<std::string, int> recordSeen, fieldSeen;
  std::string record;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      record = line + "#" + std::to_string(++recordSeen[line]);
      fieldSeen.clear();
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (unescape) {
      for (auto [from, to] : std::initializer_list<std::pair<const char*, const char*>>{
               {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
        for (size_t at = value.find(from); at != std::string::npos; at = value.find(from, at + 1))
          value.replace(at, std::string_view(from).size(), to);
    }
    const std::string field = line.substr(0, eq);
    const std::string where = record.substr(0, record.find('#')) + " " + field;
    fields.push_back(
        {record + "/" + field + "#" + std::to_string(++fieldSeen[field]), where, std::move(value)});
  }
  return fields;
}

void GniValues(const std::string& invoicePath, const std::string& document,
               const std::vector<std::string>& clearTexts, ValueList& values) {
  std::string bytes;
  if (Failed(ReadInputFile(invoicePath, kMaxInvoiceFileBytes, &bytes))) return;
  const std::string start = "type=\"anonymized\">";
  const size_t from = document.find(start);
  const size_t to = from == std::string::npos ? from : document.find("</qendix:data>", from);
  std::map<std::string, std::string> clear;
  if (to != std::string::npos)
    for (GniField& f :
         GniFields(document.substr(from + start.size(), to - from - start.size()), true))
      clear.emplace(f.key, std::move(f.value));
  for (GniField& f : GniFields(Cp1252ToUtf8(bytes), false)) {
    auto it = clear.find(f.key);
    if (it != clear.end() && it->second == f.value) continue;
    PreviewValue& v = values.At(f.key, f.where);
    v.value = f.value;
    v.inClear = it != clear.end();
    if (v.inClear) v.clear = it->second;
  }
  for (size_t i = 0; i < clearTexts.size(); ++i) {
    for (GniField& f : GniFields(clearTexts[i], false)) {
      PreviewValue* v = values.Find(f.key);
      if (!v) {
        v = &values.At(f.key, f.where);
        v->value = v->clear = f.value;
        v->inClear = true;
      }
      if (!v->sealedPart) v->sealedPart = static_cast<int>(i) + 1;
    }
  }
}

}  // namespace

HRESULT PreviewInvoice(const JobSettings& settings, const std::string& path,
                       PreviewResult* result) {
  if (!result) return E_POINTER;
  *result = PreviewResult();
  result->fileName = BaseName(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(st.st_mode) || result->fileName.empty() || result->fileName[0] == '.')
    return E_INVALIDARG;
  result->kind = ClassifyFile(path);

  PrivateFolder folder;
  HRESULT hr = folder.Create();
  if (Failed(hr)) return hr;
  const std::string input = JoinPath(folder.Path(), "input");
  const std::string valid = JoinPath(folder.Path(), "valid");
  if (Failed(hr = CreateDirectoryLevel(input))) return hr;
  if (Failed(hr = CopyFile(path, JoinPath(input, result->fileName)))) return hr;
  const bool withPdf = settings.Has(kOptionWithPdf);
  if (withPdf && (result->kind == fkXml || result->kind == fkGni))
    for (const std::string& slip : SlipFiles(path, result->kind))
      if (slip != result->fileName) CopyFile(JoinPath(FolderOf(path), slip), JoinPath(input, slip));

  // The Checker as in a job, in the private work directory. Auto mode: it has no job lock to
  // give back.
  JobSettings checkSettings = settings;
  checkSettings.workDirectory = folder.Path();
  PreviewHost host(checkSettings);
  {
    JobContext context(host, nullptr);
    context.SetAutoMode(true);
    PChecker checker(context);
    checker.Run();
  }
  result->accepted = PathExists(JoinPath(valid, result->fileName));
  std::string lastWord;
  for (const auto& event : host.Events()) {
    if (event.file != result->fileName && !event.file.empty()) continue;
    if (event.level >= mlError) result->checkErrors.push_back(event.text);
    if (event.file == result->fileName && event.code == 0) lastWord = event.text;
  }
  if (!result->accepted) {
    if (result->checkErrors.empty() && !lastWord.empty()) result->checkErrors.push_back(lastWord);
    return S_OK;
  }
  result->checkErrors.clear();

  std::vector<std::string> names;
  ListRegularFiles(valid, &names);
  for (const std::string& name : names)
    if (name != result->fileName) result->attachments.push_back(name);

  CenterDirectory directory;
  if (directory.LoadCache()) result->rcpt = directory.Rcpt(settings.trustCenter.value_or(""));
  if (result->rcpt.size() < kMinRcptLength) {
    result->failure = E_FAIL;
    result->failureText = LoadMessage(1120);
    return S_OK;
  }

  auto anonymizer = std::make_shared<AnonymizerContext>(&host, moPAnonymizer);
  auto standIn = std::make_shared<RecordingStandIn>(result->rcpt);
  anonymizer->SetRcpt(result->rcpt);
  anonymizer->SetWithPdf(withPdf);
  anonymizer->SetValidFolder(valid);
  anonymizer->SetPdfFiles(result->attachments);
  anonymizer->SetEnvelopeStandIn(standIn);
  AnonymizationTransform transform(host, GeneratorText());
  GniConverter converter(GeneratorText());
  const std::string copy = JoinPath(valid, result->fileName);
  std::string document;
  hr = MakeTransferDocument(transform, converter, result->kind, copy, result->fileName,
                            result->rcpt, withPdf, anonymizer, &document);
  if (Failed(hr)) {
    result->failure = hr;
    result->failureText = ResultText(hr);
    if (!transform.ErrorText().empty()) result->failureText += ": " + transform.ErrorText();
    return S_OK;
  }
  result->sealed = standIn->parts;
  ValueList values;
  if (result->kind == fkXml) {
    result->document = document;
    XmlValues(copy, document, standIn->clearTexts, values);
  } else {
    std::string text = Cp1252ToUtf8(document);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    result->document = std::move(text);
    GniValues(copy, result->document, standIn->clearTexts, values);
  }
  result->values = std::move(values.Values());
  return S_OK;
}

namespace {

std::string KindText(FileKind kind) {
  return kind == fkXml ? "XML" : kind == fkGni ? "GNI" : kind == fkPdf ? "PDF" : "?";
}

// What became of a value, in the user's language.
std::string Fate(const PreviewValue& v) {
  std::string fate = !v.inClear           ? LoadMessage(1308)
                     : v.clear == v.value ? LoadMessage(1310)
                                          : LoadMessage(1307) + " \"" + v.clear + "\"";
  if (v.sealedPart) fate += ", " + FillText(LoadMessage(1309), {std::to_string(v.sealedPart)});
  return fate;
}

}  // namespace

std::string PreviewText(const PreviewResult& r) {
  std::string out = FillText(LoadMessage(1300), {r.fileName + " (" + KindText(r.kind) + ")"});
  out += "\n";
  out += LoadMessage(r.accepted ? 1301 : 1302) + "\n";
  for (const std::string& error : r.checkErrors) out += "  " + error + "\n";
  if (!r.attachments.empty()) {
    std::string list;
    for (const std::string& name : r.attachments) list += (list.empty() ? "" : ", ") + name;
    out += FillText(LoadMessage(1303), {list}) + "\n";
  }
  if (!r.accepted) return out;
  if (!r.rcpt.empty()) out += FillText(LoadMessage(1304), {r.rcpt}) + "\n";
  if (Failed(r.failure)) return out + LoadMessage(1022) + ": " + r.failureText + "\n";
  out += "\n" + LoadMessage(1305) + "\n" + r.document;
  if (!r.document.empty() && r.document.back() != '\n') out += "\n";
  out += "\n" + LoadMessage(1312) + "\n";
  for (size_t i = 0; i < r.sealed.size(); ++i) {
    const PreviewSealedPart& p = r.sealed[i];
    out += "  " + std::to_string(i + 1) + ": " + (p.pdf ? "PDF " + p.name : LoadMessage(1314)) +
           ", " + FillText(LoadMessage(1313), {std::to_string(p.bytes)}) + "\n";
  }
  out += "\n" + LoadMessage(1306) + "\n";
  if (r.values.empty()) out += "  " + LoadMessage(1311) + "\n";
  for (const PreviewValue& v : r.values)
    out += "  " + v.where + ": \"" + v.value + "\" -> " + Fate(v) + "\n";
  return out;
}

std::string PreviewJson(const PreviewResult& r) {
  auto list = [](const std::vector<std::string>& texts) {
    std::string json = "[";
    for (const std::string& t : texts) json += (json.size() > 1 ? "," : "") + JsonString(t);
    return json + "]";
  };
  std::string sealed = "[";
  for (const PreviewSealedPart& p : r.sealed) {
    JsonObject part;
    part.Text("kind", p.pdf ? "pdf" : "text");
    if (p.pdf) part.Text("name", p.name);
    sealed +=
        (sealed.size() > 1 ? "," : "") + part.Number("bytes", static_cast<int64_t>(p.bytes)).Done();
  }
  std::string values = "[";
  for (const PreviewValue& v : r.values) {
    JsonObject value;
    value.Text("where", v.where).Text("value", v.value);
    value.Raw("clear", v.inClear ? JsonString(v.clear) : "null");
    value.Raw("sealedPart", v.sealedPart ? std::to_string(v.sealedPart) : "null");
    values += (values.size() > 1 ? "," : "") + value.Done();
  }
  JsonObject object;
  object.Text("file", r.fileName).Text("kind", KindText(r.kind)).Bool("accepted", r.accepted);
  object.Raw("checkErrors", list(r.checkErrors)).Raw("attachments", list(r.attachments));
  object.Text("rcpt", r.rcpt);
  object.Raw("failure", Failed(r.failure) ? JsonString(r.failureText) : "null");
  object.Raw("document", r.accepted && Succeeded(r.failure) ? JsonString(r.document) : "null");
  object.Raw("sealed", sealed + "]").Raw("values", values + "]");
  return object.Done();
}

}  // namespace qx
