#include "geometry/PieceMerging.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace morv {

bool PieceCheck::accepted(std::span<const std::uint32_t> piece) {
    if (piece.size() > maxPieceVertices) return false;
    if (piece.size() <= 3) return true;
    if (std::isfinite(rules_.offPlane)) {
        const auto point = [&](std::size_t i) { return face_.pointAt(piece[i]); };
        const XYZ normal = newellOf(piece.size(), point);
        const double l = length(normal);
        const XYZ o = point(0);
        for (std::size_t i = 1; i < piece.size() && l > 0; ++i) {
            if (std::fabs(dot(point(i) - o, normal)) > rules_.offPlane * l) {
                cutForFlatness_ = true;
                return false;
            }
        }
    }
    return !rules_.test || rules_.test->keepsWhole(piece);
}

namespace {

// An edge two triangles share: triangle t runs from u to v, triangle s back.
struct Shared {
    double length2;
    std::uint32_t t, s, u, v;
};

// Every corner turns the same way about the piece's Newell normal, up to the tolerance.
bool convexInSpace(const FlatFace& face, std::span<const std::uint32_t> piece) {
    const std::size_t n = piece.size();
    const auto point = [&](std::size_t i) { return face.pointAt(piece[i % n]); };
    const XYZ normal = normalized(newellOf(n, point));
    for (std::size_t i = 0; i < n; ++i) {
        const XYZ a = point(i), b = point(i + 1), c = point(i + 2);
        if (dot(cross(b - a, c - b), normal) < -face.tol * length(c - a)) return false;
    }
    return true;
}

std::vector<Shared> sharedEdges(const FlatFace& face, const Triangulation& tri, MergeWorkspace& work) {
    const std::size_t count = tri.triangles.size() / 3;
    const auto& triangles = tri.triangles;
    const auto key = [](std::uint32_t u, std::uint32_t v) { return (std::uint64_t{u} << 32) | v; };
    auto& owner = work.edgeOwners;  // (edge, its triangle), by edge
    owner.clear();
    for (std::uint32_t t = 0; t < count; ++t)
        for (int c = 0; c < 3; ++c) owner.push_back({key(triangles[3 * t + c], triangles[3 * t + (c + 1) % 3]), t});
    std::sort(owner.begin(), owner.end());
    const auto ownerOf = [&](std::uint32_t u, std::uint32_t v) -> std::int64_t {
        const auto it = std::lower_bound(owner.begin(), owner.end(), std::pair<std::uint64_t, std::uint32_t>{key(u, v), 0});
        return it != owner.end() && it->first == key(u, v) ? std::int64_t{it->second} : -1;
    };
    std::vector<Shared> shared;
    for (std::uint32_t t = 0; t < count; ++t)
        for (int c = 0; c < 3; ++c) {
            const std::uint32_t u = triangles[3 * t + c], v = triangles[3 * t + (c + 1) % 3];
            if (u > v) continue;
            const std::int64_t other = ownerOf(v, u);
            if (other < 0) continue;
            const XYZ d = face.pointAt(tri.node(u)) - face.pointAt(tri.node(v));
            shared.push_back({dot(d, d), t, static_cast<std::uint32_t>(other), u, v});
        }
    return shared;
}

// Merges the triangles across the shared edges in their order, as long as
// each piece stays convex (up to the tolerance), within 16 vertices, without
// a point twice, and accepted by the rules.
class TriangleMerger {
public:
    TriangleMerger(const FlatFace& face, const Triangulation& tri, bool inSpace, PieceCheck& check, MergeWorkspace& work)
        : face_(face), tri_(tri), inSpace_(inSpace), check_(check), work_(work) {}

    void mergeAll(const std::vector<Shared>& shared, PolygonPieces& pieces) {
        const std::size_t count = tri_.triangles.size() / 3;
        work_.pieceVertices.resize(count * maxPieceVertices);
        work_.pieceSize.assign(count, 3);
        work_.pieceOf.resize(count);
        std::iota(work_.pieceOf.begin(), work_.pieceOf.end(), 0u);
        for (std::size_t t = 0; t < count; ++t)
            std::copy_n(&tri_.triangles[3 * t], 3, &work_.pieceVertices[t * maxPieceVertices]);
        for (const Shared& edge : shared) merge(edge);
        pieces.clear();
        for (std::uint32_t t = 0; t < count; ++t) {
            if (work_.pieceOf[t] != t) continue;
            for (std::size_t k = 0; k < work_.pieceSize[t]; ++k)
                nodes_[k] = tri_.node(work_.pieceVertices[t * maxPieceVertices + k]);
            pieces.add(std::span<const std::uint32_t>(nodes_, work_.pieceSize[t]));
        }
    }

private:
    std::uint32_t find(std::uint32_t t) {
        auto& pieceOf = work_.pieceOf;
        while (pieceOf[t] != t) t = pieceOf[t] = pieceOf[pieceOf[t]];
        return t;
    }

