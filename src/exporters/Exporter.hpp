// What every writer is given beside the scene and the destination: the run's
// file registry and the common texture-name options. A writer's own settings
// are a struct of its own, declared with the writer and filled by the driver
// (driver/OutputFormats).
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace morv {

// What the files of one run share: the RIB writer names its shaders so that
// no name is given to two different shaders in the run and none lands on a
// file the run reads or writes; identical shaders share one file.
struct RunFiles {
    std::unordered_set<std::string> shaderNames;  // lower case: the shader names given so far
    // Lower-case base name, a newline and the shader's text under the base
    // name: which of its possible names the run gave that shader.
    std::unordered_map<std::string, int> shaderNumbers;
    // Whether a file name is an input or a destination of the run, or a
    // picture that a job of the run has read so far.
    std::function<bool(const std::string& file)> isRunFile;
};

struct ExportSettings {
    double textureWidth;   // default texture resolution in force
    double textureHeight;
    std::ostream& messages;
    std::string toOSType = "Unix";  // the platform texture file names are written for
    RunFiles* run = nullptr;        // null: the file is written as if alone in its run
};

}  // namespace morv
