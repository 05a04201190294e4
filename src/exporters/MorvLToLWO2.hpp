// The LWO2 writer: a canonical scene as a LightWave object of the IFF form
// LWO2 holding one layer, its points, its polygons and one surface to which
// every polygon is bound. Surface attributes, textures, clips and UV maps are
// not written.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {
namespace MorvLToLWO2 {

// The geometry the writer needs: the mesh's points in index order and every
// face's corner vertex indices in stored order. The walks read the scene's
// mesh in place, so that a large mesh is not copied.
struct PolygonMesh {
    MorvLValue mesh;
    std::size_t vertexCount = 0;
    std::size_t faceCount = 0;

    void forEachPoint(const std::function<void(const XYZ&)>& fn) const;
    void forEachFace(const std::function<void(std::size_t face, std::span<const std::int32_t> corners)>& fn) const;
};

// A scene without a mesh record (with its vertices and faces lists) or without
// its surfaces list raises Error("Internal Error: Scene does not contain
// expected mesh and surface data in function unpackPolygonMeshTop!\n").
PolygonMesh unpackPolygonMeshTop(const MorvLValue& scene);

// Writes the scene to destination. Every length is computed, and every corner
// index checked, before the file is opened; the file is then written front to
// back in one pass. A failure leaves no partial file behind (a destination
// that is not a regular file, such as a device, is never removed).
void translate(const MorvLValue& scene, const std::string& destination);

std::string lwo2ProgressLine(const std::string& destination);

}  // namespace MorvLToLWO2

// The exporter table's entry points.
std::string lwo2WriterProgressLine(const std::string& destination);
void writeLWO2(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

}  // namespace morv
