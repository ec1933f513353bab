// `qendix code ...`: the code object's pseudonyms from the command line.
//   code soundex TEXT | code patient ID | code person FIRST LAST YYYY-MM-DD ZIP
#pragma once

#include <string>
#include <vector>

#include "qendix/qendix.h"

namespace qendix_cli {

// How many arguments after "code" the subcommand takes; -1 for an unknown subcommand.
int CodeArgumentCount(const std::string& subcommand);

// Parses "YYYY-MM-DD" into an automation date (days since 1899-12-30). False when malformed or
// not a calendar date.
bool ParseIsoDate(const std::string& text, qx::Date* date);

// Runs the subcommand on `code`; the result text in *out.
qx::HRESULT RunCode(qx::ICode* code, const std::vector<std::string>& args, std::string* out);

}  // namespace qendix_cli
