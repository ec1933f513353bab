// Pseudonymous identifiers: the phonetic code of a name, the patient identifier and the person
// identifier that the anonymized invoice carries instead of the patient's identity.
//
// Every function works on Windows-1252 bytes (the code page the practice software writes), so
// that the same data gives the same identifier as a Windows installation, character for
// character. Callers convert UTF-8 with Utf8ToCp1252 and trim with TrimBlanks first (CCode does
// both). The functions have no state and are thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "qendix/com.h"

namespace qx {

// Removes leading and trailing blanks (0x20 only; tabs and other white space stay).
std::string_view TrimBlanks(std::string_view text);

// Status numbers of the identifier algorithms; 0 is success.
enum IdentifierStatus : int {
  kIdOk = 0,
  kIdEmptyText = 1,       // SoundexCode: missing or empty text
  kIdTextHasDigit = 2,    // SoundexCode: the text contains a digit
  kIdDigestFailed = 3,    // PatientId, PersonId: SHA-1 could not be computed
  kIdSoundexFailed = 4,   // PersonId: a name gave no phonetic code
  kIdKeyLengthWrong = 5,  // PersonId: the hash key is not 20 bytes long
};

// The four-character phonetic code of a name (a Soundex variant whose first character replaces
// the first digit, so "Anna" gives "A000"). Status kIdEmptyText or kIdTextHasDigit on failure.
int SoundexCode(std::string_view text, std::string* code);

// False when the name contains a digit or a ".", or is shorter than two bytes.
bool IsValidName(std::string_view name);

// Lower-case hexadecimal SHA-1 of `bytes` (40 characters). False when the digest fails.
bool Sha1Hex(std::string_view bytes, std::string* hex);

// The 15-character patient identifier: "a", a status digit (1 empty text, 2 the text "0",
// else 0) and the last 13 hexadecimal digits of the SHA-1 of the text (zeros unless status 0).
int PatientId(std::string_view text, std::string* id);

// PersonId status bits.
enum PersonStatusBits : int {
  kFirstNameInvalid = 1,
  kLastNameInvalid = 2,
  kBirthDateInvalid = 4,
  kZipInvalid = 8,
};

// The date text of a birth date: "%04d%02d%02d", or "99999999" when the automation date does
// not convert to a calendar date and back to exactly the same value, or is 0.
std::string BirthDateText(Date birthDate);

// Today's local date as "%04d%02d%02d".
std::string TodayText();

// Status bits of the person data (see PersonStatusBits). `today` is TodayText().
int PersonStatus(std::string_view firstName, std::string_view lastName, std::string_view dateText,
                 std::string_view zip, std::string_view today);

// The 30-character person identifier: "a", the status bits as one lower-case hexadecimal digit
// and the last 28 hexadecimal digits of the SHA-1 of the key (first name code, last name code,
// date text, postal code), or 28 zeros when any status bit is set.
int PersonId(std::string_view firstName, std::string_view lastName, Date birthDate,
             std::string_view zip, std::string* id);

// Same with the date text and today's text given, for callers (and tests) that fix the clock.
int PersonIdFromDateText(std::string_view firstName, std::string_view lastName,
                         std::string_view dateText, std::string_view zip, std::string_view today,
                         std::string* id);

}  // namespace qx
