// The reader of Unreal brushes in their text form (a T3D poly list): the probe,
// the parse into file-shaped data (per polygon its texture name, texture
// vectors and vertex points) and the conversion into the canonical scene.
//
// The text: "Begin PolyList", polygons, "End PolyList", and nothing but
// whitespace after it; a UTF-8 byte-order mark at the start is skipped. A
// polygon is "Begin Polygon" with attribute words up to the line end (LF or
// CR LF), the vectors Origin and Normal, an optional "Pan U=.. V=.." line,
// TextureU and TextureV, its Vertex lines and "End Polygon". Whitespace may
// stand between all items and around the commas of a vector.
//
// What the scene gets:
// - Faces: one per polygon, its Vertex points in file order. Points that are
//   equal (bit for bit, +0 equal to -0) share one vertex. Repeated consecutive
//   points are collapsed; a polygon left with fewer than 3 points or without
//   area is left out with a warning that names it.
// - Surfaces: one per distinct texture name (the first "Texture=" word of a
//   polygon), in order of first appearance, named by it and keeping it in
//   brushTextureField; polygons without a texture name share the surface
//   "Default". A name longer than longestBrushTextureName is refused.
// - Textures: every surface has one texture of channel "color" and projection
//   "st" on slot 0 of the corners' texture coordinates. A point P of a polygon
//   shows pixel (u, v) = ((P - Origin) . TextureU + PanU, (P - Origin) .
//   TextureV + PanV), stored as s = u / w, t = 1 - v / h with the run's
//   default texture resolution w x h, so every polygon keeps its own placement.
//   Each face also keeps the placement itself (facePlacementsField, the Pan
//   folded into the origin, or kept beside it along an axis of zero length), which a brush written from the scene uses as it
//   is: it holds what texels cannot, such as a texture seen edge-on.
// - Images: one per texture name; "Package.Group.Name" is the relative file
//   name "Package/Group/Name". The surface "Default" has no image.
// - The Normal line is read and checked but not used: a polygon shows the
//   side its vertex order gives, as in LightWave.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>

#include "importers/Importer.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

// The most Vertex lines a polygon may have: what a LightWave polygon holds, so
// that every polygon read can be written in every format.
inline constexpr std::size_t mostBrushPolygonVertices = 1023;

// True when the text begins with "Begin PolyList" followed by "Begin Polygon"
// or "End PolyList"; never fails.
bool probeUnrealT3D(std::span<const std::uint8_t> bytes);

std::string unrealT3DReaderProgressLine(const std::string& fileName);

// First stage on the file's bytes. Format errors raise BrushSyntaxError.
std::unique_ptr<ImportedFile> parseUnrealT3DBytes(std::span<const std::uint8_t> bytes, std::ostream& messages);

// Both stages, with the default texture resolution given.
MorvLValue readUnrealT3DSceneFromBytes(std::span<const std::uint8_t> bytes, std::ostream& messages,
                                       double textureWidth = 512.0, double textureHeight = 512.0);

}  // namespace morv
