// Downloads one URL into a file with libcurl: http and https only, redirects followed (to http
// and https only; a download that starts on https may be redirected to https only, never to
// plain http), certificates verified, no caching, bounded size and time.
#pragma once

#include <string>

namespace qx {

struct DownloadLimits {
  long connectTimeoutSeconds = 15;
  long totalTimeoutSeconds = 120;
  long long maxBytes = 16LL << 20;
  // A PEM file of the certificates to trust instead of the system's store (a server with a
  // private certificate authority); empty for the system's store.
  std::string caFile;
};

// Writes the body to the open file descriptor `fd`. False on any transport failure, an HTTP
// status of 400 or more, or a body over the size limit.
bool DownloadToFd(const std::string& url, int fd, const DownloadLimits& limits = {});

}  // namespace qx
