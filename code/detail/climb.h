// Bookkeeping of the unit-step climb that needs no kernel.
#ifndef VELMORA_DETAIL_CLIMB_H
#define VELMORA_DETAIL_CLIMB_H

#include <cstdint>
#include <cstring>

namespace velmora::detail {

// Offsets of the climb's eight moved neighbours, in the order the climb compares them
// (dx = -1, 0, 1 outer, dy = -1, 0, 1 inner, the unmoved box left out).
inline constexpr float kNeighbourDx[8] = {-1.0f, -1.0f, -1.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
inline constexpr float kNeighbourDy[8] = {-1.0f, 0.0f, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f, 1.0f};

// Along one axis, after a move by `move` from `previous` to `coordinate`: bit c + 1 (c = -1,
// 0, 1) is set when the moved coordinate coordinate + c is the same float as the coordinate
// previous + (move + c) of the round before. Rounding can make them differ, so equal offsets
// are not enough. The climb reuses the matching offset columns of the round before.
inline unsigned sameOffsets(float coordinate, float previous, int move) {
    auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    unsigned mask = 0;
    for (int c = -1; c <= 1; ++c) {
        const int cell = move + c;
        if (cell >= -1 && cell <= 1 && same(previous + static_cast<float>(cell), coordinate + static_cast<float>(c)))
            mask |= 1u << (c + 1);
    }
    return mask;
}

// After a move by (moveX, moveY) from the box at (previousX, previousY) to the box at (x, y),
// the neighbours (bit i for neighbour i) that were not already evaluated in the round before.
// sameX and sameY are the sameOffsets masks of the two axes.
//
// Every box of the round before (its centre and its eight neighbours) has a value no greater
// than the value reached by the move, which was the greatest of them; so a neighbour that is
// one of those boxes can never be strictly better and needs no evaluation. A neighbour counts
// as such a box only when its coordinates are the same floats as the old box's: a moved box's
// (previous + offset), or the centre's own.
inline unsigned neighboursToEvaluate(float x, float y, float previousX, float previousY, int moveX, int moveY,
                                     unsigned sameX, unsigned sameY) {
    auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    unsigned wanted = 0;
    for (int i = 0; i < 8; ++i) {
        const int dx = static_cast<int>(kNeighbourDx[i]), dy = static_cast<int>(kNeighbourDy[i]);
        bool known;
        if (moveX + dx == 0 && moveY + dy == 0)
            known = same(previousX, x + kNeighbourDx[i]) && same(previousY, y + kNeighbourDy[i]);
        else
            known = (sameX >> (dx + 1) & 1) && (sameY >> (dy + 1) & 1);
        wanted |= static_cast<unsigned>(!known) << i;
    }
    return wanted;
}

inline unsigned neighboursToEvaluate(float x, float y, float previousX, float previousY, int moveX, int moveY) {
    return neighboursToEvaluate(x, y, previousX, previousY, moveX, moveY, sameOffsets(x, previousX, moveX),
                                sameOffsets(y, previousY, moveY));
}

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_CLIMB_H
