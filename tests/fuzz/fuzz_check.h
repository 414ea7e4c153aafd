// The check used by the fuzz targets. Under libFuzzer a failed check aborts,
// so that libFuzzer saves the input; with the standalone driver it is counted
// and the target returns, so that the driver can print the input and go on.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tarvik::fuzz {

inline int failed_checks = 0;

[[gnu::cold]] inline void check_failed(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
  std::fflush(stderr);
#ifdef TARVIK_FUZZ_STANDALONE
  ++failed_checks;
#else
  std::abort();
#endif
}

}  // namespace tarvik::fuzz

// Checks `cond` inside LLVMFuzzerTestOneInput; on failure reports `cond` and
// `what` (an expression giving a std::string, evaluated only then) and
// returns from the target.
#define TARVIK_FUZZ_CHECK(cond, what)                                                \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      ::tarvik::fuzz::check_failed(__FILE__, __LINE__,                               \
                                   std::string(#cond) + " -- " + std::string(what)); \
      return 0;                                                                      \
    }                                                                                \
  } while (0)
