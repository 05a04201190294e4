// The fewest convex pieces of a small simple loop, by an exact search over
// the diagonals between its points; and the diagonal test it shares with the
// cutting of loops of moderate size.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/FlatFace.hpp"
#include "geometry/PieceMerging.hpp"

namespace morv {

// Simple loops of up to this many points are searched for their fewest pieces.
inline constexpr std::size_t exactLimit = 16;

// The search's scratch, kept by the caller from face to face.
struct ExactWorkspace {
    std::vector<std::uint32_t> part;  // the loop's positions
    // Per subset of them the fewest pieces and the chosen diagonal (ends
    // packed as 16 * a + b; 255: none), and which diagonals of the loop are
    // known good (1) or bad (2).
    std::vector<std::uint8_t> count, choice, diagonalState;
};

// The fewest pieces of a simple counter-clockwise loop of at most exactLimit
// points, appended to out; false when no set of diagonals gives pieces that
// all keep the rules.
bool exactSplit(const FlatFace& face, std::span<const std::uint32_t> loop, PieceCheck& check, ExactWorkspace& work,
                PolygonPieces& out);

// The segment between corners a and b of a simple loop is a diagonal: it
// leaves both into the inside, crosses no edge and passes through no other
// corner (up to the tolerance).
bool isDiagonal(const FlatFace& face, std::span<const std::uint32_t> part, std::size_t a, std::size_t b);

}  // namespace morv
