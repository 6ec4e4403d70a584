#pragma once
// Property checks of the fuzzers: a broken property aborts, which libFuzzer records as a crash.

#include <cstdio>
#include <cstdlib>

namespace quorl::fuzz {

inline void Require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace quorl::fuzz
