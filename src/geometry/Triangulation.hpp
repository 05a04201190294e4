// Cutting a region of the working plane into triangles: the sweep that cuts
// it into monotone parts and the cutting of those into triangles, in
// O(n log n); and, for a face bent so far that seen along its normal it
// overlaps itself, the triangles of least area between its own points.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "geometry/FlatFace.hpp"

namespace morv {

// A vertex of the loops the sweep runs over: its point of the face and its
// neighbours along its loop.
struct SweepVertex {
    std::uint32_t node, prev, next;
};

// The triangles of a region, as triples of sweep vertices, counter-clockwise.
struct Triangulation {
    std::vector<SweepVertex> vertices;
    std::vector<FlatPoint> points;  // of each vertex, shared points moved a little into their own corner
    std::vector<std::uint32_t> triangles;

    std::uint32_t node(std::uint32_t v) const { return vertices[v].node; }
};

// The sweep's scratch, kept by the caller from face to face.
struct SweepWorkspace {
    std::vector<std::uint32_t> order, helper;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> diagonals;
    std::vector<std::pair<std::uint32_t, bool>> chain, stack;  // vertex, on the left chain
    Loop part;
};

// The region that the loops (all with it on their left) bound, cut into
// triangles. With separateShared, points that several loops share are moved
// a little into their own corner first, so that the loops no longer touch.
// False when the loops do not bound one region as they should.
bool triangulate(const FlatFace& face, const std::vector<Loop>& loops, bool separateShared, Triangulation& out,
                 SweepWorkspace& work);

// The slower path for a simple loop (counter-clockwise) that the sweep could
// not cut: ears clipped one by one, each a corner that turns left whose
// triangle holds no other corner; corners on a line up to the tolerance are
// dropped. False when no ear is left (the loop is not simple after all).
bool clipEars(const FlatFace& face, const Loop& loop, Triangulation& out);

// A face bent so far that, seen along its normal, it overlaps itself: the
// triangles between its own points that span it with the least area, in the
// face's order (those without area left out). False beyond the size bound
// or when no triangle has area.
bool spanBentFace(const FlatFace& face, Triangulation& out);

}  // namespace morv
