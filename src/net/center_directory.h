// The Trust Center directory: the centers document cached as "qendix.xml" in the module folder.
//
// A fresh CenterDirectory is made for every use: LoadCache parses the cache once, the lookups
// answer by label (empty when the label or attribute is unknown), and Refresh downloads the
// document again from the update URL and replaces the cache when the download is a well-formed
// document with centers. Not thread-safe; separate objects may be used on separate threads at once.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qx {

constexpr const char* kCentersNamespace = "http://www.qendix.org/centers/v1";

class CenterDirectory {
 public:
  // Uses "<module folder>/qendix.xml".
  CenterDirectory();
  // Uses the given cache file (tests, tools).
  explicit CenterDirectory(std::string cache_path);

  // Parses the cache file; later calls return true at once after a success. Values read before a
  // parse error stay in the object.
  bool LoadCache();

  std::string Url(const std::string& label) const { return Get(urls_, label); }
  std::string Ean(const std::string& label) const { return Get(eans_, label); }
  std::string Esr(const std::string& label) const { return Get(esrs_, label); }
  std::string EsrPdf(const std::string& label) const { return Get(esr_pdfs_, label); }
  std::string Rcpt(const std::string& label) const { return Get(rcpts_, label); }
  std::string Tel(const std::string& label) const { return Get(tels_, label); }

  // Every center's label in document order; a label that occurs twice is listed twice.
  const std::vector<std::string>& labels() const { return labels_; }
  const std::string& updateUrl() const { return update_url_; }
  const std::string& version() const { return version_; }
  const std::string& cachePath() const { return cache_path_; }

  // Downloads updateUrl + "/qendix.xml" (no cache, redirects followed but never from https to
  // http, HTTPS verified) into an unnamed file beside the cache and, when it is a well-formed
  // centers document with at least one labelled center, names it and renames it over the cache.
  // False (old cache kept, no temporary file left) when the cache cannot be loaded, there is no
  // update URL, the download fails, or the document is not well-formed or holds no center. A
  // process killed during a refresh leaves no file; temporaries named by a refresh killed just
  // before its rename are removed by the next refresh.
  bool Refresh();

 private:
  friend class CenterDirectoryParser;
  static std::string Get(const std::map<std::string, std::string>& map, const std::string& key);

  std::string cache_path_;
  bool loaded_ = false;
  std::vector<std::string> labels_;
  std::map<std::string, std::string> urls_, eans_, esrs_, esr_pdfs_, rcpts_, tels_;
  std::string update_url_;
  std::string version_;
};

// Parses the leading decimal number of a text as the C library's atoi does (blanks, sign,
// digits; 0 when there is none), saturating instead of overflowing.
long long LeadingNumber(const std::string& text);

}  // namespace qx
