#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace vellum::fuzz {

void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz target failure: %s\n", what.c_str());
  std::abort();
}

}  // namespace vellum::fuzz
