// The file-shaped form of a LightWave object of the IFF form LWOB and its
// conversion into the canonical scene: one mesh, the surfaces of SRFS with the
// attributes and textures of their SURF chunks, and the images the textures name.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

// What the parser leaves, already checked: every vertex index is below
// points.size() and every polygon surface number lies in 1..surfaceNames.size().
struct LWOBObject {
    std::vector<XYZ> points;                  // PNTS
    std::vector<std::string> surfaceNames;    // SRFS, in file order
    // POLS: polygon i has the vertices polygonVertices[polygonOffsets[i] ..
    // polygonOffsets[i + 1]) and the 1-based surface number polygonSurfaces[i].
    // Detail polygons are polygons like the others.
    std::vector<std::uint32_t> polygonOffsets{0};
    std::vector<std::uint32_t> polygonVertices;
    std::vector<std::int32_t> polygonSurfaces;
    // One BUILDINGRECORD per SURF chunk, in file order: `name`, the attributes
    // `color`, `luminosity`, `diffusion`, `specularity`, `reflectivity`,
    // `transparency` that the chunk sets, and `textures`, a LIST of texture
    // BUILDINGRECORDs with the one started last first. A texture holds `id`
    // (the subchunk that started it, e.g. "CTEX"), `type` (e.g. "Planar Image
    // Map") and whichever of `file`, `flags`, `size`, `center`, `falloff`,
    // `velocity`, `color`, `value`, `frequency`, `opacity` and `param` (an
    // ARRAY of 10 REALs) its subchunks set. `flags` is a RECORD of `axis` and
    // the BOOLs `world`, `negative`, `pixelblend`, `antialias`.
    std::vector<MorvLValue> surfaces;
};

// The canonical scene of a checked object (see LWOBToMorvLScene.cpp for the
// fields each texture gets). Warnings go to messages.
MorvLValue LWOBToMorvLScene(const LWOBObject& object, std::ostream& messages);

}  // namespace morv
