#pragma once
// A property a fuzz target found broken: said on standard error, then abort(),
// which libFuzzer and the corpus runner both report as a failing input.

#include <cstdio>
#include <cstdlib>

inline void FuzzCheck(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
