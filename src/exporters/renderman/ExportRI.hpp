// The RIB writer: a canonical scene as a RenderMan scene file (one light, one
// camera, one frame) and, beside it, one generated surface shader source per
// surface. The RIB is finished as a temporary file before any shader is put
// in place, and put in place after them, so a failure leaves neither.
#pragma once

#include <string>
#include <vector>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {
namespace ExportRI {

std::string progressLine(const std::string& destination);

// Writes the RIB file destination and, for every surface, its shader file
// beside it (in the folder the system resolves for the destination, links and
// ".." included; in the current folder when the destination is a stream),
// named after the surface's shader identifier: the first of NAME, NAME_ and
// the 16 hex digits of a 64-bit hash of the shader's text, NAME_2, NAME_3, ...
// that the run has not given to another shader (compared without case: file
// systems that ignore case would make Default.sl and default.sl one file),
// that is no file the run reads or writes, and whose file is absent or holds
// exactly the shader's text. No shader file is ever replaced. When 1000 names
// are taken, Error names the folder and the shader. Messages ("Writing
// RenderMan shader file ...", warnings, and the reports of missing texture
// fields) go to settings.messages.
void exportScene(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

// The shader identifier of a surface name: characters other than A-Z, a-z,
// 0-9 and "_" become "_"; a name that starts with a digit, or is a reserved
// word or a function name of the shading language, gets a leading "_"; the
// empty name is "_"; names are cut to 200 characters, so that the file name
// fits every file system.
std::string shaderIdentifier(const std::string& surfaceName);

}  // namespace ExportRI

// The exporter table's entry points.
std::string ribWriterProgressLine(const std::string& destination);
void writeRIB(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

}  // namespace morv
