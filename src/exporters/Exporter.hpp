// What every writer offers the pipeline.
#pragma once

#include <iosfwd>
#include <string>

#include "scene/MorvLValue.hpp"

namespace morv {

struct ExportSettings {
    double textureWidth;   // default texture resolution in force
    double textureHeight;
    std::ostream& messages;
    std::string toOSType = "Unix";  // the platform texture file names are written for
    bool keepSurfaces = false;      // LWO2: write surfaces, textures, images and UV maps too
};

struct Exporter {
    const char* format;  // the --to value
    std::string (*progressLine)(const std::string& destination);
    void (*write)(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);
};

}  // namespace morv
