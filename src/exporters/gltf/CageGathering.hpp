// The subdivision cages of a mesh for the glTF writer: its SubPatch and
// Catmull-Clark faces gathered into connected cages (faces that share a
// point), each as one Cage across its surfaces, ready for refineCage.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "exporters/gltf/CageRefinement.hpp"
#include "scene/CanonicalScene.hpp"

namespace morv {

struct GatheredCage {
    Cage cage;                          // points in the mesh's coordinates
    std::vector<std::uint32_t> faces;   // the mesh's face of each cage face
};

// Cages in the order of their first face. A face's surface is its group:
// its surface index, or surfaceCount for a face that names none. uvSlots
// gives per group the texture-coordinate slot its corners carry (-1: none);
// the corners of a cage with any slot carry their own coordinates, or else
// their point's, or (0, 0). Corner indices must have been checked.
std::vector<GatheredCage> gatherCages(const MeshView& view, std::size_t surfaceCount,
                                      std::span<const std::int32_t> uvSlots);

}  // namespace morv
