// Assertions that stay active in every build type. A check that NDEBUG compiled away would
// turn into an out-of-range read, so the library never relies on <cassert> being enabled.
// The failure message is the GNU C library's: program name, file, line, function text and
// expression. With glibc the C library writes it; elsewhere assertionFailed writes the same
// text, since other C libraries word theirs differently.
#ifndef VELMORA_DETAIL_CHECK_H
#define VELMORA_DETAIL_CHECK_H

#include <assert.h>

// The file a message names: code/approach.cpp, home of the exported functions whose contract
// every check guards, whichever internal file holds the check (the line is the check's own).
// Callers match the message on that name, so moving a check between files must not change it.
// The live streams name their own home, code/online.cpp, the same way.
#ifndef VELMORA_ASSERTION_FILE
#define VELMORA_ASSERTION_FILE "code/approach.cpp"
#endif

// Fails with the enclosing function's signature text.
#define VELMORA_ASSERT(expr) VELMORA_ASSERT_IN(expr, __PRETTY_FUNCTION__)

#if defined(__GLIBC__)
#define VELMORA_ASSERTION_FAILED __assert_fail
#else
#define VELMORA_ASSERTION_FAILED ::velmora::detail::assertionFailed
#endif

// Fails naming `function`: for helpers that check on behalf of an exported function.
#define VELMORA_ASSERT_IN(expr, function) \
    ((expr) ? static_cast<void>(0) : VELMORA_ASSERTION_FAILED(#expr, VELMORA_ASSERTION_FILE, __LINE__, function))

namespace velmora::detail {

// Writes "<program>: <file>:<line>: <function>: Assertion `<expression>' failed." and a line
// end to standard error, as glibc's __assert_fail does, and aborts. Built on every platform, so
// that its text can be checked against glibc's where both exist.
[[noreturn]] void assertionFailed(const char* expression, const char* file, unsigned line, const char* function);

}  // namespace velmora::detail

// Fails with `text` as the expression: for a check whose operands the contract names by a
// form the code cannot use as written.
#define VELMORA_ASSERT_AS(expr, text, function) \
    ((expr) ? static_cast<void>(0) : VELMORA_ASSERTION_FAILED(text, VELMORA_ASSERTION_FILE, __LINE__, function))

#endif  // VELMORA_DETAIL_CHECK_H
