#include "net/center_directory.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>

#include "net/http_download.h"
#include "platform/module.h"
#include "platform/xml_sax.h"

namespace qx {

// Feeds the elements of the centers namespace into a directory.
class CenterDirectoryParser final : public XmlStartElementHandler {
 public:
  explicit CenterDirectoryParser(CenterDirectory* directory) : d_(directory) {}

  void StartElement(std::string_view uri, std::string_view name,
                    std::span<const XmlAttribute> attributes) override {
    if (!d_ || uri != kCentersNamespace) return;
    if (name == "center") {
      std::optional<std::string_view> found = FindAttribute(attributes, "label");
      if (!found) return;
      std::string label(*found);
      d_->labels_.push_back(label);
      struct Field {
        const char* name;
        std::map<std::string, std::string>* map;
      } fields[] = {{"url", &d_->urls_},        {"ean", &d_->eans_},   {"esr", &d_->esrs_},
                    {"esrPDF", &d_->esr_pdfs_}, {"rcpt", &d_->rcpts_}, {"tel", &d_->tels_}};
      for (const auto& f : fields)
        if (auto v = FindAttribute(attributes, f.name)) (*f.map)[label] = std::string(*v);
    } else if (name == "centers") {
      if (auto v = FindAttribute(attributes, "version")) d_->version_ = *v;
    } else if (name == "update") {
      if (auto v = FindAttribute(attributes, "url")) d_->update_url_ = *v;
    }
  }

 private:
  CenterDirectory* d_;
};

CenterDirectory::CenterDirectory() : cache_path_(ModuleDirectory() + "/qendix.xml") {}

CenterDirectory::CenterDirectory(std::string cache_path) : cache_path_(std::move(cache_path)) {}

std::string CenterDirectory::Get(const std::map<std::string, std::string>& map,
                                 const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? std::string() : it->second;
}

bool CenterDirectory::LoadCache() {
  if (loaded_) return true;
  CenterDirectoryParser parser(this);
  if (!ParseXmlFile(cache_path_, parser, 8u << 20)) return false;
  loaded_ = true;
  return true;
}

bool CenterDirectory::Refresh() {
  if (!LoadCache() || update_url_.empty()) return false;
  auto slash = cache_path_.rfind('/');
  std::string folder = slash == std::string::npos ? "." : cache_path_.substr(0, slash);
  std::string temp = folder + "/.qendix.xml.XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = DownloadToFd(update_url_ + "/qendix.xml", fd);
  ok = (fchmod(fd, 0644) == 0) && ok;
  ok = (fsync(fd) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  if (ok) {
    // A document without centers would leave the user no Trust Center to choose.
    CenterDirectory fresh(temp);
    ok = fresh.LoadCache() && !fresh.labels().empty();
  }
  // rename() replaces the cache in one step: a reader sees the old or the new file, never none.
  if (ok && ::rename(temp.c_str(), cache_path_.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

long long LeadingNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    int digit = text[i] - '0';
    value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace qx
