// What every writer offers the pipeline.
#pragma once

#include <iosfwd>
#include <string>
#include <unordered_set>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

struct ExportSettings {
    double textureWidth;   // default texture resolution in force
    double textureHeight;
    std::ostream& messages;
    std::string toOSType = "Unix";  // the platform texture file names are written for
    bool keepSurfaces = false;      // LWO2: write surfaces, textures, images and UV maps too
    bool forceTextureResolution = false;  // no picture file is opened (glTF embeds none)
    // RIB: the shader names given to the scene's surfaces when the run was
    // planned, one per surface; null: the writer names them itself.
    const std::vector<std::string>* shaderNames = nullptr;
};

// A file a writer writes besides the destination, named after a surface.
struct SurfaceFile {
    std::string name;  // the identifier it is named after
    std::string file;  // the file's name
};

struct Exporter {
    const char* format;  // the --to value
    std::string (*progressLine)(const std::string& destination);
    void (*write)(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);
    // For a writer whose files depend on the scene (the RIB writer's shaders):
    // the files beside destination, one per surface, with names unique in the
    // run; taken holds the names given so far (in lower case) and gains these.
    std::vector<SurfaceFile> (*surfaceFiles)(const MorvLValue& scene, const std::string& destination,
                                             std::unordered_set<std::string>& taken) = nullptr;
};

}  // namespace morv
