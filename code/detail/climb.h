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
namespace climb {

// kKnown[sameX][sameY]: bit i set when neighbour i's offsets are same-float offsets on both axes.
struct KnownTable {
    unsigned char mask[8][8];
    constexpr KnownTable() : mask() {
        for (int sx = 0; sx < 8; ++sx)
            for (int sy = 0; sy < 8; ++sy)
                for (int i = 0; i < 8; ++i)
                    if ((sx >> (static_cast<int>(kNeighbourDx[i]) + 1) & 1) &&
                        (sy >> (static_cast<int>(kNeighbourDy[i]) + 1) & 1))
                        mask[sx][sy] = static_cast<unsigned char>(mask[sx][sy] | 1u << i);
    }
};
inline constexpr KnownTable kKnown{};

// The neighbour at offset (dx, dy), or -1 for the unmoved box.
constexpr int neighbourAt(int dx, int dy) {
    const int cell = (dx + 1) * 3 + (dy + 1);
    return cell == 4 ? -1 : cell < 4 ? cell : cell - 1;
}

}  // namespace climb

inline unsigned neighboursToEvaluate(float x, float y, float previousX, float previousY, int moveX, int moveY,
                                     unsigned sameX, unsigned sameY) {
    auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    unsigned known = climb::kKnown.mask[sameX & 7][sameY & 7];
    // The neighbour back at the old centre is that box only if it is the centre's own floats.
    const int back = climb::neighbourAt(-moveX, -moveY);
    if (back >= 0) {
        const bool centre = same(previousX, x + static_cast<float>(-moveX)) && same(previousY, y + static_cast<float>(-moveY));
        known = (known & ~(1u << back)) | static_cast<unsigned>(centre) << back;
    }
    return ~known & 0xffu;
}

inline unsigned neighboursToEvaluate(float x, float y, float previousX, float previousY, int moveX, int moveY) {
    return neighboursToEvaluate(x, y, previousX, previousY, moveX, moveY, sameOffsets(x, previousX, moveX),
                                sameOffsets(y, previousY, moveY));
}

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_CLIMB_H
