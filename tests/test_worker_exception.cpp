// An allocation failure inside the parallel data-set evaluation reaches the caller after the
// thread team has joined, instead of ending the process; and a live stream allocates nothing
// per frame.
//
// This file builds its own executable: it replaces the global operator new so that, while
// armed, every allocation of at least a given size throws std::bad_alloc, on whatever
// thread asks. Only the one long sequence of the data set needs allocations that large (its
// fused track, its annotation copy, its trajectory tables), so the failure happens on the
// thread that owns that sequence.
#include "online.h"
#include "test_support.h"

#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> failFrom{0};  // 0: allocations never fail on purpose

void* allocate(std::size_t size) {
    const std::size_t limit = failFrom.load(std::memory_order_relaxed);
    if (limit != 0 && size >= limit) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace velmora_test {
namespace {

constexpr std::size_t kFailFrom = 16 * 1024;
constexpr size_t kLongFrames = 16 * 1024;  // 256 KiB of boxes per track
constexpr int kSequences = 4;

class ArmedAllocations {
public:
    explicit ArmedAllocations(std::size_t from = kFailFrom) { failFrom.store(from); }
    ~ArmedAllocations() { failFrom.store(0); }
};

struct Case {
    bool trajectory;
    int longSequence;  // the sequence whose allocations fail
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << (c.trajectory ? "trajectory" : "frame by frame") << ", long sequence " << c.longSequence;
}

class WorkerException : public VelmoraParamTest<Case> {
protected:
    void SetUp() override {
        VelmoraParamTest<Case>::SetUp();
        savedThreads = omp_get_max_threads();
        omp_set_num_threads(kSequences);
    }
    void TearDown() override { omp_set_num_threads(savedThreads); }

    // Four trackers 5 units apart around the annotation box.
    static eTrackList smallRun(size_t frames) {
        trackList tracks;
        for (int k = 0; k < 4; ++k) tracks.push_back(repeated(Box(5.0f * static_cast<float>(k), 0, 10, 10), frames));
        return run(tracks);
    }

    int savedThreads = 1;
};

TEST_P(WorkerException, BadAllocReachesTheCallerAndTheNextCallWorks) {
    const Case& c = GetParam();
    trackData small;
    trackList smallAnno;
    for (int i = 0; i < kSequences; ++i) {
        small.push_back({smallRun(3)});
        smallAnno.push_back(repeated(Box(0, 0, 10, 10), 3));
    }
    const float expected = evaluate(small, smallAnno, c.trajectory, {}, {});
    ASSERT_FALSE(std::isnan(expected));

    trackData data = small;
    trackList anno = smallAnno;
    data[c.longSequence] = {smallRun(kLongFrames)};
    anno[c.longSequence] = repeated(Box(0, 0, 10, 10), kLongFrames);
    {
        ArmedAllocations armed;
        EXPECT_THROW(evaluate(data, anno, c.trajectory, {}, {}), std::bad_alloc);
    }
    // The team, the critical section and the library are usable again.
    EXPECT_SAME_BITS(expected, evaluate(small, smallAnno, c.trajectory, {}, {}));
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerException,
                         ::testing::Values(Case{false, 0}, Case{false, kSequences - 1}, Case{true, 0},
                                           Case{true, kSequences - 1}),
                         [](const ::testing::TestParamInfo<Case>& testInfo) {
                             return std::string(testInfo.param.trajectory ? "Trajectory" : "FrameByFrame") +
                                    (testInfo.param.longSequence == 0 ? "OnTheCallingThread" : "OnAnotherThread");
                         });

// Once a stream has taken its first lag frames, a push allocates nothing, in every mode, with
// refinement: every allocation fails while the frames go in.
TEST(OnlineFuserMemory, PushAllocatesNothingOnceTheWindowIsFull) {
    constexpr int kTrackers = 24, kLag = 5;
    std::vector<track> frames;
    for (int f = 0; f < 300; ++f) {
        track frame;
        for (int k = 0; k < kTrackers; ++k)
            frame.push_back(Box(100.0f + static_cast<float>((k * 7 + f) % 13), 50.0f + static_cast<float>(k % 5),
                                40.0f + static_cast<float>(k % 3), 30.0f));
        frames.push_back(frame);
    }
    for (const OnlineMode mode : {OnlineMode::FrameByFrame, OnlineMode::Trajectory}) {
        OnlineFuser stream(kTrackers, {}, {}, mode, kLag, true);
        size_t decided = 0;
        for (int f = 0; f < kLag; ++f) decided += stream.push(frames[f]).size();
        {
            ArmedAllocations armed(1);
            for (size_t f = kLag; f < frames.size(); ++f) decided += stream.push(frames[f]).size();
        }
        decided += stream.finish().size();
        EXPECT_EQ(frames.size(), decided);
    }
}

}  // namespace
}  // namespace velmora_test
