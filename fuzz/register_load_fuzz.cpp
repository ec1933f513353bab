// Fuzzes loading the sent-invoice register from arbitrary file contents, and checks that every
// entry loaded is written back as a line that reads as the same entry.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "formats/register_line.h"
#include "formats/sent_register.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The register reads a file; an in-memory file keeps the fuzzer off the disk.
  int fd = memfd_create("register", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t written = 0;
  while (written < size) {
    ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  qx::SentRegister reg("/nonexistent/qendix.ini");
  const bool loaded = reg.Load(path);
  close(fd);
  if (reg.dirty()) abort();
  if (!loaded) return 0;
  // Every valid line after the header was loaded: it is found, and written back as a line that
  // reads as the same entry.
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t entries = 0;
  for (size_t start = text.find('\n'); start != std::string_view::npos;) {
    ++start;
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    start = end;
    if (line.size() > 64 * 1024) continue;
    auto entry = qx::ParseRegisterLine(line);
    if (!entry) continue;
    ++entries;
    std::string written = qx::FormatRegisterLine(entry->invoiceId, entry->entry);
    if (written.find_first_of("\r\n") != std::string::npos) abort();
    auto back = qx::ParseRegisterLine(written);
    if (!back || back->invoiceId != entry->invoiceId || !(back->entry == entry->entry)) abort();
    if (!reg.Find(entry->entry.zsr, entry->invoiceId, entry->entry.amount)) abort();
  }
  if (entries != reg.size()) abort();
  return 0;
}
