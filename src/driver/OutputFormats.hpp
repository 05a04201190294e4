// The output formats, one entry each: what --to accepts, what the usage text
// says of it, how its destination is named, its scale, its progress line and
// its writer. Adding a format is one entry here plus its writer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

struct ConversionOptions;

struct OutputFormat {
    const char* name;         // the --to value
    const char* description;  // its line in the usage text
    const char* extension;    // of a destination named after its input, without the dot
    double defaultScale;      // the object scale without --scale
    std::string (*progressLine)(const std::string& destination);
    // Fills the writer's own settings from the options and writes the scene.
    void (*write)(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
                  const ConversionOptions& options);
    // False for a format that writes no file (it prints to the run's
    // output): the run then names no destination for it.
    bool writesFile = true;
};

// In the order of the usage text.
const std::vector<OutputFormat>& outputFormats();

// The entry of a --to value; null for none.
const OutputFormat* findOutputFormat(std::string_view name);

// The usage text's lines of the formats.
std::string formatUsageLines();

}  // namespace morv
