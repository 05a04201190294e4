// Where a face's outline touches or crosses itself: finding whether it does
// (a sweep, O(n log n) for a simple outline), and cutting it there into
// simple loops that bound the parts facing the outline's way and the other.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/FlatFace.hpp"

namespace morv {

// Whether the outline (positions of face) neither touches nor crosses itself.
// events is scratch kept by the caller.
bool outlineIsSimple(const FlatFace& face, std::span<const std::uint32_t> outline, std::vector<std::uint32_t>& events);

enum class ContactResult { Cut, NoArea, TooComplex, Retraced };

// The outline cut at its contacts.
struct ContactCut {
    std::vector<Loop> front, back;      // loops round the parts that face the outline's way and the other way
    std::vector<std::uint32_t> parent;  // contacts: points that are one (a union of points)

    // The point that stands for all those that are one with node.
    std::uint32_t root(std::uint32_t node);
};

// Cuts the outline where it touches or crosses itself into simple loops,
// appended to cut.front and cut.back; points added where edges cross go to
// face.added (and face.flat). Cut unless the outline has no area, is beyond
// the complexity bound, or runs along part of itself twice the same way.
ContactResult cutAtContacts(FlatFace& face, std::span<const std::uint32_t> outline, ContactCut& cut);

// Where the outline passes one point several times, each piece there takes
// the position of the pass whose side of the outline holds it.
void choosePositions(const FlatFace& face, std::span<const std::uint32_t> outline, ContactCut& cut,
                     PolygonPieces& pieces);

}  // namespace morv
