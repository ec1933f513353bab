// Downloads one URL into a file with libcurl: http and https only, redirects followed (to http
// and https only), certificates verified, no caching, bounded size and time.
#pragma once

#include <string>

namespace qx {

struct DownloadLimits {
  long connectTimeoutSeconds = 15;
  long totalTimeoutSeconds = 120;
  long long maxBytes = 16LL << 20;
};

// Writes the body to the open file descriptor `fd`. False on any transport failure, an HTTP
// status of 400 or more, or a body over the size limit.
bool DownloadToFd(const std::string& url, int fd, const DownloadLimits& limits = {});

}  // namespace qx
