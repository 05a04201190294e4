// 4x4 matrices of doubles applied to column vectors (x, y, z, 1): rows in the
// order x, y, z, w; within a row the coefficients of x, y, z and the constant.
#pragma once

#include <array>

#include "scene/MorvLValue.hpp"

namespace morv {

struct Matrix4x4 {
    using Row = std::array<double, 4>;
    std::array<Row, 4> rows{};

    static Matrix4x4 identity();

    // Checked element access: an index outside 0..3 raises EGeneric
    // "fatal error in getIndex! Index outside 0-4!".
    static int getIndex(int index);
    double get(int row, int column) const;
    void set(int row, int column, double value);

    friend bool operator==(const Matrix4x4&, const Matrix4x4&) = default;

    struct Trans {
        // (x', y', z') = (row · p) / (w-row · p); a w of exactly 0 raises
        // EGeneric "Zero divide in Matrix4x4.Trans.transformPoint".
        static XYZ transformPoint(const Matrix4x4& m, const XYZ& p);
    };
};

namespace Matrix4x4Mult {
// The product a·b: row i of a against column j of b.
Matrix4x4 mult(const Matrix4x4& a, const Matrix4x4& b);
// The general inverse; a singular matrix raises EGeneric of type
// "DivideByZero" with the message "Matrix4x4Mult.invert".
Matrix4x4 invert(const Matrix4x4& m);
}  // namespace Matrix4x4Mult

inline Matrix4x4 operator*(const Matrix4x4& a, const Matrix4x4& b) { return Matrix4x4Mult::mult(a, b); }

}  // namespace morv
