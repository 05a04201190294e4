// The LWO2 writer: a canonical scene as a LightWave object of the IFF form
// LWO2 holding one layer, its points, its polygons and one surface to which
// every polygon is bound. Surface attributes, textures, clips and UV maps are
// not written.
#pragma once

#include <string>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {
namespace MorvLToLWO2 {

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
