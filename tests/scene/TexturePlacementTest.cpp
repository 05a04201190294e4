#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "scene/TexturePlacement.hpp"
#include "scene/Matrix4x4.hpp"
#include "scene/MorvLCoordTransforms.hpp"

namespace morv {
namespace {

struct AxisCase {
    std::int32_t axis;
    std::vector<MorvLValue> turn;  // the axis element, if any
};

TEST(TexturePlacement, ListHasTheFiveStepsInOrderForEveryAxis) {
    const XYZ center{1, 2, 3}, rotation{0.25, 0.5, 0.75}, size{4, 5, 6};
    const AxisCase cases[] = {
        {0, {makeIntDegRotateY(-90)}},
        {1, {makeIntDegRotateX(90)}},
        {2, {}},
        {7, {}},  // an axis outside 0..2 turns nothing
        {-1, {}},
    };
    for (const auto& c : cases) {
        std::vector<MorvLValue> expected{makeTranslateXYZ(1, 2, 3), makeRotateY(0.25), makeRotateX(0.5),
                                         makeRotateZ(0.75), makeScaleXYZ(4, 5, 6)};
        expected.insert(expected.end(), c.turn.begin(), c.turn.end());
        expected.push_back(makeTranslateXYZ(-0.5, -0.5, 0.0));
        EXPECT_EQ(textureTransforms(center, rotation, size, c.axis), MorvLValue::List(expected)) << "axis " << c.axis;
    }
    const float quarter = std::numbers::pi / 2;  // whole degrees stored as single floats turn exactly
    const auto turns = textureTransforms(center, {quarter, -2 * quarter, 0}, size, 2).items();
    EXPECT_EQ(std::vector(turns.begin() + 1, turns.begin() + 4),
              (std::vector{makeIntDegRotateY(90), makeIntDegRotateX(-180), makeRotateZ(0)}));
}

// Where the corners and the middle of the image end up in object space.
TEST(TexturePlacement, ImageSquareLandsAroundTheCentreAcrossTheAxis) {
    struct Case {
        std::int32_t axis;
        XYZ corner00;  // texture (0, 0) in object space
    };
    // size (2, 4, 8), centre (10, 20, 30): the image spans size along the two
    // axes that the projection axis leaves.
    const Case cases[] = {
        {2, {9, 18, 30}},   // s along x, t along y
        {0, {10, 18, 26}},  // s along z, t along y
        {1, {9, 20, 26}},   // s along x, t along z
    };
    for (const auto& c : cases) {
        const Matrix4x4 m = transformToMatrix4x4(textureTransforms({10, 20, 30}, {0, 0, 0}, {2, 4, 8}, c.axis));
        const XYZ middle = Matrix4x4::Trans::transformPoint(m, {0.5, 0.5, 0});
        EXPECT_NEAR(middle.x, 10, 1e-12);
        EXPECT_NEAR(middle.y, 20, 1e-12);
        EXPECT_NEAR(middle.z, 30, 1e-12);
        const XYZ corner = Matrix4x4::Trans::transformPoint(m, {0, 0, 0});
        EXPECT_NEAR(corner.x, c.corner00.x, 1e-12) << "axis " << c.axis;
        EXPECT_NEAR(corner.y, c.corner00.y, 1e-12) << "axis " << c.axis;
        EXPECT_NEAR(corner.z, c.corner00.z, 1e-12) << "axis " << c.axis;
    }
}

TEST(TexturePlacement, HeadingActsAfterPitchAndBank) {
    // Heading a quarter turn about y carries the image's s axis from x to -z.
    const Matrix4x4 m = transformToMatrix4x4(textureTransforms({0, 0, 0}, {1.5707963267948966, 0, 0}, {1, 1, 1}, 2));
    const XYZ p = Matrix4x4::Trans::transformPoint(m, {1, 0.5, 0});
    EXPECT_NEAR(p.x, 0, 1e-12);
    EXPECT_NEAR(p.y, 0, 1e-12);
    EXPECT_NEAR(p.z, -0.5, 1e-12);
}

}  // namespace
}  // namespace morv
