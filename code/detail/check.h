// Assertions that stay active in every build type. A check that NDEBUG compiled away would
// turn into an out-of-range read, so the library never relies on <cassert> being enabled.
// The failure message is the C library's own: file, line, function text and expression.
#ifndef VELMORA_DETAIL_CHECK_H
#define VELMORA_DETAIL_CHECK_H

#include <assert.h>

// The file a message names: code/approach.cpp, home of the exported functions whose contract
// every check guards, whichever internal file holds the check (the line is the check's own).
// Callers match the message on that name, so moving a check between files must not change it.
#define VELMORA_ASSERTION_FILE "code/approach.cpp"

// Fails with the enclosing function's signature text.
#define VELMORA_ASSERT(expr) VELMORA_ASSERT_IN(expr, __PRETTY_FUNCTION__)

// Fails naming `function`: for helpers that check on behalf of an exported function.
#define VELMORA_ASSERT_IN(expr, function) \
    ((expr) ? static_cast<void>(0) : __assert_fail(#expr, VELMORA_ASSERTION_FILE, __LINE__, function))

// Fails with `text` as the expression: for a check whose operands the contract names by a
// form the code cannot use as written.
#define VELMORA_ASSERT_AS(expr, text, function) \
    ((expr) ? static_cast<void>(0) : __assert_fail(text, VELMORA_ASSERTION_FILE, __LINE__, function))

#endif  // VELMORA_DETAIL_CHECK_H
