#include "scene/Matrix4x4.hpp"

#include <cmath>

#include "base/Excn.hpp"

namespace morv {

Matrix4x4 Matrix4x4::identity() {
    static constexpr Row ex{1.0, 0.0, 0.0, 0.0};
    static constexpr Row ey{0.0, 1.0, 0.0, 0.0};
    static constexpr Row ez{0.0, 0.0, 1.0, 0.0};
    static constexpr Row ew{0.0, 0.0, 0.0, 1.0};
    return Matrix4x4{{ex, ey, ez, ew}};
}

int Matrix4x4::getIndex(int index) {
    if (index < 0 || index > 3) throw EGeneric(false, "Matrix4x4", "fatal error in getIndex! Index outside 0-4!");
    return index;
}

double Matrix4x4::get(int row, int column) const {
    return rows[static_cast<std::size_t>(getIndex(row))][static_cast<std::size_t>(getIndex(column))];
}

void Matrix4x4::set(int row, int column, double value) {
    rows[static_cast<std::size_t>(getIndex(row))][static_cast<std::size_t>(getIndex(column))] = value;
}

XYZ Matrix4x4::Trans::transformPoint(const Matrix4x4& m, const XYZ& p) {
    auto dot = [&p](const Row& r) { return r[0] * p.x + r[1] * p.y + r[2] * p.z + r[3]; };
    const double w = dot(m.rows[3]);
    if (w == 0.0) throw EGeneric(false, "Matrix4x4", "Zero divide in Matrix4x4.Trans.transformPoint");
    // Adding +0.0 turns a negative zero into a plain zero and changes nothing else.
    return XYZ{dot(m.rows[0]) / w + 0.0, dot(m.rows[1]) / w + 0.0, dot(m.rows[2]) / w + 0.0};
}

namespace Matrix4x4Mult {

Matrix4x4 mult(const Matrix4x4& a, const Matrix4x4& b) {
    Matrix4x4 c;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto& r = a.rows[i];
        for (std::size_t j = 0; j < 4; ++j)
            c.rows[i][j] = r[0] * b.rows[0][j] + r[1] * b.rows[1][j] + r[2] * b.rows[2][j] + r[3] * b.rows[3][j];
    }
    return c;
}

// Inverse by the adjugate, expanded along the 2x2 minors of the top two rows
// (s) and the bottom two rows (c); each cofactor is divided by the determinant
// so that matrices of 0, 1 and -1 stay exact.
Matrix4x4 invert(const Matrix4x4& m) {
    const auto& a = m.rows;
    const double s0 = a[0][0] * a[1][1] - a[1][0] * a[0][1];
    const double s1 = a[0][0] * a[1][2] - a[1][0] * a[0][2];
    const double s2 = a[0][0] * a[1][3] - a[1][0] * a[0][3];
    const double s3 = a[0][1] * a[1][2] - a[1][1] * a[0][2];
    const double s4 = a[0][1] * a[1][3] - a[1][1] * a[0][3];
    const double s5 = a[0][2] * a[1][3] - a[1][2] * a[0][3];
    const double c0 = a[2][0] * a[3][1] - a[3][0] * a[2][1];
    const double c1 = a[2][0] * a[3][2] - a[3][0] * a[2][2];
    const double c2 = a[2][0] * a[3][3] - a[3][0] * a[2][3];
    const double c3 = a[2][1] * a[3][2] - a[3][1] * a[2][2];
    const double c4 = a[2][1] * a[3][3] - a[3][1] * a[2][3];
    const double c5 = a[2][2] * a[3][3] - a[3][2] * a[2][3];
    const double det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
    // A determinant that is not finite gives no usable inverse either.
    if (det == 0.0 || !std::isfinite(det)) throw EGeneric(false, "DivideByZero", "Matrix4x4Mult.invert");

    const Matrix4x4::Row r0{a[1][1] * c5 - a[1][2] * c4 + a[1][3] * c3,
                            -a[0][1] * c5 + a[0][2] * c4 - a[0][3] * c3,
                            a[3][1] * s5 - a[3][2] * s4 + a[3][3] * s3,
                            -a[2][1] * s5 + a[2][2] * s4 - a[2][3] * s3};
    const Matrix4x4::Row r1{-a[1][0] * c5 + a[1][2] * c2 - a[1][3] * c1,
                            a[0][0] * c5 - a[0][2] * c2 + a[0][3] * c1,
                            -a[3][0] * s5 + a[3][2] * s2 - a[3][3] * s1,
                            a[2][0] * s5 - a[2][2] * s2 + a[2][3] * s1};
    const Matrix4x4::Row r2{a[1][0] * c4 - a[1][1] * c2 + a[1][3] * c0,
                            -a[0][0] * c4 + a[0][1] * c2 - a[0][3] * c0,
                            a[3][0] * s4 - a[3][1] * s2 + a[3][3] * s0,
                            -a[2][0] * s4 + a[2][1] * s2 - a[2][3] * s0};
    const Matrix4x4::Row r3{-a[1][0] * c3 + a[1][1] * c1 - a[1][2] * c0,
                            a[0][0] * c3 - a[0][1] * c1 + a[0][2] * c0,
                            -a[3][0] * s3 + a[3][1] * s1 - a[3][2] * s0,
                            a[2][0] * s3 - a[2][1] * s1 + a[2][2] * s0};
    Matrix4x4 inv{{r0, r1, r2, r3}};
    for (auto& row : inv.rows)
        for (double& e : row) e = e / det + 0.0;
    return inv;
}

}  // namespace Matrix4x4Mult
}  // namespace morv
