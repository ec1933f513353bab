#include "formats/gni_invoice.h"

#include <cstdint>
#include <utility>

#include "platform/codepage.h"

namespace qx {
namespace {

constexpr int32_t kFieldProviderZsr = 106;
constexpr int32_t kFieldInvoiceId = 115;
constexpr int32_t kFieldAmount = 119;
constexpr int32_t kFieldCodingLine = 200;

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

InvoiceKeys GniKeyCollector::TakeKeys() {
  return std::exchange(keys_, InvoiceKeys{});
}

void GniKeyCollector::Field(int32_t number, std::string_view value) {
  switch (number) {
    case kFieldProviderZsr:
      keys_.providerZsr = Cp1252ToUtf8(value);
      break;
    case kFieldInvoiceId:
      keys_.invoiceIds.push_back(Cp1252ToUtf8(value));
      break;
    case kFieldAmount:
      keys_.amounts.push_back(GniAmountText(value));
      break;
    case kFieldCodingLine:
      keys_.codingLines.push_back(Cp1252ToUtf8(value));
      break;
    default:
      break;
  }
}

std::string GniAmountText(std::string_view fieldValue) {
  size_t pos = 0;
  while (pos < fieldValue.size() && IsCSpace(fieldValue[pos])) ++pos;
  bool negative = false;
  if (pos < fieldValue.size() && (fieldValue[pos] == '+' || fieldValue[pos] == '-')) {
    negative = fieldValue[pos] == '-';
    ++pos;
  }
  // The magnitude in hundredths, held at the limit of a signed 64-bit number (its negative limit
  // is one larger than its positive one).
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t hundredths = 0;
  for (; pos < fieldValue.size() && fieldValue[pos] >= '0' && fieldValue[pos] <= '9'; ++pos) {
    uint64_t digit = static_cast<uint64_t>(fieldValue[pos] - '0');
    hundredths = hundredths > (limit - digit) / 10 ? limit : hundredths * 10 + digit;
  }
  // Written from the whole number, so every amount comes out exact to the cent.
  std::string whole = std::to_string(hundredths / 100);
  uint64_t cents = hundredths % 100;
  std::string text;
  if (negative && hundredths != 0) text += '-';
  text += whole;
  text += '.';
  text += static_cast<char>('0' + cents / 10);
  text += static_cast<char>('0' + cents % 10);
  return text;
}

InvoiceFileRead ReadGniInvoiceFile(const std::string& path, InvoiceKeys* keys, int* readError) {
  if (readError) *readError = 0;
  if (keys == nullptr) return InvoiceFileRead::kNotRead;
  if (InvoiceFileTooLarge(path)) return InvoiceFileRead::kTooLarge;
  GniKeyCollector collector;
  int error = 0;
  if (!collector.Parse(path, kMaxInvoiceFileBytes, &error)) {
    if (error != 0) {
      if (readError) *readError = error;
      return InvoiceFileRead::kFailed;
    }
    return InvoiceFileTooLarge(path) ? InvoiceFileRead::kTooLarge : InvoiceFileRead::kNotRead;
  }
  InvoiceKeys found = collector.TakeKeys();
  keys->invoiceIds = std::move(found.invoiceIds);
  keys->amounts = std::move(found.amounts);
  keys->codingLines = std::move(found.codingLines);
  keys->providerZsr = std::move(found.providerZsr);
  return InvoiceFileRead::kRead;
}

}  // namespace qx
