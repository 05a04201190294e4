// Arithmetic on points and directions (XYZ): the one set every layer above
// the scene uses, so that a sum, a cross product or a length is written once.
#pragma once

#include <cmath>

#include "scene/MorvLValue.hpp"

namespace morv {

inline XYZ operator+(const XYZ& a, const XYZ& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline XYZ operator-(const XYZ& a, const XYZ& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline XYZ operator*(double s, const XYZ& a) { return {s * a.x, s * a.y, s * a.z}; }
inline double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline XYZ cross(const XYZ& a, const XYZ& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double length(const XYZ& a) { return std::sqrt(dot(a, a)); }

// a divided by its length; a itself when its length is 0 (or not finite).
XYZ normalized(const XYZ& a);

}  // namespace morv
