#include "approach.h"

#include <cstdio>

int main() {
    // Three trackers, two frames: one track per tracker, one box (x, y, width, height) per frame.
    trackList trackers = {{{100, 50, 40, 80}, {104, 52, 40, 80}},
                          {{102, 48, 44, 84}, {107, 51, 42, 82}},
                          {{100, 50, 40, 80}, {0, 0, 0, 0}}};  // lost in frame 1: a zero box
    track fused;  // empty selection and weights: every tracker, each with weight 1
    performFusionForAllFrames(trackers, fused, {}, {}, /*refine=*/true);

    track annotation = {{100, 50, 40, 80}, {105, 51, 41, 81}};
    std::printf("frame 1: (%g, %g, %g, %g); mean overlap %.3f\n", fused[1].x, fused[1].y, fused[1].width,
                fused[1].height, evaluate(fused, annotation, 0, -1.0f, false));
    return 0;
}
