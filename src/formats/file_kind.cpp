#include "formats/file_kind.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/fault_injection.h"

namespace qx {

FileKind ClassifyFile(const std::string& path, int* readError) {
  int ignored = 0;
  int& error = readError ? *readError : ignored;
  error = 0;
  // O_NONBLOCK keeps a FIFO planted in a folder from blocking the job; O_NOFOLLOW keeps a link
  // swapped in after the listing from being followed.
  int fd = sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT && errno != ELOOP) error = errno;
    return fkOther;
  }
  unsigned char head[4];
  size_t got = 0;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    while (got < sizeof head) {
      ssize_t n = sys::Read(fd, head + got, sizeof head - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  if (got < sizeof head) return fkOther;
  if (std::memcmp(head, "\xEF\xBB\xBF<", 4) == 0 || std::memcmp(head, "<?xm", 4) == 0) return fkXml;
  if (std::memcmp(head, "[DEB", 4) == 0) return fkGni;
  if (std::memcmp(head, "%PDF", 4) == 0) return fkPdf;
  return fkOther;
}

}  // namespace qx
