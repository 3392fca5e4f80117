// Shared helpers of the test suite: a fixture that puts the std_ parameters back to their
// initial values, bit-exact float and box comparisons, small builders for tracks and data
// sets, and the pattern of the C library's assertion message.
#ifndef VELMORA_TESTS_TEST_SUPPORT_H
#define VELMORA_TESTS_TEST_SUPPORT_H

#include "approach.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <limits>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

// Readable failure output for boxes (gtest would otherwise print their bytes).
namespace cv {
inline void PrintTo(const Rect_<float>& box, std::ostream* os) {
    *os << std::setprecision(9) << "(" << box.x << ", " << box.y << ", " << box.width << ", " << box.height << ")";
}
}  // namespace cv

namespace velmora_test {

using Box = cv::Rect_<float>;

inline const float kNaN = std::numeric_limits<float>::quiet_NaN();
inline const float kInf = std::numeric_limits<float>::infinity();

// Under an emulator (a cross build's tests under qemu-user) a test binary cannot re-execute
// itself, and kernels run many times slower: death tests fork, and the randomised
// differential tests run one seed in kEmulatedSeedDivisor.
#ifdef VELMORA_TESTS_EMULATED
inline constexpr const char* kDeathTestStyle = "fast";
inline constexpr std::uint32_t kEmulatedSeedDivisor = 4;
#else
inline constexpr const char* kDeathTestStyle = "threadsafe";
inline constexpr std::uint32_t kEmulatedSeedDivisor = 1;
#endif

// The number of seeds a randomised test runs, of the `seeds` it runs natively.
constexpr std::uint32_t seedCount(std::uint32_t seeds) { return seeds / kEmulatedSeedDivisor; }

// Every test starts from the library's initial parameters, whatever the previous test set.
// Death tests run in the threadsafe style: the child re-executes the binary instead of
// forking a process whose OpenMP threads would be lost (emulated runs aside, see above).
class VelmoraTest : public ::testing::Test {
protected:
    void SetUp() override {
        std_alpha = 4.0f;
        std_beta = 20.0f;
        std_gamma = -1;
        std_sigma = 0.03f;
        GTEST_FLAG_SET(death_test_style, kDeathTestStyle);
    }
};

template <class Param>
class VelmoraParamTest : public VelmoraTest, public ::testing::WithParamInterface<Param> {};

inline std::uint32_t bitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline std::string describe(float value) {
    std::ostringstream out;
    out << std::setprecision(9) << value << " (" << std::hexfloat << value << ")";
    return out.str();
}

// Predicate formatter for EXPECT_PRED_FORMAT2: the two floats have the same bit pattern
// (so 0.0 and -0.0 differ, and a NaN equals a NaN of the same payload).
inline ::testing::AssertionResult sameBits(const char* expectedText, const char* actualText, float expected,
                                           float actual) {
    if (bitsOf(expected) == bitsOf(actual)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actualText << " is " << describe(actual) << ", expected " << expectedText
                                         << " = " << describe(expected);
}

inline ::testing::AssertionResult sameBox(const char* expectedText, const char* actualText, const Box& expected,
                                          const Box& actual) {
    const float e[] = {expected.x, expected.y, expected.width, expected.height};
    const float a[] = {actual.x, actual.y, actual.width, actual.height};
    for (int i = 0; i < 4; ++i) {
        if (bitsOf(e[i]) != bitsOf(a[i])) {
            std::ostringstream out;
            PrintTo(actual, &out);
            out << ", expected " << expectedText << " = ";
            PrintTo(expected, &out);
            return ::testing::AssertionFailure() << actualText << " is " << out.str();
        }
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult sameTrack(const char* expectedText, const char* actualText, const track& expected,
                                            const track& actual) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << actualText << " holds " << actual.size() << " boxes, expected "
                                             << expectedText << " holds " << expected.size();
    for (size_t i = 0; i < expected.size(); ++i) {
        ::testing::AssertionResult same = sameBox(expectedText, actualText, expected[i], actual[i]);
        if (!same) return ::testing::AssertionFailure() << "frame " << i << ": " << same.message();
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult sameFloats(const char* expectedText, const char* actualText,
                                             const std::vector<float>& expected, const std::vector<float>& actual) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << actualText << " holds " << actual.size() << " values, expected "
                                             << expected.size();
    for (size_t i = 0; i < expected.size(); ++i) {
        ::testing::AssertionResult same = sameBits(expectedText, actualText, expected[i], actual[i]);
        if (!same) return ::testing::AssertionFailure() << "entry " << i << ": " << same.message();
    }
    return ::testing::AssertionSuccess();
}

#define EXPECT_SAME_BITS(expected, actual) EXPECT_PRED_FORMAT2(::velmora_test::sameBits, expected, actual)
#define EXPECT_SAME_BOX(expected, actual) EXPECT_PRED_FORMAT2(::velmora_test::sameBox, expected, actual)
#define EXPECT_SAME_TRACK(expected, actual) EXPECT_PRED_FORMAT2(::velmora_test::sameTrack, expected, actual)
#define EXPECT_SAME_FLOATS(expected, actual) EXPECT_PRED_FORMAT2(::velmora_test::sameFloats, expected, actual)

// A track that repeats one box for `frames` frames.
inline track repeated(const Box& box, size_t frames) { return track(frames, box); }

// One tracker per box, each reporting its box in a single frame.
inline trackList oneFrame(const std::vector<Box>& boxes) {
    trackList trackers;
    for (const Box& box : boxes) trackers.push_back(track{box});
    return trackers;
}

// One tracker per box, each repeating its box for `frames` frames.
inline trackList steady(const std::vector<Box>& boxes, size_t frames) {
    trackList trackers;
    for (const Box& box : boxes) trackers.push_back(repeated(box, frames));
    return trackers;
}

inline eTrackList run(trackList tracks, int startFrame = 1) {
    eTrackList result;
    result.assign(tracks.begin(), tracks.end());
    result.startFrame = startFrame;
    return result;
}

// The literal text with every character that POSIX extended regular expressions treat as
// special escaped, for death-test patterns built from source text.
inline std::string regexLiteral(const std::string& text) {
    static const std::string kSpecial = "\\^$.|?*+()[]{}";
    std::string escaped;
    for (char c : text) {
        if (kSpecial.find(c) != std::string::npos) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// The C library's assertion message names the file, the line, the function text and the
// expression: "code/approach.cpp:<line>: <function>: Assertion `<expression>' failed."
inline std::string assertionMessage(const std::string& function, const std::string& expression) {
    return regexLiteral("code/approach.cpp:") + "[0-9]+: " + regexLiteral(function + ": Assertion `" + expression +
                                                                      "' failed.");
}

// Function texts of the exported functions that assert.
inline const char kTrackQuality[] = "float evaluate(track, track, int, float, bool)";
inline const char kTrackAttraction[] = "float attraction(track, track, int, int)";
inline const char kDataSet[] = "float evaluate(trackData&, trackList&, bool, std::vector<int>, std::vector<float>)";
inline const char kTrajectory[] =
    "void performFusionForAllFrames_TrajectoryOptimization(trackList&, track&, std::vector<int>, std::vector<float>, "
    "bool, bool)";
inline const char kWeights[] = "std::vector<float> calculateTrackerWeights(trackData&, trackList&)";
inline const char kLocalRemoval[] = "std::vector<int> localRemoval(trackList&, std::vector<int>, std::vector<float>)";

}  // namespace velmora_test

#endif  // VELMORA_TESTS_TEST_SUPPORT_H
