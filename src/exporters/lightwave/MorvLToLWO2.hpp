// The LWO2 writer: a canonical scene as a LightWave object of the IFF form
// LWO2 holding one layer, its points and its polygons, one POLS chunk per run
// of faces of a kind (FACE, or PTCH and SUBD for the faces of SubPatch and
// Catmull-Clark cages). By default every polygon is bound to one surface
// "default" and surface attributes, textures, clips and UV maps are not
// written. With keepSurfaces the file holds the whole scene: the mesh's
// layers, every surface (TAGS, PTAG SURF, SURF with its attributes and its
// textures as IMAP blocks), one CLIP per image and the texture coordinates
// (VMAP TXUV per slot for the points, VMAD TXUV for corners with their own,
// under the source's map names), so that reading it gives back the same scene.
#pragma once

#include <iosfwd>
#include <string>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {
namespace MorvLToLWO2 {

// Writes the scene to destination. Every length is computed, and every corner
// index checked, before the file is opened; the file is then written front to
// back in one pass. A failure leaves no partial file behind (a destination
// that is not a regular file, such as a device, is never removed).
// A texture placement that no centre, rotation and size give back (checked
// for every one that was moved) is reported to messages, when given.
void translate(const MorvLValue& scene, const std::string& destination, bool keepSurfaces = false,
               std::ostream* messages = nullptr);

}  // namespace MorvLToLWO2

// The LWO2 writer's own settings.
struct LWO2Settings {
    bool keepSurfaces = false;  // write surfaces, textures, images and UV maps too
};

// The format table's entry points.
std::string lwo2WriterProgressLine(const std::string& destination);
void writeLWO2(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
               const LWO2Settings& own);

}  // namespace morv
