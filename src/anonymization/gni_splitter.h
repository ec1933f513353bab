// GniSplitter divides a GNI invoice into two texts:
//  - the anonymized text, which goes into the transfer document in clear: the patient's and the
//    debtor's identifying fields are left out or masked ("XXX"), the identifying invoice field
//    is left out, values are escaped for XML, and each patient record ends with a line
//    "269=" and the patient's pseudonymous person identifier;
//  - the identifying text: the patient and debtor records and the identifying invoice field as
//    they stand in the file, which is sealed for the Trust Center as a whole.
// It also collects the payment-slip coding lines (field 200 of the BVR records).
//
// Both texts are Windows-1252 bytes as in the file, lines ending in LF. One splitter may split
// many files in turn; each Split starts from a fresh state. Not thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "formats/gni_reader.h"

namespace qx {

class GniSplitter : private GniReader {
 public:
  // The field that carries the person identifier in the anonymized text.
  static constexpr int32_t kPersonIdField = 269;

  GniSplitter() = default;

  // Splits the GNI text `bytes` (a whole file). Nothing of an earlier split carries over. True
  // when the parser accepts the text; false when it does not (the texts are then partial and
  // must be discarded).
  bool Split(std::string_view bytes);

  const std::string& Anonymized() const { return anonymized_; }
  const std::string& Identifying() const { return identifying_; }
  // The coding lines of the BVR records in file order, unescaped.
  const std::vector<std::string>& CodingLines() const { return codingLines_; }

  // Forgets the texts, the coding lines and the saved patient values.
  void Clear();

 private:
  void RecordStart(std::string_view name, int32_t number) override;
  void Field(int32_t number, std::string_view value) override;
  // Ends the patient record: writes its person identifier and forgets its saved values.
  void ClosePatientRecord();

  std::string record_;  // name of the record being read; empty before the first header
  std::string lastName_;
  std::string firstName_;
  std::string postalCode_;
  std::string birthYear_;
  std::string birthDayMonth_;
  std::vector<std::string> codingLines_;
  std::string anonymized_;
  std::string identifying_;
};

// The person identifier of a patient record's values as the splitter writes it after "269=":
// names and postal code are trimmed of blanks; the birth date is year `birthYear` (field 155 or
// 158), month and day from `birthDayMonth` (field 157, DDMM), each read as the C function atoi
// reads a number. Missing or impossible dates give the identifier of an invalid birth date.
// Empty when the identifier cannot be computed.
std::string GniPersonId(std::string_view lastName, std::string_view firstName,
                        std::string_view postalCode, std::string_view birthYear,
                        std::string_view birthDayMonth);

}  // namespace qx
