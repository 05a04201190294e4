// The Unreal brush writer: a canonical scene as one bare polygon list, the
// text that the editor's Brush > Import reads. Every polygon is convex, flat
// within the editor's 0.1 unit and has at most 16 vertices (faces are cut by
// ConvexSplitting as needed), and carries its texture placement: a brush
// polygon's own when the scene keeps one, else one from the surface's texture,
// with pieces cut further until one placement keeps every corner's texel.
// Lines end in "\r\n"; every number is written as printf's "%+013.6f" would.
//
// Per face: repeated consecutive points are dropped first; a face without
// area gets the warning "Degenerate convex polygon found!\n", and every face
// that ends with no polygon is named in a warning (leftOutWarning). Each
// polygon's Normal is the unit Newell normal of its written vertex order, the
// side the editor shows.
#pragma once

#include <optional>
#include <string>

#include "exporters/Exporter.hpp"
#include "exporters/unreal/TextureSpaceMapping.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {
namespace ExportUnrealT3D {

// What every polygon of one surface needs: the name after "Texture=", the
// chosen texture's placement and the image size it works in.
struct PreparedSurface {
    std::string textureName;
    TextureSpaceMapping mapping;
    std::string name;  // the surface's own, for messages
};

// The first texture of a LIST whose channel is "color" and whose projection
// is "planar" or "st"; nullopt when there is none.
std::optional<MorvLValue> getFirstColorTexture(const MorvLValue& textures);

// The texture name is the surface's brushTextureField as it stands (a surface
// read from a brush), or else the base name of the chosen texture's image (no
// folders, no extension), or the surface's name when the surface has no such
// texture or it has no image; every character outside A-Z, a-z, 0-9 and "_"
// becomes "_", a name longer than longestBrushTextureName is cut to it, and an
// empty name is "Default". A texture without an image works in the default
// resolution.
PreparedSurface prepareSurface(const MorvLValue& surface, const MorvLValue& images, double defaultWidth,
                               double defaultHeight);

// A number as the brush holds it: sign, integer part padded with zeros to five
// digits, point, six digits ("+00128.000000", "-00003.500000").
void appendBrushNumber(std::string& out, double value);

// Writes the brush to destination through OutputFile, so a failure leaves no
// partial file. Warnings go to settings.messages; when concave faces of 16 or
// fewer vertices went out unsplit, one line counting them follows the file.
void translate(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

// The same brush text in memory.
std::string brushText(const MorvLValue& scene, const ExportSettings& settings);

}  // namespace ExportUnrealT3D

// The exporter table's entry points.
std::string unrealT3DProgressLine(const std::string& destination);
void writeUnrealT3D(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

}  // namespace morv
