// Bytes in as an outline of up to 64 points on a small grid of a tilted plane
// (so points on edges, touching and crossing outlines are common), cut into
// convex pieces; aborts unless every piece has 3 to 16 vertices, is convex
// and has area, and the pieces cover, without overlapping, where the
// outline's winding number is not zero (checked at points away from edges).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "exporters/unreal/ConvexSplitting.hpp"

namespace {

struct P {
    double x, y;
};

double side(P a, P b, P c) { return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x); }

double distanceToSegment(P p, P a, P b) {
    const double dx = b.x - a.x, dy = b.y - a.y, l2 = dx * dx + dy * dy;
    const double t = l2 > 0 ? std::fmax(0, std::fmin(1, ((p.x - a.x) * dx + (p.y - a.y) * dy) / l2)) : 0;
    return std::hypot(p.x - a.x - t * dx, p.y - a.y - t * dy);
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<morv::XYZ> outline;
    for (std::size_t i = 0; i + 1 < size && outline.size() < 64; i += 2) {
        const double x = static_cast<std::int8_t>(data[i]), y = static_cast<std::int8_t>(data[i + 1]);
        if (!outline.empty() && outline.back().x == x && outline.back().y == y) continue;
        outline.push_back({x, y, 0.25 * x - 0.125 * y});  // exact in binary: the plane is flat
    }
    if (outline.size() < 3) return 0;
    morv::ConvexSplitter splitter;
    morv::PolygonPieces pieces;
    const morv::PolygonShape shape = splitter.split(outline, pieces);
    if (shape == morv::PolygonShape::Unsplittable) return 0;
    const auto point = [&](std::uint32_t i) {
        const morv::XYZ& p = i < outline.size() ? outline[i] : splitter.addedPoints()[i - outline.size()].point;
        return P{p.x, p.y};
    };
    const double tol = splitter.tolerance();
    std::vector<std::vector<P>> convex;
    for (std::size_t k = 0; k < pieces.count(); ++k) {
        const auto piece = pieces.piece(k);
        const std::size_t n = piece.size();
        check(n >= 3 && n <= morv::maxPieceVertices);
        std::vector<P> q;
        double area2 = 0;
        for (std::uint32_t i : piece) q.push_back(point(i));
        for (std::size_t i = 0; i < n; ++i) area2 += q[i].x * q[(i + 1) % n].y - q[i].y * q[(i + 1) % n].x;
        check(std::fabs(area2) > 0);
        if (area2 < 0) std::reverse(q.begin(), q.end());
        for (std::size_t i = 0; i < n; ++i)
            check(side(q[i], q[(i + 1) % n], q[(i + 2) % n]) >= -2 * tol * std::hypot(q[(i + 2) % n].x - q[i].x, q[(i + 2) % n].y - q[i].y));
        convex.push_back(q);
    }
    for (int s = 0; s < 64; ++s) {
        const P m{-128 + 256 * std::fmod(0.1 + s * 0.6180339887, 1.0), -128 + 256 * std::fmod(0.3 + s * 0.4142135623, 1.0)};
        bool nearEdge = false;
        int winding = 0;
        for (std::size_t k = 0; k < outline.size(); ++k) {
            const P a{outline[k].x, outline[k].y}, b{outline[(k + 1) % outline.size()].x, outline[(k + 1) % outline.size()].y};
            nearEdge = nearEdge || distanceToSegment(m, a, b) < 0.5;
            winding += (a.y <= m.y && b.y > m.y && side(a, b, m) > 0) - (a.y > m.y && b.y <= m.y && side(a, b, m) < 0);
        }
        int covering = 0;
        for (const auto& q : convex) {
            bool inside = true;
            for (std::size_t i = 0; i < q.size(); ++i) {
                nearEdge = nearEdge || distanceToSegment(m, q[i], q[(i + 1) % q.size()]) < 0.5;
                inside = inside && side(q[i], q[(i + 1) % q.size()], m) > 0;
            }
            covering += inside;
        }
        if (!nearEdge) check(covering == (winding != 0 ? 1 : 0));
    }
    return 0;
}
