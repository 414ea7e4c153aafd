// The check harness shared by the C++ unit tests: every check counts, a
// failure prints what failed, and finish() prints the closing
// "N passed, N failed" line and returns the process exit code.
#pragma once

#include <cstdio>
#include <string>

namespace tarvik::testing {

inline int passed = 0;
inline int failed = 0;

inline void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

inline void check_eq(const std::string& got, const std::string& want, const std::string& what) {
  check(got == want, what + "\n  got:  " + got + "\n  want: " + want);
}

inline int finish() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace tarvik::testing
