// What every writer offers the pipeline.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "scene/MorvLValue.hpp"

namespace morv {

// What the files of one run share: the RIB writer names its shaders so that
// no name is given to two different shaders in the run and none lands on a
// file the run reads or writes; identical shaders share one file.
struct RunFiles {
    std::unordered_set<std::string> shaderNames;  // lower case: the shader names given so far
    // Lower-case base name, a newline and the shader's text under the base
    // name: the number the run gave that shader.
    std::unordered_map<std::string, int> shaderNumbers;
    // Whether a file name is an input, destination or picture of the run.
    std::function<bool(const std::string& file)> isRunFile;
};

struct ExportSettings {
    double textureWidth;   // default texture resolution in force
    double textureHeight;
    std::ostream& messages;
    std::string toOSType = "Unix";  // the platform texture file names are written for
    bool keepSurfaces = false;      // LWO2: write surfaces, textures, images and UV maps too
    RunFiles* run = nullptr;        // null: the file is written as if alone in its run
    bool forceTextureResolution = false;  // no picture file is opened (glTF embeds none)
    int subdivisionLevel = 3;  // glTF: Catmull-Clark levels of cages; 0 writes them as polygons
};

struct Exporter {
    const char* format;  // the --to value
    std::string (*progressLine)(const std::string& destination);
    void (*write)(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);
};

}  // namespace morv
