/* Run-time defaults of the sanitizers for every program of a sanitized build (QENDIX_SANITIZE):
 * linked into each executable, so that the programs the tests start themselves (qendix, asasctl)
 * check exactly as the test programs do, whatever environment a test hands them. Settings in
 * ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS and TSAN_OPTIONS are read after these and win. */

/* Addresses: leaks are reported at exit; use after return and the order of static
 * initialisation are checked too. */
const char* __asan_default_options(void) {
  return "detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:"
         "strict_init_order=1:strict_string_checks=1";
}

/* Undefined behaviour: the first finding stops the program, with the stack that led to it. */
const char* __ubsan_default_options(void) {
  return "halt_on_error=1:print_stacktrace=1";
}

/* Races: every report carries the stacks of both accesses and of the locks held. */
const char* __tsan_default_options(void) {
  return "second_deadlock_stack=1:history_size=4";
}
