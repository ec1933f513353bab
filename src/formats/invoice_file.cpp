#include "formats/invoice_file.h"

#include <sys/stat.h>

namespace qx {

bool InvoiceFileTooLarge(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 &&
         static_cast<unsigned long long>(st.st_size) > kMaxInvoiceFileBytes;
}

}  // namespace qx
