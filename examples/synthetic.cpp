// Deterministic synthetic tracking data. Every value below comes from the generator's own
// integer stream through exact conversions, and from +, -, *, / and sqrt on doubles: no
// standard distribution and no transcendental function, so the boxes are the same on every
// machine. The order of the draws is part of the output: change it and every box changes.
#include "synthetic.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmora::synthetic {

namespace {

constexpr double kImageWidth = 1280.0;
constexpr double kImageHeight = 720.0;
constexpr double kMinSide = 20.0;
constexpr double kMaxSide = 400.0;

std::uint64_t finalise(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double clamp(double v, double lo, double hi) { return std::min(std::max(v, lo), hi); }

// Rounds half up; std::round would do as well, but this spells out the rule.
double wholePixel(double v) { return std::floor(v + 0.5); }

cv::Rect_<float> boxAround(double cx, double cy, double w, double h) {
    return cv::Rect_<float>(static_cast<float>(cx - 0.5 * w), static_cast<float>(cy - 0.5 * h), static_cast<float>(w),
                            static_cast<float>(h));
}

// A direction drawn uniformly by rejection from the unit disc (no sine or cosine).
void randomDirection(Random& rng, double& dx, double& dy) {
    for (;;) {
        const double a = rng.uniform(-1.0, 1.0);
        const double b = rng.uniform(-1.0, 1.0);
        const double r2 = a * a + b * b;
        if (r2 > 1e-6 && r2 <= 1.0) {
            const double r = std::sqrt(r2);
            dx = a / r;
            dy = b / r;
            return;
        }
    }
}

}  // namespace

// ---- Random numbers ----

std::uint64_t Random::next() {
    state_ += 0x9E3779B97F4A7C15ull;
    return finalise(state_);
}

double Random::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Random::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

int Random::between(int lo, int hi) {
    // Multiply-shift: the top 32 bits scaled to the span, exact in 64-bit integers.
    const std::uint64_t span = static_cast<std::uint64_t>(static_cast<std::int64_t>(hi) - lo + 1);
    return lo + static_cast<int>(((next() >> 32) * span) >> 32);
}

bool Random::chance(double p) { return uniform() < p; }

double Random::normal() {
    // Twelve 32-bit uniforms summed as integers: the sum and its scaling are exact.
    std::uint64_t sum = 0;
    for (int i = 0; i < 12; ++i) sum += next() >> 32;
    return static_cast<double>(sum) * 0x1.0p-32 - 6.0;
}

std::uint64_t deriveSeed(std::uint64_t seed, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    std::uint64_t h = finalise(seed + 0x9E3779B97F4A7C15ull);
    for (std::uint64_t word : {a, b, c}) h = finalise(h ^ finalise(word + 0x632BE59BD9B4E019ull));
    return h;
}

// ---- Trackers ----

const char* kindName(TrackerKind kind) {
    switch (kind) {
        case TrackerKind::Steady:
            return "steady";
        case TrackerKind::Jittery:
            return "jittery";
        case TrackerKind::Biased:
            return "biased";
        case TrackerKind::Drifting:
            return "drifting";
        case TrackerKind::Dropout:
            return "dropout";
        case TrackerKind::Erratic:
            return "erratic";
    }
    return "?";
}

bool neverFails(TrackerKind kind) { return kind != TrackerKind::Dropout && kind != TrackerKind::Erratic; }

std::vector<TrackerProfile> makeTrackerProfiles(std::uint64_t seed, int count) {
    // A crowd of any size starts with a steady tracker and mixes good and bad ones evenly.
    static const TrackerKind kPattern[] = {TrackerKind::Steady,  TrackerKind::Jittery, TrackerKind::Drifting,
                                           TrackerKind::Dropout, TrackerKind::Biased,  TrackerKind::Steady,
                                           TrackerKind::Erratic, TrackerKind::Jittery};
    constexpr int kPatternLength = sizeof(kPattern) / sizeof(kPattern[0]);
    std::vector<TrackerProfile> profiles;
    for (int k = 0; k < count; ++k) {
        Random rng(deriveSeed(seed, static_cast<std::uint64_t>(k)));
        TrackerProfile p;
        p.kind = kPattern[k % kPatternLength];
        p.name = std::string(kindName(p.kind)) + "-" + std::to_string(k);
        switch (p.kind) {
            case TrackerKind::Steady:
                p.noise = rng.uniform(0.04, 0.08);
                p.sizeNoise = rng.uniform(0.04, 0.08);
                p.persistence = rng.uniform(0.85, 0.95);
                p.susceptibility = rng.uniform(0.2, 0.4);
                break;
            case TrackerKind::Jittery:
                p.noise = rng.uniform(0.1, 0.18);
                p.sizeNoise = rng.uniform(0.08, 0.15);
                p.persistence = rng.uniform(0.3, 0.6);
                p.susceptibility = rng.uniform(0.3, 0.6);
                break;
            case TrackerKind::Biased: {
                p.noise = rng.uniform(0.04, 0.08);
                p.sizeNoise = rng.uniform(0.04, 0.08);
                p.persistence = rng.uniform(0.85, 0.95);
                p.susceptibility = rng.uniform(0.3, 0.5);
                double dx = 0, dy = 0;
                randomDirection(rng, dx, dy);
                const double offset = rng.uniform(0.1, 0.25);
                p.biasX = dx * offset;
                p.biasY = dy * offset;
                p.biasScale = rng.chance(0.5) ? rng.uniform(0.1, 0.3) : -rng.uniform(0.1, 0.2);
                break;
            }
            case TrackerKind::Drifting:
                p.noise = rng.uniform(0.05, 0.1);
                p.sizeNoise = rng.uniform(0.04, 0.08);
                p.persistence = rng.uniform(0.8, 0.95);
                p.driftChance = rng.uniform(1.0 / 120, 1.0 / 50);
                p.susceptibility = rng.uniform(0.5, 0.8);
                break;
            case TrackerKind::Dropout:
                p.noise = rng.uniform(0.04, 0.08);
                p.sizeNoise = rng.uniform(0.04, 0.08);
                p.persistence = rng.uniform(0.8, 0.95);
                p.dropoutChance = rng.uniform(1.0 / 150, 1.0 / 60);
                p.susceptibility = rng.uniform(0.3, 0.5);
                break;
            case TrackerKind::Erratic:
                p.noise = rng.uniform(0.08, 0.14);
                p.sizeNoise = rng.uniform(0.06, 0.1);
                p.persistence = rng.uniform(0.7, 0.9);
                p.driftChance = rng.uniform(1.0 / 120, 1.0 / 60);
                p.dropoutChance = rng.uniform(1.0 / 150, 1.0 / 80);
                p.susceptibility = rng.uniform(0.6, 0.9);
                break;
        }
        profiles.push_back(p);
    }
    return profiles;
}

// ---- Ground truth ----

track makeGroundTruth(std::uint64_t seed, int frames) {
    Random rng(seed);
    double w = rng.uniform(40.0, 160.0);
    double aspect = rng.uniform(0.5, 2.0);  // height / width
    double cx = rng.uniform(0.3, 0.7) * kImageWidth;
    double cy = rng.uniform(0.3, 0.7) * kImageHeight;
    double vx = rng.uniform(-3.0, 3.0);
    double vy = rng.uniform(-2.0, 2.0);
    double scaleRate = 0, aspectRate = 0;

    track truth;
    truth.reserve(static_cast<size_t>(std::max(frames, 0)));
    for (int f = 0; f < frames; ++f) {
        const double h = clamp(w * aspect, kMinSide, kMaxSide);
        const double left = wholePixel(cx - 0.5 * w), top = wholePixel(cy - 0.5 * h);
        truth.emplace_back(static_cast<float>(left), static_cast<float>(top), static_cast<float>(wholePixel(w)),
                           static_cast<float>(wholePixel(h)));

        // Damped random acceleration: smooth, occasionally turning, never still for long.
        vx = 0.95 * vx + 0.35 * rng.normal();
        vy = 0.95 * vy + 0.25 * rng.normal();
        cx += vx;
        cy += vy;

        // Scale and aspect ratio change at a slowly varying rate of at most 2 % per frame.
        scaleRate = clamp(0.9 * scaleRate + 0.003 * rng.normal(), -0.02, 0.02);
        aspectRate = clamp(0.9 * aspectRate + 0.002 * rng.normal(), -0.01, 0.01);
        w = clamp(w * (1.0 + scaleRate), kMinSide, kMaxSide);
        aspect = clamp(aspect * (1.0 + aspectRate), 0.4, 2.5);

        // Bounce off the border so that the whole box stays in the image.
        const double nh = clamp(w * aspect, kMinSide, kMaxSide);
        if (cx < 0.5 * w) {
            cx = w - cx;
            vx = -vx;
        }
        if (cx > kImageWidth - 0.5 * w) {
            cx = 2.0 * (kImageWidth - 0.5 * w) - cx;
            vx = -vx;
        }
        if (cy < 0.5 * nh) {
            cy = nh - cy;
            vy = -vy;
        }
        if (cy > kImageHeight - 0.5 * nh) {
            cy = 2.0 * (kImageHeight - 0.5 * nh) - cy;
            vy = -vy;
        }
    }
    return truth;
}

// ---- Scenes ----

Scene makeScene(std::uint64_t seed, int frames) {
    Scene scene;
    scene.truth = makeGroundTruth(deriveSeed(seed, 0), frames);
    // Look-alikes come one after another, each after a quiet spell, never two at a time.
    Random rng(deriveSeed(seed, 1));
    int frame = rng.between(10, 100);
    while (frame < frames) {
        Distractor d;
        d.first = frame;
        d.last = std::min(frames - 1, frame + rng.between(15, 50));
        double dx = 0, dy = 0;
        randomDirection(rng, dx, dy);
        const double distance = rng.uniform(1.0, 2.5);
        d.offsetX = dx * distance;
        d.offsetY = dy * distance;
        scene.distractors.push_back(d);
        frame = d.last + rng.between(40, 160);
    }
    return scene;
}

// ---- Tracker output ----

track makeTrackerTrack(const TrackerProfile& profile, const Scene& scene, int startFrame, int length,
                       std::uint64_t seed) {
    Random rng(seed);
    const double rho = profile.persistence;
    // Innovation scale that keeps the error's standard deviation at `noise` in the long run.
    const double innovation = std::sqrt(1.0 - rho * rho);

    // Which look-alikes lure this tracker, how soon, and how long it takes to come back
    // once the look-alike has gone. Drawn up front, one triple per look-alike.
    struct Lure {
        bool lured;
        int delay;
        int recovery;
    };
    std::vector<Lure> lures;
    for (size_t d = 0; d < scene.distractors.size(); ++d) {
        Lure l;
        l.lured = rng.chance(profile.susceptibility);
        l.delay = rng.between(0, 10);
        l.recovery = rng.between(3, 30);
        lures.push_back(l);
    }

    double ex = 0, ey = 0, es = 0, ea = 0;  // autocorrelated error: centre x, y, size, aspect
    double ox = 0, oy = 0, os = 0;          // drift offset: centre x, y, size
    double dvx = 0, dvy = 0, dvs = 0;       // drift per frame
    double lx = 0, ly = 0;                  // offset towards a look-alike
    int driftLeft = 0, recoverLeft = 0, dropoutLeft = 0, lureRecoverLeft = 0;

    track out;
    out.reserve(static_cast<size_t>(std::max(length, 0)));
    for (int i = 0; i < length; ++i) {
        const int frame = startFrame - 1 + i;
        const cv::Rect_<float>& g = scene.truth[static_cast<size_t>(frame)];
        if (i == 0) {  // every tracker is started on the ground-truth box
            out.push_back(g);
            continue;
        }
        ex = rho * ex + innovation * profile.noise * rng.normal();
        ey = rho * ey + innovation * profile.noise * rng.normal();
        es = rho * es + innovation * profile.sizeNoise * rng.normal();
        ea = rho * ea + innovation * profile.sizeNoise * 0.5 * rng.normal();

        // Drift: away from the object at a steady pace, then back, gradually or at once.
        if (driftLeft > 0) {
            ox += dvx;
            oy += dvy;
            os += dvs;
            if (--driftLeft == 0) {
                if (rng.chance(0.4)) {
                    ox = oy = os = 0;  // re-detected
                } else {
                    recoverLeft = rng.between(5, 25);
                }
            }
        } else if (recoverLeft > 0) {
            // Equal steps back to zero; the last step lands on zero exactly (x - x/1).
            ox -= ox / recoverLeft;
            oy -= oy / recoverLeft;
            os -= os / recoverLeft;
            --recoverLeft;
        } else if (rng.chance(profile.driftChance)) {
            driftLeft = rng.between(10, 60);
            double dx = 0, dy = 0;
            randomDirection(rng, dx, dy);
            const double speed = rng.uniform(0.02, 0.08);
            dvx = dx * speed;
            dvy = dy * speed;
            dvs = rng.uniform(-0.01, 0.02);
        }

        // Look-alike: a lured tracker jumps over within a few frames and sits on it until it
        // leaves, then finds its way back. Lured trackers err together.
        bool onLookAlike = false;
        for (size_t d = 0; d < scene.distractors.size(); ++d) {
            const Distractor& look = scene.distractors[d];
            if (lures[d].lured && frame >= look.first + lures[d].delay && frame <= look.last) {
                lx += 0.5 * (look.offsetX - lx);
                ly += 0.5 * (look.offsetY - ly);
                lureRecoverLeft = lures[d].recovery;
                onLookAlike = true;
            }
        }
        if (!onLookAlike && lureRecoverLeft > 0) {
            lx -= lx / lureRecoverLeft;
            ly -= ly / lureRecoverLeft;
            --lureRecoverLeft;
        }

        // Dropout: failure boxes, then the object is found again near where it is.
        if (dropoutLeft == 0 && rng.chance(profile.dropoutChance)) dropoutLeft = rng.between(5, 40);
        if (dropoutLeft > 0) {
            out.emplace_back(0.0f, 0.0f, 0.0f, 0.0f);
            if (--dropoutLeft == 0) {
                ex = ey = es = ea = 0;
                ox = oy = os = 0;
                driftLeft = recoverLeft = 0;
            }
            continue;
        }

        const double gw = g.width, gh = g.height;
        const double scale = std::max(1.0 + profile.biasScale + es + os, 0.3);
        const double w = gw * scale;
        const double h = gh * std::max(scale + ea, 0.3);
        const double cx = (g.x + 0.5 * gw) + (profile.biasX + ex + ox + lx) * gw;
        const double cy = (g.y + 0.5 * gh) + (profile.biasY + ey + oy + ly) * gh;
        out.push_back(boxAround(cx, cy, w, h));
    }
    return out;
}

eTrackList makeRun(const std::vector<TrackerProfile>& trackers, const Scene& scene, int startFrame, int length,
                   std::uint64_t seed) {
    eTrackList run;
    run.startFrame = startFrame;
    for (size_t k = 0; k < trackers.size(); ++k)
        run.push_back(makeTrackerTrack(trackers[k], scene, startFrame, length, deriveSeed(seed, k)));
    return run;
}

// ---- Sequences and data sets ----

Sequence makeSequence(std::uint64_t seed, int frames, int maxRuns, const std::vector<TrackerProfile>& trackers) {
    Random rng(deriveSeed(seed, 0));
    Scene scene = makeScene(deriveSeed(seed, 1), frames);
    Sequence sequence;
    const int runs = rng.between(1, std::max(maxRuns, 1));
    const int minLength = std::min(frames, 20);
    for (int j = 0; j < runs; ++j) {
        int start = 1, length = frames;
        if (j > 0) {
            start = rng.between(1, frames - minLength + 1);
            length = rng.between(minLength, frames - start + 1);
        }
        sequence.runs.push_back(
            makeRun(trackers, scene, start, length, deriveSeed(seed, 2, static_cast<std::uint64_t>(j))));
    }
    sequence.annotation = std::move(scene.truth);
    sequence.distractors = std::move(scene.distractors);
    return sequence;
}

DataSet makeDataSet(const DataSetSpec& options) {
    DataSet set;
    set.trackers = makeTrackerProfiles(deriveSeed(options.seed, 0), options.trackers);
    for (const TrackerProfile& p : set.trackers) set.trackerNames.push_back(p.name);
    Random lengths(deriveSeed(options.seed, 2));
    for (int i = 0; i < options.sequences; ++i) {
        const int frames = lengths.between(options.minFrames, std::max(options.minFrames, options.maxFrames));
        Sequence s = makeSequence(deriveSeed(options.seed, 1, static_cast<std::uint64_t>(i)), frames, options.maxRuns,
                                  set.trackers);
        set.annotation.push_back(std::move(s.annotation));
        set.data.push_back(std::move(s.runs));
    }
    return set;
}

std::uint64_t digest(const trackData& data, const trackList& annotation) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    auto add = [&h](std::uint64_t word) {
        for (int byte = 0; byte < 8; ++byte) {
            h ^= (word >> (8 * byte)) & 0xFF;
            h *= 0x100000001B3ull;
        }
    };
    auto addTrack = [&](const track& t) {
        add(t.size());
        for (const cv::Rect_<float>& b : t) {
            for (float v : {b.x, b.y, b.width, b.height}) {
                std::uint32_t bits;
                std::memcpy(&bits, &v, sizeof bits);
                add(bits);
            }
        }
    };
    add(data.size());
    for (const std::vector<eTrackList>& sequence : data) {
        add(sequence.size());
        for (const eTrackList& run : sequence) {
            add(static_cast<std::uint64_t>(static_cast<std::int64_t>(run.startFrame)));
            add(run.size());
            for (const track& t : run) addTrack(t);
        }
    }
    add(annotation.size());
    for (const track& t : annotation) addTrack(t);
    return h;
}

}  // namespace velmora::synthetic
