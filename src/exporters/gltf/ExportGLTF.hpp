// The glTF writer: a canonical scene as one binary glTF 2.0 file (.glb) that
// holds everything: one mesh with one primitive of indexed triangles per
// surface, a metallic-roughness material per surface, and the pictures of the
// colour textures.
//
// Geometry: LightWave's left-handed point (x, y, z) is written as glTF's
// (x, y, -z) and every triangle's corners in reverse order, so each face
// shows the side it shows in LightWave. Faces are cut into flat convex pieces
// by the shared convex splitting (faces it leaves out get the brush writer's
// warnings), and each piece into a fan of triangles; a triangle no wider than
// the face's rounding tolerance is left out. Indices are 16-bit for a
// primitive of at most 65,535 vertices, else 32-bit. Faces whose surface index
// is not one of the scene's go into a last primitive without a material.
//
// Normals (NORMAL, every primitive) from the surface's smoothing angle or the
// object's own normal maps (SurfaceNormals); flat pieces keep their own.
//
// Subdivision cages (SubPatch and Catmull-Clark faces) are refined at the
// settings' subdivisionLevel (0: written as polygons): each connected cage as
// one across its surfaces (CageGathering, CageRefinement), each refined quad
// in its cage face's surface with the limit normals, UV-map coordinates
// refined and projections baked from the refined points. A cage that cannot
// be refined is written as polygons, with one warning naming a surface.
//
// Texture coordinates (TEXCOORD_0) come from a surface's first enabled colour
// texture whose projection can be baked (TextureBaking), whether or not its
// picture can be embedded. A vertex is shared only by corners of one surface
// with the same point, normal and coordinates as written.
//
// Materials (named after the surface): metallic 0; base colour the surface
// colour (white where the picture is embedded) times its diffusion, alpha
// 1 - transparency with BLEND below 1; roughness 1 - specularity * (1 - r),
// where r = (2 / (n + 2))^(1/4) is the roughness of the highlight of Phong
// exponent n = 2^(10 * glossiness + 2) (glossiness 0.4 when the surface has
// none); emissive the base colour times its luminosity, with the picture;
// doubleSided from the surface's doubleSided. Every factor is clamped to 0..1.
//
// Pictures: the image's sourceFile when present, else its file name for the
// platform. PNG and JPEG files are embedded as they are; BMP and Targa
// pictures are decoded and embedded as PNG. The sampler repeats, mirrors
// (wrap mode 2) or clamps to the edge (wrap mode 3) per direction. A picture
// that cannot be read, or --forceTextureResolution=true, gives one warning
// naming it, and its materials keep their colour without a texture.
//
// UV maps of a scene read from an Unreal brush were measured in the default
// texture resolution; they are rescaled to the picture's own resolution.
#pragma once

#include <string>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

std::string gltfProgressLine(const std::string& destination);

// The glTF writer's own settings.
struct GLTFSettings {
    bool keepPicturesClosed = false;  // --forceTextureResolution=true: no picture is opened or embedded
    int subdivisionLevel = 3;         // Catmull-Clark levels of cage faces; 0 writes them as polygons
};

// Writes the file through OutputFile; warnings go to common.messages.
void writeGLTF(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
               const GLTFSettings& own);

}  // namespace morv
