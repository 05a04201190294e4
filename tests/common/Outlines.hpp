// Polygon outlines in the x-y plane that are awkward to split into convex
// pieces, shared by the splitting tests and the end-to-end brush tests.
#pragma once

#include <cmath>
#include <numbers>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv::testing {

using Outline = std::vector<XYZ>;

inline Outline regular(std::size_t n, double radius = 100) {
    Outline p;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
        p.push_back({radius * std::cos(a), radius * std::sin(a), 0});
    }
    return p;
}

// Alternating long and short spikes.
inline Outline star(std::size_t points) {
    Outline p = regular(2 * points);
    for (std::size_t i = 1; i < p.size(); i += 2) p[i] = {p[i].x * 0.4, p[i].y * 0.4, 0};
    return p;
}

// Teeth along the top, with points along every straight run: 4 * teeth + 3 points.
inline Outline comb(std::size_t teeth, double width = 10, double foot = 4, double top = 10) {
    Outline p{{0, 0, 0}, {width / 2, 0, 0}, {width, 0, 0}};
    const double w = width / static_cast<double>(2 * teeth - 1);
    for (std::size_t t = teeth; t-- > 0;) {
        const double x = static_cast<double>(2 * t) * w;
        p.insert(p.end(), {{x + w, foot, 0}, {x + w, top, 0}, {x, top, 0}, {x, foot, 0}});
    }
    p.back() = {0, foot / 2, 0};  // the last tooth ends on the left edge
    return p;
}

// A square with a square hole, joined by a bridge that repeats two positions.
inline Outline keyhole() {
    return {{0, 0, 0},   {10, 0, 0},  {20, 0, 0}, {20, 10, 0}, {20, 20, 0}, {10, 20, 0}, {0, 20, 0},
            {0, 10, 0},  {5, 10, 0},  {5, 15, 0}, {15, 15, 0}, {15, 5, 0},  {5, 5, 0},   {5, 10, 0},
            {0, 10, 0}};
}

// A band of n points wound round twice, its inner side all reflex corners.
inline Outline spiral(std::size_t n) {
    Outline p(n);
    for (std::size_t i = 0; i < n / 2; ++i) {
        const double a = 4 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n / 2), r = 40 + 8 * a;
        p[i] = {r * std::cos(a), r * std::sin(a), 0};
        p[n - 1 - i] = {(r - 10) * std::cos(a), (r - 10) * std::sin(a), 0};
    }
    return p;
}

}  // namespace morv::testing
