#include "code_command.h"

namespace qendix_cli {
namespace {

long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

int CodeArgumentCount(const std::string& subcommand) {
  if (subcommand == "soundex" || subcommand == "patient") return 1;
  if (subcommand == "person") return 4;
  return -1;
}

bool ParseIsoDate(const std::string& text, qx::Date* date) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)),
      d = std::stoi(text.substr(8, 2));
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 100 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] || (m == 2 && d == 29 && !leap))
    return false;
  *date = static_cast<double>(DaysFromCivil(y, m, d) - DaysFromCivil(1899, 12, 30));
  return true;
}

qx::HRESULT RunCode(qx::ICode* code, const std::vector<std::string>& args, std::string* out) {
  qx::BStr result;
  qx::HRESULT hr = qx::E_INVALIDARG;
  if (args[0] == "soundex") {
    hr = code->get_Soundex(args[1], &result);
  } else if (args[0] == "patient") {
    hr = code->get_Patient(qx::Variant(args[1]), &result);
  } else if (args[0] == "person") {
    qx::Date birth = 0;
    if (!ParseIsoDate(args[3], &birth)) return qx::E_INVALIDARG;
    hr = code->get_Person(args[1], args[2], birth, qx::Variant(args[4]), &result);
  }
  if (qx::Succeeded(hr)) *out = result.value_or("");
  return hr;
}

}  // namespace qendix_cli
