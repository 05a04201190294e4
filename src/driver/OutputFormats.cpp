#include "driver/OutputFormats.hpp"

#include "driver/CommandLine.hpp"
#include "exporters/gltf/ExportGLTF.hpp"
#include "exporters/info/ExportInfo.hpp"
#include "exporters/lightwave/MorvLToLWO2.hpp"
#include "exporters/renderman/ExportRI.hpp"
#include "exporters/unreal/ExportUnrealT3D.hpp"

namespace morv {
namespace {

// The writers' own settings, filled from the options.

void writeRIBFile(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
                  const ConversionOptions&) {
    writeRIB(scene, destination, common);
}

void writeBrushFile(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
                    const ConversionOptions&) {
    writeUnrealT3D(scene, destination, common);
}

void writeLWO2File(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
                   const ConversionOptions& options) {
    writeLWO2(scene, destination, common, LWO2Settings{options.keepSurfaces});
}

void writeGLTFFile(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
                   const ConversionOptions& options) {
    writeGLTF(scene, destination, common, GLTFSettings{options.forceTextureResolution, options.subdivisionLevel});
}

void writeInfoLine(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
                   const ConversionOptions&) {
    writeInfo(scene, destination, common);
}

}  // namespace

const std::vector<OutputFormat>& outputFormats() {
    static const std::vector<OutputFormat> table = {
        {"RIB", "RenderMan RIB format", "rib", 1.0, ribWriterProgressLine, writeRIBFile},
        {"Unreal.T3D", "Unreal brush format", "t3d", 40.0, unrealT3DProgressLine, writeBrushFile},
        {"LWO2", "LightWave3D Object format (after version [6])", "lwo", 1.0, lwo2WriterProgressLine,
         writeLWO2File},
        {"glTF", "glTF 2.0 binary (.glb)", "glb", 1.0, gltfProgressLine, writeGLTFFile},
        {"Info",
         "no file; one JSON line per input on standard output\n"
         "                            (layers, counts, surfaces, pictures found or not, warnings)",
         "json", 1.0, infoProgressLine, writeInfoLine, false},
    };
    return table;
}

const OutputFormat* findOutputFormat(std::string_view name) {
    for (const OutputFormat& format : outputFormats())
        if (name == format.name) return &format;
    return nullptr;
}

std::string formatUsageLines() {
    constexpr std::size_t nameColumn = 19;
    std::string lines;
    for (const OutputFormat& format : outputFormats()) {
        const std::string_view name = format.name;
        lines += "       ";
        lines += name;
        lines.append(name.size() < nameColumn ? nameColumn - name.size() : 1, ' ');
        lines += ": ";
        lines += format.description;
        lines += '\n';
    }
    return lines;
}

}  // namespace morv
