// Assertions that stay active in every build type. A check that NDEBUG compiled away would
// turn into an out-of-range read, so the library never relies on <cassert> being enabled.
// The failure message is the C library's own: file, line, function text and expression.
#ifndef VELMORA_DETAIL_CHECK_H
#define VELMORA_DETAIL_CHECK_H

#include <assert.h>

// Fails with the enclosing function's signature text.
#define VELMORA_ASSERT(expr) VELMORA_ASSERT_IN(expr, __PRETTY_FUNCTION__)

// Fails naming `function`: for helpers that check on behalf of an exported function.
#define VELMORA_ASSERT_IN(expr, function) \
    ((expr) ? static_cast<void>(0) : __assert_fail(#expr, __FILE__, __LINE__, function))

#endif  // VELMORA_DETAIL_CHECK_H
