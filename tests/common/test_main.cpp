// Test entry point. Each test process gets its own job-lock file and module folder unless the
// environment names them, so test cases never see each other's module state, and starts with
// no language set.
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // Texts are German unless a test asks for French, whatever the machine's locale.
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
  static std::string scratch;
  if (!getenv("QENDIX_LOCK_FILE") || !getenv("QENDIX_MODULE_DIR")) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qendix-proc-XXXXXX";
    if (mkdtemp(tmpl.data())) scratch = tmpl;
    if (!getenv("QENDIX_LOCK_FILE")) setenv("QENDIX_LOCK_FILE", (scratch + "/job.lock").c_str(), 1);
    if (!getenv("QENDIX_MODULE_DIR")) setenv("QENDIX_MODULE_DIR", scratch.c_str(), 1);
  }
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  if (!scratch.empty()) {
    std::string cmd = "rm -rf '" + scratch + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  return rc;
}
