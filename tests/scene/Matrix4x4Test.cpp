#include "scene/Matrix4x4.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/Excn.hpp"

namespace morv {
namespace {

Matrix4x4 general() {
    return Matrix4x4{{Matrix4x4::Row{2, 1, 0, 3}, Matrix4x4::Row{0, 1, 4, -1}, Matrix4x4::Row{1, 0, 3, 2},
                      Matrix4x4::Row{0.5, 0, 1, 2}}};
}

void expectNearIdentity(const Matrix4x4& m) {
    const Matrix4x4 id = Matrix4x4::identity();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(m.get(i, j), id.get(i, j), 1e-12) << i << "," << j;
}

template <class F>
void expectEGeneric(F&& f, const std::string& type, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception";
    } catch (const EGeneric& e) {
        EXPECT_FALSE(e.bug);
        EXPECT_EQ(e.type, type);
        EXPECT_EQ(e.message(), message);
    }
}

TEST(Matrix4x4Test, IndexOutsideZeroToThreeFails) {
    Matrix4x4 m = Matrix4x4::identity();
    EXPECT_EQ(m.get(3, 3), 1.0);
    EXPECT_EQ(m.get(0, 3), 0.0);
    for (auto [r, c] : std::vector<std::pair<int, int>>{{-1, 0}, {4, 0}, {0, -1}, {0, 4}}) {
        expectEGeneric([&] { (void)m.get(r, c); }, "Matrix4x4", "fatal error in getIndex! Index outside 0-4!");
        expectEGeneric([&] { m.set(r, c, 1.0); }, "Matrix4x4", "fatal error in getIndex! Index outside 0-4!");
    }
}

TEST(Matrix4x4Test, ProductIsRowTimesColumn) {
    Matrix4x4 a = Matrix4x4::identity();
    a.set(0, 3, 5.0);  // translate x by 5
    Matrix4x4 b = Matrix4x4::identity();
    b.set(0, 0, 2.0);  // scale x by 2
    // a·b scales first, then translates: 1 -> 7; b·a translates first: 1 -> 12.
    EXPECT_EQ(Matrix4x4::Trans::transformPoint(a * b, {1, 0, 0}), (XYZ{7, 0, 0}));
    EXPECT_EQ(Matrix4x4::Trans::transformPoint(b * a, {1, 0, 0}), (XYZ{12, 0, 0}));
    EXPECT_EQ(Matrix4x4Mult::mult(general(), Matrix4x4::identity()), general());
    EXPECT_EQ(Matrix4x4Mult::mult(Matrix4x4::identity(), general()), general());
}

TEST(Matrix4x4Test, InverseTimesMatrixIsIdentity) {
    Matrix4x4 rot = Matrix4x4::identity();
    rot.rows[0] = {std::cos(0.3), -std::sin(0.3), 0, 4};
    rot.rows[1] = {std::sin(0.3), std::cos(0.3), 0, -2};
    for (const Matrix4x4& m : {general(), rot}) {
        expectNearIdentity(Matrix4x4Mult::invert(m) * m);
        expectNearIdentity(m * Matrix4x4Mult::invert(m));
    }
    // A matrix of 0, 1 and -1 inverts exactly.
    Matrix4x4 quarter = Matrix4x4::identity();
    quarter.rows[0] = {0, -1, 0, 0};
    quarter.rows[1] = {1, 0, 0, 0};
    EXPECT_EQ(Matrix4x4Mult::invert(quarter) * quarter, Matrix4x4::identity());
}

TEST(Matrix4x4Test, SingularMatrixFailsToInvert) {
    Matrix4x4 flat = Matrix4x4::identity();
    flat.set(1, 1, 0.0);
    Matrix4x4 dependent = general();
    dependent.rows[2] = {4, 2, 0, 6};  // twice the x-row
    for (const Matrix4x4& m : {flat, dependent, Matrix4x4{}})
        expectEGeneric([&] { (void)Matrix4x4Mult::invert(m); }, "DivideByZero", "Matrix4x4Mult.invert");
}

TEST(Matrix4x4Test, TransformPointDividesByW) {
    Matrix4x4 m = Matrix4x4::identity();
    m.set(3, 3, 2.0);
    EXPECT_EQ(Matrix4x4::Trans::transformPoint(m, {2, 4, 6}), (XYZ{1, 2, 3}));
    m.rows[3] = {1, 0, 0, 0};  // w = x
    expectEGeneric([&] { (void)Matrix4x4::Trans::transformPoint(m, {0, 5, 5}); }, "Matrix4x4",
                   "Zero divide in Matrix4x4.Trans.transformPoint");
}

TEST(Matrix4x4Test, TransformPointWritesNoNegativeZero) {
    Matrix4x4 m = Matrix4x4::identity();
    m.set(0, 0, -1.0);
    const XYZ p = Matrix4x4::Trans::transformPoint(m, {0, 0, 0});
    EXPECT_FALSE(std::signbit(p.x));
}

}  // namespace
}  // namespace morv
