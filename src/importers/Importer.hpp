// What every reader offers the pipeline: a probe that recognises its files and
// a two-stage read (file-shaped data first, canonical scene second).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>

#include "scene/MorvLValue.hpp"

namespace morv {

// The file-shaped result of a reader's first stage.
class ImportedFile {
public:
    virtual ~ImportedFile() = default;
    // Second stage: the canonical scene. Warnings go to messages.
    virtual MorvLValue toCanonical(std::ostream& messages) = 0;
    // The run's default texture resolution in pixels, given by the pipeline
    // before toCanonical, for formats that place textures in pixels.
    virtual void setDefaultTextureResolution(double /*width*/, double /*height*/) {}
};

// Every probe and reader works on the input's bytes, read once by the pipeline.
struct Importer {
    const char* name;
    // Never fails: any error answers false.
    bool (*probe)(std::span<const std::uint8_t> bytes);
    std::string (*progressLine)(const std::string& fileName);
    // First stage; format errors raise SyntaxError. Warnings go to messages.
    std::unique_ptr<ImportedFile> (*parse)(std::span<const std::uint8_t> bytes, std::ostream& messages);
    // True for formats whose coordinates are already Unreal units: without
    // --scale they are not scaled, whatever the output format.
    bool unrealUnits;
};

}  // namespace morv