    void merge(const Shared& edge) {
        const std::uint32_t p = find(edge.t), q = find(edge.s), u = edge.u, v = edge.v;
        if (p == q) return;
        const std::uint32_t* P = &work_.pieceVertices[p * maxPieceVertices];
        const std::uint32_t* Q = &work_.pieceVertices[q * maxPieceVertices];
        const std::size_t np = work_.pieceSize[p], nq = work_.pieceSize[q];
        if (np + nq - 2 > maxPieceVertices) return;
        std::size_t i = 0, j = 0;
        while (i < np && !(P[i] == u && P[(i + 1) % np] == v)) ++i;
        while (j < nq && !(Q[j] == v && Q[(j + 1) % nq] == u)) ++j;
        if (i == np || j == nq) return;
        // From v round P to u, then on round Q to the vertex before v.
        std::size_t size = 0;
        for (std::size_t k = 1; k <= np; ++k) merged_[size++] = P[(i + k) % np];
        for (std::size_t k = 2; k < nq; ++k) merged_[size++] = Q[(j + k) % nq];
        const auto node = [&](std::uint32_t x) { return tri_.node(x); };
        const std::uint32_t beforeU = P[(i + np - 1) % np], afterU = Q[(j + 2) % nq];
        const std::uint32_t beforeV = Q[(j + nq - 1) % nq], afterV = P[(i + 2) % np];
        if (!inSpace_ && (face_.turn(node(beforeU), node(u), node(afterU)) < 0 ||
                          face_.turn(node(beforeV), node(v), node(afterV)) < 0))
            return;
        for (std::size_t k = 0; k < size; ++k) nodes_[k] = node(merged_[k]);
        const std::span<const std::uint32_t> piece(nodes_, size);
        if (inSpace_ && !convexInSpace(face_, piece)) return;
        for (std::size_t x = 0; x < size; ++x)
            for (std::size_t y = x + 1; y < size; ++y)
                if (nodes_[x] == nodes_[y]) return;
        if (!check_.accepted(piece)) return;
        std::copy_n(merged_, size, &work_.pieceVertices[p * maxPieceVertices]);
        work_.pieceSize[p] = static_cast<std::uint8_t>(size);
        work_.pieceOf[q] = p;
    }

    const FlatFace& face_;
    const Triangulation& tri_;
    bool inSpace_;
    PieceCheck& check_;
    MergeWorkspace& work_;
    std::uint32_t merged_[2 * maxPieceVertices], nodes_[2 * maxPieceVertices];
};

}  // namespace

// The order of the edges decides how many pieces remain: shortest first and
// longest first are both tried, and the one with fewer pieces is kept.
void mergeTriangles(const FlatFace& face, const Triangulation& tri, bool inSpace, PieceCheck& check,
                    MergeWorkspace& work, PolygonPieces& out) {
    std::vector<Shared> shared = sharedEdges(face, tri, work);
    TriangleMerger merger(face, tri, inSpace, check, work);
    std::stable_sort(shared.begin(), shared.end(), [](const Shared& x, const Shared& y) { return x.length2 < y.length2; });
    merger.mergeAll(shared, work.shortFirst);
    std::reverse(shared.begin(), shared.end());
    merger.mergeAll(shared, work.longFirst);
    const PolygonPieces& best = work.longFirst.count() < work.shortFirst.count() ? work.longFirst : work.shortFirst;
    for (std::size_t k = 0; k < best.count(); ++k) out.add(best.piece(k));
}

// Where one diagonal leaves two accepted parts, along that one; else along
// the one that leaves the largest accepted part, and the rest again. A
// diagonal must leave area on both sides.
void cutUntilAccepted(const FlatFace& face, std::span<const std::uint32_t> piece, PieceCheck& check,
                      PolygonPieces& out) {
    std::vector<Loop> work{Loop(piece.begin(), piece.end())};
    Loop a, b;
    while (!work.empty()) {
        Loop p = std::move(work.back());
        work.pop_back();
        if (check.accepted(p)) {
            out.add(p);
            continue;
        }
        const std::size_t n = p.size();
        const auto sides = [&](std::size_t i, std::size_t j) {
            a.assign(p.begin() + static_cast<std::ptrdiff_t>(i), p.begin() + static_cast<std::ptrdiff_t>(j) + 1);
            b.assign(p.begin() + static_cast<std::ptrdiff_t>(j), p.end());
            b.insert(b.end(), p.begin(), p.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        };
        std::size_t bestI = 0, bestJ = 0, bestSize = 0;
        bool bothFound = false;
        for (std::size_t i = 0; i < n && !bothFound; ++i) {
            for (std::size_t j = i + 2; j < n && !bothFound; ++j) {
                if (i == 0 && j == n - 1) continue;
                sides(i, j);
                if (!face.hasArea(a) || !face.hasArea(b)) continue;
                const bool okA = check.accepted(a), okB = check.accepted(b);
                if (okA && okB) bothFound = true, bestI = i, bestJ = j;
                const std::size_t size = std::max(okA ? a.size() : 0, okB ? b.size() : 0);
                if (!bothFound && size > bestSize) bestSize = size, bestI = i, bestJ = j;
            }
        }
        if (!bothFound && bestSize == 0) {  // no diagonal leaves area on both sides: a fan, as good as it gets
            for (std::size_t i = 1; i + 1 < n; ++i) out.add(p[0], std::span<const std::uint32_t>(&p[i], 2));
            continue;
        }
        sides(bestI, bestJ);
        for (Loop* side : {&a, &b}) {
            if (check.accepted(*side))
                out.add(*side);
            else
                work.push_back(*side);
        }
    }
}

}  // namespace morv
