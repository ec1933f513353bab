// The sent-invoice register at 100,000 entries: loading the file, answering a duplicate query
// and saving the file (temporary file, fsync, rename).
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "formats/invoice_keys.h"
#include "formats/sent_invoices.h"
#include "formats/sent_register.h"

namespace {

constexpr int kEntries = 100000;

// A private folder holding a register file of kEntries entries, removed at the end.
class RegisterFolder {
 public:
  RegisterFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/qx-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    folder_ = pattern;
    qx::SentRegister reg(SettingsPath());
    reg.Load(RegisterPath());
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (int i = 0; i < kEntries; ++i) {
      char id[32];
      snprintf(id, sizeof id, "2024-%06d", i);
      reg.Add("Z123456", id, std::to_string(100 + i % 5000) + ".50", now - i % 1000);
    }
    if (!reg.Save()) abort();
  }
  ~RegisterFolder() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  std::string RegisterPath() const { return folder_ + "/qendix.log"; }
  std::string SettingsPath() const { return folder_ + "/qendix.ini"; }

 private:
  std::string folder_;
};

RegisterFolder& Folder() {
  static RegisterFolder folder;
  return folder;
}

void BM_RegisterLoad(benchmark::State& state) {
  RegisterFolder& folder = Folder();
  for (auto _ : state) {
    qx::SentRegister reg(folder.SettingsPath());
    if (!reg.Load(folder.RegisterPath())) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(reg.size());
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_RegisterLoad)->Unit(benchmark::kMillisecond);

void BM_RegisterDuplicateQuery(benchmark::State& state) {
  RegisterFolder& folder = Folder();
  qx::SentRegister reg(folder.SettingsPath());
  reg.Load(folder.RegisterPath());
  qx::InvoiceKeys known{{"2024-050000"}, {"80.00"}, {}, "Z123456", {}};
  qx::InvoiceKeys unknown{{"2025-000001"}, {"80.00"}, {}, "Z123456", {}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(qx::IsDuplicate(reg, known));
    benchmark::DoNotOptimize(qx::IsDuplicate(reg, unknown));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_RegisterDuplicateQuery);

void BM_RegisterSave(benchmark::State& state) {
  RegisterFolder& folder = Folder();
  qx::SentRegister reg(folder.SettingsPath());
  reg.Load(folder.RegisterPath());
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    reg.Add("Z123456", "2025-" + std::to_string(n++), "10.00");
    state.ResumeTiming();
    if (!reg.Save()) state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_RegisterSave)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
