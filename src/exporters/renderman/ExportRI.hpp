// The RIB writer: a canonical scene as a RenderMan scene file (one light, one
// camera, one frame) and, beside it, one generated surface shader source per
// surface. The RIB and every shader are written to temporary files and put in
// place together once the whole scene is written, so a failure leaves neither.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {
namespace ExportRI {

std::string progressLine(const std::string& destination);

// Writes the RIB file destination and, for every surface, its shader file
// (see shaderFiles), named after settings.shaderNames when they are given. Messages ("Writing RenderMan shader file ...", warnings, and the
// reports of missing texture fields) go to settings.messages.
void exportScene(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

// One shader identifier per surface name, in order: characters other than
// A-Z, a-z, 0-9 and "_" become "_"; a name that starts with a digit, or is a
// reserved word or a function name of the shading language, gets a leading
// "_"; the empty name is "_"; names are cut to 200 characters, so that the
// file name fits every file system; a name already taken, compared without
// case (file systems that ignore case would make Default.sl and default.sl
// one file), gets "_2", "_3", ... A valid, unique name stays as it is.
// taken holds the lower-case forms of the names given so far in the run and
// gains the new ones, so that no two scenes of a run share a shader file.
std::vector<std::string> shaderIdentifiers(const std::vector<std::string>& surfaceNames,
                                           std::unordered_set<std::string>& taken);

// The shader files of the scene's surfaces for a RIB written to destination:
// beside it, or in the current folder when the destination is a stream.
std::vector<SurfaceFile> shaderFiles(const MorvLValue& scene, const std::string& destination,
                                     std::unordered_set<std::string>& taken);

}  // namespace ExportRI

// The exporter table's entry points.
std::string ribWriterProgressLine(const std::string& destination);
void writeRIB(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

}  // namespace morv
