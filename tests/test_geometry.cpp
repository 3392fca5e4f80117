// Box distance and the two box attractions.
#include "test_support.h"

namespace velmora_test {
namespace {

struct DistanceCase {
    const char* name;
    Box a, b;
    float distance, attraction, normalized;
};

void PrintTo(const DistanceCase& c, std::ostream* os) { *os << c.name; }

// std_alpha = 4, sigma = 0.03. Second row: centres 5 apart over a mean width of 10, so
// DX = 0.5 and the distance 0.25. Third row: centres 10 apart over a mean width of 20
// (DX = 0.5) and widths 20 apart (DW = 1 / 4): 0.25 + 0.0625.
class BoxDistance : public VelmoraParamTest<DistanceCase> {};

TEST_P(BoxDistance, MatchesWorkedValues) {
    const DistanceCase& c = GetParam();
    EXPECT_SAME_BITS(c.distance, distance4D_2(c.a, c.b));
    EXPECT_SAME_BITS(c.attraction, attraction(c.a, c.b, std_sigma));
    EXPECT_SAME_BITS(c.normalized, normalizedAttraction(c.a, c.b, std_sigma));
}

TEST_P(BoxDistance, SwappingTheBoxesGivesIdenticalBits) {
    const DistanceCase& c = GetParam();
    EXPECT_SAME_BITS(distance4D_2(c.a, c.b), distance4D_2(c.b, c.a));
    EXPECT_SAME_BITS(attraction(c.a, c.b, std_sigma), attraction(c.b, c.a, std_sigma));
    EXPECT_SAME_BITS(normalizedAttraction(c.a, c.b, std_sigma), normalizedAttraction(c.b, c.a, std_sigma));
}

TEST_P(BoxDistance, DoublingEveryCoordinateKeepsTheDistance) {
    const DistanceCase& c = GetParam();
    const Box a2(c.a.x * 2, c.a.y * 2, c.a.width * 2, c.a.height * 2);
    const Box b2(c.b.x * 2, c.b.y * 2, c.b.width * 2, c.b.height * 2);
    EXPECT_SAME_BITS(c.distance, distance4D_2(a2, b2));
}

TEST_P(BoxDistance, ReadsStdAlphaAtEveryCall) {
    const DistanceCase& c = GetParam();
    // Only the two size terms depend on std_alpha; with equal sizes nothing changes.
    std_alpha = 1.0f;
    const float withAlphaOne = distance4D_2(c.a, c.b);
    if (c.a.width == c.b.width && c.a.height == c.b.height)
        EXPECT_SAME_BITS(c.distance, withAlphaOne);
    else
        EXPECT_GT(withAlphaOne, c.distance);
    std_alpha = 4.0f;
    EXPECT_SAME_BITS(c.distance, distance4D_2(c.a, c.b));
}

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, BoxDistance,
    ::testing::Values(
        DistanceCase{"EqualBoxes", Box(0, 0, 10, 10), Box(0, 0, 10, 10), 0.0f, 33.333336f, 1.0f},
        DistanceCase{"ShiftedByHalfAWidth", Box(0, 0, 10, 10), Box(5, 0, 10, 10), 0.25f, 3.5714285f, 0.10714285f},
        DistanceCase{"ThreeTimesAsWide", Box(0, 0, 10, 10), Box(0, 0, 30, 10), 0.3125f, 2.919708f, 0.08759124f},
        DistanceCase{"ShiftedAndResized", Box(100, 50, 40, 80), Box(110, 40, 60, 60), 0.2567347f, 3.4875443f,
                     0.10462633f}),
    [](const ::testing::TestParamInfo<DistanceCase>& testInfo) { return std::string(testInfo.param.name); });

class BoxGeometry : public VelmoraTest {};

TEST_F(BoxGeometry, AlphaOneCountsTheWidthTermInFull) {
    std_alpha = 1.0f;
    // DX = 0.5 and DW = 1: 0.25 + 1.0.
    EXPECT_SAME_BITS(1.25f, distance4D_2(Box(0, 0, 10, 10), Box(0, 0, 30, 10)));
}

TEST_F(BoxGeometry, CommonShiftKeepsTheDistance) {
    EXPECT_SAME_BITS(0.25f, distance4D_2(Box(7, 3, 10, 10), Box(12, 3, 10, 10)));
    EXPECT_SAME_BITS(0.3125f, distance4D_2(Box(-40, 16, 10, 10), Box(-40, 16, 30, 10)));
}

TEST_F(BoxGeometry, ZeroWidthsGiveNotANumberWhereverTheBoxesAre) {
    for (const Box& b : {Box(0, 0, 0, 10), Box(50, -20, 0, 10), Box(3, 4, 0, 0)}) {
        const Box a(0, 0, 0, 10);
        EXPECT_TRUE(std::isnan(distance4D_2(a, b))) << "b.x = " << b.x;
        EXPECT_TRUE(std::isnan(attraction(a, b, std_sigma)));
        EXPECT_TRUE(std::isnan(normalizedAttraction(a, b, std_sigma)));
    }
}

TEST_F(BoxGeometry, ZeroHeightsGiveNotANumber) {
    EXPECT_TRUE(std::isnan(distance4D_2(Box(0, 0, 10, 0), Box(5, 5, 10, 0))));
}

TEST_F(BoxGeometry, OneZeroWidthBoxStillHasAFiniteDistance) {
    // Width sum 10: DX = (0 - 5) / 10 * 2 = -1, DW = -10 / 10 * 2 / 4 = -0.5.
    EXPECT_SAME_BITS(1.25f, distance4D_2(Box(0, 0, 0, 10), Box(0, 0, 10, 10)));
}

TEST_F(BoxGeometry, AttractionUsesTheGivenConstantNotStdSigma) {
    std_sigma = 7.0f;
    EXPECT_SAME_BITS(2.0f, attraction(Box(0, 0, 10, 10), Box(0, 0, 10, 10), 0.5f));
    // 1 / (0.25 + 0.25) * 0.25
    EXPECT_SAME_BITS(0.5f, normalizedAttraction(Box(0, 0, 10, 10), Box(5, 0, 10, 10), 0.25f));
}

TEST_F(BoxGeometry, ZeroConstantWithEqualBoxesIsInfiniteAndNotANumberNormalised) {
    const Box a(1, 2, 3, 4);
    EXPECT_SAME_BITS(kInf, attraction(a, a, 0.0f));
    EXPECT_TRUE(std::isnan(normalizedAttraction(a, a, 0.0f)));
}

TEST_F(BoxGeometry, NormalisedAttractionOfEqualBoxesIsExactlyOne) {
    for (const Box& a : {Box(0, 0, 10, 10), Box(-3.5f, 1e4f, 0.25f, 77), Box(1e-3f, 2e-3f, 3e-3f, 4e-3f)})
        EXPECT_SAME_BITS(1.0f, normalizedAttraction(a, a, std_sigma));
}

}  // namespace
}  // namespace velmora_test
