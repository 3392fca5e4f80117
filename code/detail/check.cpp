// The assertion message on C libraries other than glibc.
#include "check.h"

#include <cstdio>
#include <cstdlib>
#if defined(__GLIBC__) || defined(__linux__)
#include <errno.h>  // program_invocation_short_name (glibc and musl)
#else
#include <stdlib.h>  // getprogname, where the C library has it
#endif

namespace velmora::detail {

namespace {

// The name glibc puts before the message: the program's file name without its folder.
const char* programName() {
#if defined(__GLIBC__) || defined(__linux__)
    return program_invocation_short_name;
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
    return getprogname();
#else
    return nullptr;
#endif
}

}  // namespace

void assertionFailed(const char* expression, const char* file, unsigned line, const char* function) {
    const char* program = programName();
    const bool named = program != nullptr && program[0] != '\0';
    // One call writes the whole line, so that messages of threads failing at once stay whole.
    std::fprintf(stderr, "%s%s%s:%u: %s%sAssertion `%s' failed.\n", named ? program : "", named ? ": " : "", file, line,
                 function ? function : "", function ? ": " : "", expression);
    std::fflush(stderr);
    std::abort();
}

}  // namespace velmora::detail
