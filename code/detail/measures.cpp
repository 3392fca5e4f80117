// Box geometry, the frame attraction of one box and the track measures: plain scalar code
// that both paths call, so neither keeps a copy that could drift from the other.
#include "measures.h"

#include "check.h"
#include "signatures.h"

#include <algorithm>
#include <cmath>

// Some checks compare a signed index with a container size exactly as the algorithm states
// them; the conversion to unsigned is what makes a negative index fail the check.
#pragma GCC diagnostic ignored "-Wsign-compare"

namespace vd = velmora::detail;
using Box = cv::Rect_<float>;

// ---- Box geometry ----

float distance4D_2(Box a, Box b) {
    const float sw = a.width + b.width;
    const float sh = a.height + b.height;
    float dx = ((a.width * 0.5f + a.x) - (b.width * 0.5f + b.x)) / sw;
    dx = dx + dx;
    float dy = ((a.height * 0.5f + a.y) - (b.height * 0.5f + b.y)) / sh;
    dy = dy + dy;
    float dw = (a.width - b.width) / sw;
    dw = (dw + dw) / std_alpha;
    float dh = (a.height - b.height) / sh;
    dh = (dh + dh) / std_alpha;
    return ((dx * dx + dy * dy) + dw * dw) + dh * dh;
}

float attraction(Box a, Box b, float sigma) { return 1.0f / (distance4D_2(a, b) + sigma); }

float normalizedAttraction(Box a, Box b, float sigma) { return attraction(a, b, sigma) * sigma; }

// ---- The frame attraction of one box ----

namespace velmora::detail {

float frameAttraction(const trackList& trackers, Box box, int frame, const std::vector<int>& selection,
                      const std::vector<float>& trackerWeights, float* attractions) {
    const float sigma = std_sigma;
    float total = 0.0f;
    for (size_t p = 0; p < selection.size(); ++p) {
        const int k = selection[p];
        const float weight = trackerWeights.empty() ? 1.0f : trackerWeights[k];
        float term = ::attraction(trackers[k][frame], box, sigma) * weight * weight;
        if (!(term >= 0.0f))
            term = 0.0f;
        else if (box.width == 0.0f)
            term = 0.0f;
        if (attractions) attractions[p] = term;
        total += term;
    }
    return total;
}

// Mean overlap, success rate, mean centre distance or precision of t1 against t2.
float trackQuality(const track& t1, const track& t2, int shift1, float threshold, bool useCenterDistance) {
    const size_t n = t1.size();
    if (n <= 1) return 1.0f / static_cast<float>(n);
    const bool mean = threshold == -1.0f;
    float sum = 1.0f;  // frame 0 is never compared and counts 1.0 in every mode
    for (size_t k = 1; k < n; ++k) {
        VELMORA_ASSERT_IN(k+shift1<t2.size(), kTrackQualitySignature);
        const Box& r = t1[k];
        const Box& a = t2[k + shift1];
        float term;
        if (useCenterDistance) {
            const float dx = ((0.5f * r.width + r.x) - a.x) - 0.5f * a.width;
            const float dy = ((0.5f * r.height + r.y) - a.y) - 0.5f * a.height;
            const float distance = sqrtf(dx * dx + dy * dy);
            term = mean ? distance : (distance <= threshold ? 1.0f : 0.0f);
        } else {
            const float iw = std::min(r.x + r.width, a.x + a.width) - std::max(r.x, a.x);
            const float ih = std::min(r.y + r.height, a.y + a.height) - std::max(r.y, a.y);
            // Boxes that do not overlap score slightly below 0.
            float overlap = -0.0001f;
            if (!(r.width <= 0.0f || a.width <= 0.0f || ih <= 0.0f || iw <= 0.0f))
                overlap = (iw * ih) / (r.width * r.height + a.width * a.height - iw * ih);
            term = mean ? overlap : (overlap >= threshold ? 1.0f : 0.0f);
        }
        sum += term;
    }
    return sum / static_cast<float>(n);
}

}  // namespace velmora::detail

float calculateAttraction(trackList& trackers, Box box, int frame, std::vector<int> selection,
                          std::vector<float> trackerWeights) {
    return vd::frameAttraction(trackers, box, frame, selection, trackerWeights, nullptr);
}

float calculateAttraction(trackList& trackers, Box box, int frame, std::vector<int> selection,
                          std::vector<float> trackerWeights, std::vector<float>& attractions) {
    return vd::frameAttraction(trackers, box, frame, selection, trackerWeights, attractions.data());
}

// ---- Track measures ----

float evaluate(track t1, track t2, int shift1, float threshold, bool useCenterDistance) {
    return vd::trackQuality(t1, t2, shift1, threshold, useCenterDistance);
}

float attraction(track t1, track t2, int shift1, int start) {
    const size_t n = t1.size();
    const float sigma = std_sigma;
    float sum = 0.0f;
    // The comparison is unsigned after widening, so a negative start sums nothing.
    for (size_t k = static_cast<size_t>(static_cast<long long>(start)); k < n; ++k) {
        VELMORA_ASSERT_IN(k+shift1<t2.size(), vd::kTrackAttractionSignature);
        sum += attraction(t1[k], t2[k + shift1], sigma);
    }
    return sum / static_cast<float>(n - 1);
}
