// The conversion pipeline: one job per input file, the importer table, the
// modification of the scene between reading and writing, and the program's
// entry with its outermost handler. The output formats are in OutputFormats.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "driver/CommandLine.hpp"
#include "exporters/Exporter.hpp"
#include "importers/Importer.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

const std::vector<Importer>& importerTable();

// input with the extension of its last path component replaced by "." + extension.
std::string destinationName(const std::string& input, const std::string& extension);

// --scale when given, otherwise the default scale of the --to format (40 for
// Unreal brushes, 1 for the others).
double effectiveScale(const ConversionOptions& options);

struct TextureResolution {
    double width;
    double height;
};

// Moves and scales the mesh and its texture placements, rewrites every image
// file name for the target platform and gives every image its resolution,
// read from its picture file, which is looked for also beside objectFile (see
// findImageFile) and kept as the image's sourceFile.
MorvLValue modifyCanonical(const MorvLValue& scene, const ConversionOptions& options,
                           TextureResolution defaultResolution, std::ostream& out,
                           const std::string& objectFile = "");

// Converts every input in order. The first failure raises and ends the run,
// unless --keepGoing=true: then every input is converted, each failure
// reported, and a last line counts the files and names the failed ones;
// false when some failed.
bool convertFiles(const CommandLine& commandLine, std::ostream& out);

// The exit status of a wrong command line (an option error, no input file,
// one destination for several inputs).
inline constexpr int optionErrorStatus = 2;

// The whole program: banner, options, conversion; returns the exit status:
// 0 on success and for --help (banner and usage) and --version (the banner
// line), 1 when a conversion failed, optionErrorStatus for a wrong command line.
int runProgram(int argc, char** argv);

}  // namespace morv
