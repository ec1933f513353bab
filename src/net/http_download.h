// Downloads one URL into a file with libcurl: http and https only, redirects followed (to http
// and https only; a download that starts on https may be redirected to https only, never to
// plain http), certificates verified, no caching, bounded size and time.
#pragma once

#include <cstddef>
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

// Where a libcurl transfer writes its body: an open file descriptor, at most `maxBytes`.
struct FdBodySink {
  int fd;
  long long maxBytes;
  long long written = 0;
  bool failed = false;  // the limit was passed or a write failed
};

// A libcurl write callback (CURLOPT_WRITEFUNCTION) for a FdBodySink passed as CURLOPT_WRITEDATA:
// writes every byte or fails the transfer.
size_t WriteBodyToFd(char* data, size_t size, size_t count, void* user);

// Writes the body to the open file descriptor `fd`. False on any transport failure, an HTTP
// status of 400 or more, or a body over the size limit.
bool DownloadToFd(const std::string& url, int fd, const DownloadLimits& limits = {});

}  // namespace qx
