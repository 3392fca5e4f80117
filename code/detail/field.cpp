// The choice of the strongest total, shared by every way of fusing.
#include "field.h"

#include "lanes.h"

#include <cstring>

namespace velmora::detail {

// Position of the strictly greatest value above 0, the first among equals, or -1: what a
// running strict comparison from 0.0 finds. That is the greatest value above 0 (NaN never is
// one) and then the first position holding it, so both steps can run four values at a time.
int strongest(const float* totals, int n) {
    typedef float V4 __attribute__((vector_size(4 * sizeof(float))));
    auto load4 = [&](int p) {
        V4 v;
        std::memcpy(&v, totals + p, sizeof v);
        return v;
    };
    V4 greatest{};
    int p = 0;
    for (; p + 4 <= n; p += 4) {
        const V4 v = load4(p);
        greatest = v > greatest ? v : greatest;
    }
    float best = 0.0f;
    for (int l = 0; l < 4; ++l) best = greatest[l] > best ? greatest[l] : best;
    for (; p < n; ++p) best = totals[p] > best ? totals[p] : best;
    if (!(best > 0.0f)) return -1;
    for (p = 0; p + 4 <= n; p += 4) {
        const int equal = laneBits(load4(p) == best);
        if (equal) return p + __builtin_ctz(static_cast<unsigned>(equal));
    }
    for (; p < n; ++p)
        if (totals[p] == best) return p;
    return -1;  // not reached: best is one of the values
}

}  // namespace velmora::detail
