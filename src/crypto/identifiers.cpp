#include "crypto/identifiers.h"

#include <openssl/evp.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "platform/ole_date.h"

namespace qx {
namespace {

bool HasDigit(std::string_view text) {
  for (char c : text)
    if (c >= '0' && c <= '9') return true;
  return false;
}

// Phonetic group of an upper-case character; 0 for characters without a group.
int SoundexGroup(char c) {
  static constexpr std::string_view kGroups[] = {"BPFV", "CSKGJQXZ", "DT", "L", "MN", "R"};
  for (int i = 0; i < 6; ++i)
    if (kGroups[i].find(c) != std::string_view::npos) return i + 1;
  return 0;
}

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

int SoundexCode(std::string_view text, std::string* code) {
  if (text.empty()) return kIdEmptyText;
  if (HasDigit(text)) return kIdTextHasDigit;
  std::string digits;
  int previous = 0;
  for (char raw : text) {
    int group = SoundexGroup(AsciiUpper(raw));
    if (group != 0 && group != previous) digits += static_cast<char>('0' + group);
    previous = group;
    if (digits.size() == 4) break;
  }
  digits.resize(4, '0');
  // The first character of the name takes the place of the first digit, whether or not it had
  // a code itself.
  digits[0] = AsciiUpper(text[0]);
  *code = digits;
  return kIdOk;
}

bool IsValidName(std::string_view name) {
  if (name.size() < 2) return false;
  for (char c : name)
    if ((c >= '0' && c <= '9') || c == '.') return false;
  return true;
}

bool Sha1Hex(std::string_view bytes, std::string* hex) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1 ||
      length != 20)
    return false;
  static const char kHex[] = "0123456789abcdef";
  hex->clear();
  hex->reserve(40);
  for (unsigned int i = 0; i < length; ++i) {
    *hex += kHex[digest[i] >> 4];
    *hex += kHex[digest[i] & 0x0F];
  }
  return true;
}

int PatientId(std::string_view text, std::string* id) {
  char status = '0';
  std::string digits(40, '0');
  if (text.empty()) {
    status = '1';
  } else if (text == "0") {
    status = '2';
  } else if (!Sha1Hex(text, &digits)) {
    return kIdDigestFailed;
  }
  *id = std::string("a") + status + digits.substr(40 - 13);
  return kIdOk;
}

std::string BirthDateText(Date birthDate) {
  CalendarTime time;
  Date back = 0;
  if (birthDate == 0 || !CalendarFromDate(birthDate, &time) || !DateFromCalendar(time, &back) ||
      back != birthDate)
    return "99999999";
  char text[48];
  std::snprintf(text, sizeof text, "%04d%02d%02d", time.year, time.month, time.day);
  return text;
}

std::string TodayText() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[48];
  std::snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

int PersonStatus(std::string_view firstName, std::string_view lastName, std::string_view dateText,
                 std::string_view zip, std::string_view today) {
  int status = 0;
  if (!IsValidName(firstName)) status |= kFirstNameInvalid;
  if (!IsValidName(lastName)) status |= kLastNameInvalid;
  if (dateText < std::string_view("18700101") || dateText > today) status |= kBirthDateInvalid;
  // The leading decimal number as the C runtime reads it (white space, sign, digits).
  std::string zipText(zip);
  long number = zipText.size() == 4 ? std::strtol(zipText.c_str(), nullptr, 10) : 0;
  if (zipText.size() != 4 || number < 1000 || number > 9999) status |= kZipInvalid;
  return status;
}

int PersonIdFromDateText(std::string_view firstName, std::string_view lastName,
                         std::string_view dateText, std::string_view zip, std::string_view today,
                         std::string* id) {
  int status = PersonStatus(firstName, lastName, dateText, zip, today);
  std::string digits(40, '0');
  if (status == 0) {
    std::string firstCode;
    std::string lastCode;
    if (SoundexCode(firstName, &firstCode) != kIdOk || SoundexCode(lastName, &lastCode) != kIdOk)
      return kIdSoundexFailed;
    std::string key = firstCode + lastCode + std::string(dateText) + std::string(zip);
    if (key.size() != 20) return kIdKeyLengthWrong;
    if (!Sha1Hex(key, &digits)) return kIdDigestFailed;
  }
  static const char kHex[] = "0123456789abcdef";
  *id = std::string("a") + kHex[status & 0x0F] + digits.substr(40 - 28);
  return kIdOk;
}

int PersonId(std::string_view firstName, std::string_view lastName, Date birthDate,
             std::string_view zip, std::string* id) {
  return PersonIdFromDateText(firstName, lastName, BirthDateText(birthDate), zip, TodayText(), id);
}

}  // namespace qx
