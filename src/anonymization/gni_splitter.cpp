#include "anonymization/gni_splitter.h"

#include <climits>

#include "crypto/identifiers.h"
#include "crypto/xml_nodes.h"
#include "platform/ole_date.h"

namespace qx {
namespace {

constexpr std::string_view kPatientRecord = "ADRPAT";
constexpr std::string_view kDebtorRecord = "ADRDEB";
constexpr std::string_view kInvoiceRecord = "INFC";
constexpr std::string_view kPaymentSlipRecord = "BVR";

constexpr int32_t kFieldLastName = 132;
constexpr int32_t kFieldFirstName = 133;
constexpr int32_t kFieldPostalCode = 136;
constexpr int32_t kFieldDebtorStreet = 137;
constexpr int32_t kFieldBirthYear = 155;
constexpr int32_t kFieldBirthDayMonth = 157;
constexpr int32_t kFieldBirthYearAlso = 158;
constexpr int32_t kFieldIdentifyingInvoice = 217;
constexpr int32_t kFieldCodingLine = 200;

constexpr std::string_view kMasked = "XXX";

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The number at the start of `text` as atoi reads it, held at the limits of int instead of
// overflowing.
int ReadInt(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && IsCSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  long long value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > INT_MAX) return negative ? INT_MIN : INT_MAX;
  }
  return static_cast<int>(negative ? -value : value);
}

// A field or record number as the file wrote it: the reader keeps numbers modulo 2^32, so one
// beyond the 31 bits of int32_t is written as the unsigned number it was read as (never with a
// minus sign, which no reader of the texts would take for a number).
std::string NumberText(int32_t number) {
  return std::to_string(static_cast<uint32_t>(number));
}

void AppendField(std::string& out, int32_t number, std::string_view value) {
  out += NumberText(number);
  out += '=';
  out += value;
  out += '\n';
}

void AppendEscapedField(std::string& out, int32_t number, std::string_view value) {
  out += NumberText(number);
  out += '=';
  AppendXmlEscaped(out, value, false);
  out += '\n';
}

}  // namespace

std::string GniPersonId(std::string_view lastName, std::string_view firstName,
                        std::string_view postalCode, std::string_view birthYear,
                        std::string_view birthDayMonth) {
  const int dayMonth = ReadInt(birthDayMonth);
  CalendarTime time;
  time.year = ReadInt(birthYear);
  time.month = dayMonth % 100;
  time.day = dayMonth / 100;
  Date birthDate = 0;  // the code object reads 0 as an invalid birth date
  if (!DateFromCalendar(time, &birthDate)) birthDate = 0;
  std::string id;
  if (PersonId(TrimBlanks(firstName), TrimBlanks(lastName), birthDate, TrimBlanks(postalCode),
               &id) != kIdOk)
    id.clear();
  return id;
}

bool GniSplitter::Split(std::string_view bytes) {
  Clear();
  if (!ParseBytes(bytes)) return false;
  // A patient record that ends the file gets its identifier as if a next record began.
  if (record_ == kPatientRecord) ClosePatientRecord();
  record_.clear();
  return true;
}

void GniSplitter::Clear() {
  record_.clear();
  lastName_.clear();
  firstName_.clear();
  postalCode_.clear();
  birthYear_.clear();
  birthDayMonth_.clear();
  codingLines_.clear();
  anonymized_.clear();
  identifying_.clear();
}

void GniSplitter::ClosePatientRecord() {
  // When no identifier can be computed the line still marks the patient record, empty.
  AppendField(anonymized_, kPersonIdField,
              GniPersonId(lastName_, firstName_, postalCode_, birthYear_, birthDayMonth_));
  lastName_.clear();
  firstName_.clear();
  postalCode_.clear();
  birthYear_.clear();
  birthDayMonth_.clear();
}

void GniSplitter::RecordStart(std::string_view name, int32_t number) {
  if (record_ == kPatientRecord) ClosePatientRecord();
  // Record names are compared without blanks and regardless of letter case, so that a header
  // written as "[adrpat1]" or "[ADRPAT 1]" still keeps its patient's data out of the clear text.
  record_.clear();
  for (char c : name)
    if (c != ' ' && c != '\t')
      record_ += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  // The record name is written escaped, so that no name can break the document's markup.
  anonymized_ += '[';
  AppendXmlEscaped(anonymized_, name, false);
  anonymized_ += NumberText(number);
  anonymized_ += "]\n";
  if (record_ == kPatientRecord || record_ == kDebtorRecord || record_ == kInvoiceRecord) {
    identifying_ += '[';
    identifying_ += name;
    identifying_ += NumberText(number);
    identifying_ += "]\n";
  }
}

void GniSplitter::Field(int32_t number, std::string_view value) {
  if (record_ == kPatientRecord) {
    AppendField(identifying_, number, value);
    switch (number) {
      case kFieldLastName:
        AppendField(anonymized_, number, kMasked);
        lastName_ = value;
        break;
      case kFieldFirstName:
        firstName_ = value;
        break;
      case kFieldPostalCode:
        postalCode_ = value;
        break;
      case kFieldBirthYear:
      case kFieldBirthYearAlso:
        // Escaped like every other value in clear, so that no year can break the markup.
        AppendEscapedField(anonymized_, number, value);
        birthYear_ = value;
        break;
      case kFieldBirthDayMonth:
        birthDayMonth_ = value;
        break;
      default:
        break;
    }
  } else if (record_ == kDebtorRecord) {
    AppendField(identifying_, number, value);
    if (number == kFieldLastName || number == kFieldDebtorStreet)
      AppendField(anonymized_, number, kMasked);
  } else if (record_ == kInvoiceRecord) {
    if (number == kFieldIdentifyingInvoice) {
      AppendField(identifying_, number, value);
    } else {
      AppendEscapedField(anonymized_, number, value);
    }
  } else {
    AppendEscapedField(anonymized_, number, value);
    if (record_ == kPaymentSlipRecord && number == kFieldCodingLine)
      codingLines_.emplace_back(value);
  }
}

}  // namespace qx
