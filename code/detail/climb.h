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

// After a move by (moveX, moveY) from the box at (previousX, previousY) to the box at (x, y),
// the neighbours (bit i for neighbour i) that were not already evaluated in the round before.
//
// Every box of the round before (its centre and its eight neighbours) has a value no greater
// than the value reached by the move, which was the greatest of them; so a neighbour that is
// one of those boxes can never be strictly better and needs no evaluation. A neighbour counts
// as such a box only when its coordinates are the same floats: x + dx is not always
// previousX + (moveX + dx) once rounding enters.
inline unsigned neighboursToEvaluate(float x, float y, float previousX, float previousY, int moveX, int moveY) {
    auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    unsigned wanted = 0;
    for (int i = 0; i < 8; ++i) {
        const int cellX = moveX + static_cast<int>(kNeighbourDx[i]);
        const int cellY = moveY + static_cast<int>(kNeighbourDy[i]);
        bool known = cellX >= -1 && cellX <= 1 && cellY >= -1 && cellY <= 1;
        if (known) {
            // The cell's box as the round before formed it: its centre itself, or moved.
            const bool centre = cellX == 0 && cellY == 0;
            const float oldX = centre ? previousX : previousX + static_cast<float>(cellX);
            const float oldY = centre ? previousY : previousY + static_cast<float>(cellY);
            known = same(oldX, x + kNeighbourDx[i]) && same(oldY, y + kNeighbourDy[i]);
        }
        if (!known) wanted |= 1u << i;
    }
    return wanted;
}

}  // namespace velmora::detail

#endif  // VELMORA_DETAIL_CLIMB_H
