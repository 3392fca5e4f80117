// Fuses two frames of three trackers with the installed library and checks the one answer that
// needs no arithmetic: where two trackers agree exactly and the third is far away, the fused box
// of the first frame is theirs; a live stream of the same frames gives the same boxes.
#include "approach.h"
#include "online.h"

#include <cstdio>

int main() {
    trackList trackers = {
        {{100, 50, 40, 80}, {104, 52, 40, 80}},
        {{100, 50, 40, 80}, {105, 51, 42, 82}},
        {{400, 300, 20, 20}, {0, 0, 0, 0}},
    };
    track fused;
    performFusionForAllFrames(trackers, fused, {}, {}, /*refine=*/false);
    if (fused.size() != 2 || fused[0] != cv::Rect_<float>(100, 50, 40, 80)) {
        std::fprintf(stderr, "consumer: unexpected fused track\n");
        return 1;
    }
    OnlineFuser stream(3, {}, {}, OnlineMode::FrameByFrame, 0, /*refine=*/false);
    for (size_t f = 0; f < fused.size(); ++f) {
        const track& live = stream.push({trackers[0][f], trackers[1][f], trackers[2][f]});
        if (live.size() != 1 || live[0] != fused[f]) {
            std::fprintf(stderr, "consumer: the live stream differs in frame %zu\n", f);
            return 1;
        }
    }
    std::printf("consumer: fused %zu frames, frame 1 at (%g, %g, %g, %g)\n", fused.size(), fused[1].x, fused[1].y,
                fused[1].width, fused[1].height);
    return 0;
}
