// Fuzzes loading the sent-invoice register from arbitrary file contents, and checks that every
// entry loaded is written back as a line that reads as the same entry.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

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
  reg.Load(path);
  close(fd);
  if (reg.dirty()) abort();
  for (const auto& [id, entry] : reg.entries()) {
    std::string line = qx::FormatRegisterLine(id, entry);
    if (line.find_first_of("\r\n") != std::string::npos) abort();
    auto back = qx::ParseRegisterLine(line);
    if (!back || back->invoiceId != id || !(back->entry == entry)) abort();
    if (!reg.Find(entry.zsr, id, entry.amount)) abort();
  }
  return 0;
}
