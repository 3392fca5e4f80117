#include "approach.h"

#include <cstdio>

int main() {
    // Three trackers, two frames: one track per tracker, one box (x, y, width, height) per frame.
    trackList trackers = {
        {{100, 50, 40, 80}, {104, 52, 40, 80}},
        {{102, 48, 44, 84}, {107, 51, 42, 82}},
        {{100, 50, 40, 80}, {0, 0, 0, 0}},  // lost in frame 1: a zero box reports a failure
    };

    // Empty selection and weights: every tracker, each with weight 1.
    track fused;
    performFusionForAllFrames(trackers, fused, {}, {}, /*refine=*/true);
    track smooth;
    performFusionForAllFrames_TrajectoryOptimization(trackers, smooth, {}, {}, /*skipBacktracking=*/false,
                                                     /*refineBoxes=*/true);

    track annotation = {{100, 50, 40, 80}, {105, 51, 41, 81}};
    for (size_t f = 0; f < fused.size(); ++f)
        std::printf("frame %zu: (%g, %g, %g, %g)\n", f, fused[f].x, fused[f].y, fused[f].width, fused[f].height);
    std::printf("mean overlap: frame by frame %.3f, trajectory %.3f\n", evaluate(fused, annotation, 0, -1.0f, false),
                evaluate(smooth, annotation, 0, -1.0f, false));
    return 0;
}
