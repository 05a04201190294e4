// The RIB writer: a canonical scene as a RenderMan scene file (one light, one
// camera, one frame) and, beside it, one generated surface shader source per
// surface. The RIB and every shader are written to temporary files and put in
// place together once the whole scene is written, so a failure leaves neither.
#pragma once

#include <string>
#include <vector>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {
namespace ExportRI {

std::string progressLine(const std::string& destination);

// Writes the RIB file destination and IDENT.sl in its folder for every
// surface. Messages ("Writing RenderMan shader file ...", warnings, and the
// reports of missing texture fields) go to settings.messages.
void exportScene(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

// One shader identifier per surface name, in order: characters other than
// A-Z, a-z, 0-9 and "_" become "_"; a name that starts with a digit, or is a
// reserved word or a function name of the shading language, gets a leading
// "_"; the empty name is "_"; names are cut to 200 characters, so that the
// file name fits every file system; a name already taken by an earlier
// surface gets "_2", "_3", ... A valid, unique name stays as it is.
std::vector<std::string> shaderIdentifiers(const std::vector<std::string>& surfaceNames);

}  // namespace ExportRI

// The exporter table's entry points.
std::string ribWriterProgressLine(const std::string& destination);
void writeRIB(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

}  // namespace morv
