// The sent-invoice register at a large size, for the pipeline benchmark:
//   register_probe make PATH N   writes a register of N entries (sent now, 1,000 providers) to PATH
//   register_probe load PATH     loads PATH, asks two duplicate queries (one found, one not) and
//                                prints their times as one JSON object
// The benchmark runs `load` as a process of its own and takes its peak resident memory
// (ru_maxrss) from wait4, so that the figure is the loaded register's and not the maker's.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/invoice_keys.h"
#include "formats/sent_invoices.h"
#include "formats/sent_register.h"

namespace {

std::string Id(long i) {
  char id[32];
  std::snprintf(id, sizeof id, "2024-%08ld", i);
  return id;
}

std::string Zsr(long i) {
  char zsr[16];
  std::snprintf(zsr, sizeof zsr, "Z%06ld", i % 1000);
  return zsr;
}

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "make" && argc == 4) {
    const long n = std::strtol(argv[3], nullptr, 10);
    qx::SentRegister reg(std::string(argv[2]) + ".ini");
    if (!reg.Load(argv[2])) return 1;
    for (long i = 0; i < n; ++i) reg.Add(Zsr(i), Id(i), std::to_string(100 + i % 5000) + ".50");
    return reg.Save() ? 0 : 1;
  }
  if (mode == "load" && argc == 3) {
    const Clock::time_point start = Clock::now();
    qx::SentRegister reg(std::string(argv[2]) + ".ini");
    const bool loaded = reg.Load(argv[2]);
    const double load = Since(start);
    const long n = static_cast<long>(reg.size());
    // An entry from the middle of the file, and an invoice that was never sent.
    const long middle = n / 2;
    qx::InvoiceKeys known, unknown;
    known.invoiceIds = {Id(middle)};
    known.amounts = {std::to_string(100 + middle % 5000) + ".50"};
    known.providerZsr = Zsr(middle);
    unknown.invoiceIds = {"2099-00000001"};
    unknown.amounts = {"80.00"};
    unknown.providerZsr = "Z000001";
    Clock::time_point query = Clock::now();
    const bool foundKnown = qx::IsDuplicate(reg, known);
    const double queryKnown = Since(query);
    query = Clock::now();
    const bool foundUnknown = qx::IsDuplicate(reg, unknown);
    const double queryUnknown = Since(query);
    std::printf(
        "{\"loaded\": %s, \"entries\": %ld, \"load_s\": %.6f, \"query_known_s\": %.9f, "
        "\"query_unknown_s\": %.9f, \"known_found\": %s, \"unknown_found\": %s}\n",
        loaded ? "true" : "false", n, load, queryKnown, queryUnknown, foundKnown ? "true" : "false",
        foundUnknown ? "true" : "false");
    return loaded && (n == 0 || (foundKnown && !foundUnknown)) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: register_probe make PATH N | register_probe load PATH\n");
  return 2;
}
