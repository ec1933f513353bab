#include "net/center_directory.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <memory>
#include <random>
#include <string_view>

#include "net/http_download.h"
#include "platform/fault_injection.h"
#include "platform/module.h"
#include "platform/unique_fd.h"
#include "platform/xml_sax.h"

namespace qx {
namespace {

// The largest centers document read (as LoadCache reads the cache).
constexpr size_t kMaxDocumentBytes = 8u << 20;
constexpr size_t kTempRandomChars = 6;

// Whether `name` is a refresh's temporary name for the cache `cacheName`:
// "." + cacheName + "." + six letters or digits (the pattern of mkostemp).
bool IsRefreshTempName(std::string_view name, std::string_view cacheName) {
  const size_t prefix = 1 + cacheName.size() + 1;
  if (name.size() != prefix + kTempRandomChars || name[0] != '.' ||
      name.substr(1, cacheName.size()) != cacheName || name[prefix - 1] != '.')
    return false;
  for (char c : name.substr(prefix))
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return true;
}

// Removes from `folder` the temporaries that refreshes killed between naming their download and
// renaming it over the cache left behind. A refresh of another process that is just between the
// two then fails its rename and keeps the old cache, which is harmless.
void RemoveRefreshLeftovers(const std::string& folder, const std::string& cacheName) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(sys::Opendir(folder.c_str()), ::closedir);
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir.get()))
    if (IsRefreshTempName(entry->d_name, cacheName)) names.emplace_back(entry->d_name);
  for (const std::string& name : names) sys::Unlinkat(::dirfd(dir.get()), name.c_str(), 0);
}

// The whole file behind `fd`, read from its start; false when it is larger than `max`.
bool ReadBack(int fd, size_t max, std::string* text) {
  text->clear();
  char block[16384];
  for (off_t at = 0;;) {
    ssize_t got = sys::Pread(fd, block, sizeof block, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (text->size() + static_cast<size_t>(got) > max) return false;
    text->append(block, static_cast<size_t>(got));
    at += got;
  }
}

// Gives the unnamed file `fd` a free temporary name in `folder` (see IsRefreshTempName), through
// /proc/self/fd, which needs no privilege. False when it cannot be named.
bool NameUnnamedFile(int fd, const std::string& folder, const std::string& cacheName,
                     std::string* path) {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  const std::string from = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = folder + "/." + cacheName + ".";
    for (size_t i = 0; i < kTempRandomChars; ++i) name += kChars[random() % (sizeof kChars - 1)];
    if (sys::Linkat(AT_FDCWD, from.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      *path = std::move(name);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Writes `text` to a new named temporary in `folder`, flushed to disk.
bool WriteNamedTemp(const std::string& folder, const std::string& cacheName,
                    const std::string& text, std::string* path) {
  std::string name = folder + "/." + cacheName + ".XXXXXX";
  UniqueFd fd(sys::Mkostemp(name.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  bool ok = ::fchmod(fd.get(), 0644) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = sys::Write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && sys::Fsync(fd.get()) == 0;
  if (!ok) {
    sys::Unlink(name.c_str());
    return false;
  }
  *path = std::move(name);
  return true;
}

}  // namespace

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
  FaultTagScope tag("refresh");
  if (!LoadCache() || update_url_.empty()) return false;
  auto slash = cache_path_.rfind('/');
  std::string folder = slash == std::string::npos ? "." : cache_path_.substr(0, slash);
  std::string cacheName = slash == std::string::npos ? cache_path_ : cache_path_.substr(slash + 1);
  RemoveRefreshLeftovers(folder, cacheName);
  // The download goes into a file without a name, so that a process killed during it leaves
  // nothing behind; it is named only for the rename over the cache. A file system without
  // unnamed files gets a named temporary from the start.
  std::string temp;
  UniqueFd fd(sys::Open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    temp = folder + "/." + cacheName + ".XXXXXX";
    fd = UniqueFd(sys::Mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) return false;
  }
  bool ok = DownloadToFd(update_url_ + "/qendix.xml", fd.get());
  ok = ok && ::fchmod(fd.get(), 0644) == 0 && sys::Fsync(fd.get()) == 0;
  std::string text;
  ok = ok && ReadBack(fd.get(), kMaxDocumentBytes, &text);
  if (ok) {
    // A document without centers would leave the user no Trust Center to choose.
    CenterDirectory fresh{std::string()};
    CenterDirectoryParser parser(&fresh);
    ok = ParseXmlMemory(text, parser) && !fresh.labels().empty();
  }
  if (ok && temp.empty() && !NameUnnamedFile(fd.get(), folder, cacheName, &temp))
    ok = WriteNamedTemp(folder, cacheName, text, &temp);  // no /proc: write it out again
  fd = UniqueFd();
  // rename() replaces the cache in one step: a reader sees the old or the new file, never none.
  if (ok && sys::Rename(temp.c_str(), cache_path_.c_str()) == 0) return true;
  if (!temp.empty()) sys::Unlink(temp.c_str());
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
