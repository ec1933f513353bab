#include "formats/file_kind.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace qx {

FileKind ClassifyFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO planted in a folder from blocking the job; O_NOFOLLOW keeps a link
  // swapped in after the listing from being followed.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return fkOther;
  unsigned char head[4];
  size_t got = 0;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    while (got < sizeof head) {
      ssize_t n = ::read(fd, head + got, sizeof head - got);
      if (n < 0 && errno == EINTR) continue;
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
