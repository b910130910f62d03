#pragma once
// What every fuzz target needs, Qt or not: a check that makes a broken
// invariant a finding.
#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

} // namespace fuzz
