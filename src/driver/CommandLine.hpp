// The command line: the options record, the scan of the arguments into it and
// into the list of input names, the checks that follow, and the usage text.
//
// Real option values (--scale, --textureWidth, --textureHeight) are read
// strictly: an optional sign ("+", "-", or "~", the minus sign the program
// itself prints), digits with an optional fraction ("." with digits on at least
// one side), an optional exponent ("e" or "E", an optional sign "+", "-" or "~",
// digits), and nothing before or after: no blanks, no "inf" or "nan", no hex.
// A nonzero number too large or too small in magnitude for a double (1e999,
// 1e-999) is not a real value.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

struct ConversionOptions {
    std::string to = "RIB";
    std::string destFileName;
    MorvLValue coordTransformsLH = MorvLValue::List({});   // list of transform SUMVALUEs
    double scale = 0.0;
    bool forceTextureResolution = false;
    double textureHeight = 512.0;
    double textureWidth = 512.0;
    std::string textureExtension;
    std::string toTextureRoot;
    std::string fromTextureRoot;
    std::string toOSType = "Unix";
    bool keepSurfaces = false;  // LWO2 output with every surface, texture, image and UV map
    bool keepGoing = false;     // convert the other inputs when one fails
    std::string destDir;        // the folder every output goes to under its default name; "" for none
    int subdivisionLevel = 3;   // glTF: levels of Catmull-Clark refinement of cages, 0 (cages as polygons) to 6
};

struct CommandLine {
    ConversionOptions options;
    std::vector<std::string> inputs;   // in command-line order
    std::string extension;             // of the --to format (see outputFormats)
};

// Scans the arguments after the program name: options go into the record (the
// last occurrence wins), everything not starting with "--" is appended to
// inputs. Raises CLOptionsError at the first bad option, and when both
// --destDir and --destFileName are given.
ConversionOptions scanOptions(const std::vector<std::string>& args, std::vector<std::string>& inputs);

// printedName is "--scale", "--textureWidth" or "--textureHeight"; it appears
// in the CLOptionsError raised when text is not a real value.
double readRealOption(std::string_view printedName, std::string_view text);

std::string usageText(std::string_view programName);
std::string bannerText();   // "Morv3D Converter (0.4.9)\n\n"

// The extension of the format named to (see outputFormats); any other name is
// reported on out and gives "unknown".
std::string outputExtension(const std::string& to, std::ostream& out);

// Scan plus the checks for no input and for one destination with several
// inputs (args without the program name). When a check fails, its text and the
// usage go to out and the result is empty: the run ends with status 2.
// CLOptionsError propagates; the outermost handler prints it with the usage.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string_view programName, std::ostream& out);

}  // namespace morv
