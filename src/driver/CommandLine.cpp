#include "driver/CommandLine.hpp"

#include <charconv>
#include <initializer_list>
#include <ostream>
#include <system_error>

#include "base/Excn.hpp"
#include "driver/OutputFormats.hpp"
#include "scene/MorvLCoordTransforms.hpp"

namespace morv {
namespace {

constexpr std::string_view versionText = "0.4.9";

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSign(char c) { return c == '+' || c == '-' || c == '~'; }

std::string requireOneOf(std::string_view value, std::initializer_list<std::string_view> allowed,
                         const std::string& message) {
    for (std::string_view a : allowed)
        if (value == a) return std::string(value);
    throw CLOptionsError(message);
}

// A texture size in pixels: from 1 to 65536, the largest picture a renderer or
// editor makes, or 0 for the default (the pipeline warns and uses 512).
double readTextureSize(std::string_view printedName, std::string_view text) {
    const double size = readRealOption(printedName, text);
    if (size != 0.0 && !(size >= 1.0 && size <= 65536.0))
        throw CLOptionsError("Value for " + std::string(printedName) +
                             " must be a number of pixels from 1 to 65536 (or 0 for the default of 512).");
    return size;
}

void applyOption(ConversionOptions& o, std::string_view name, std::string_view value) {
    if (name == "to") {
        if (!findOutputFormat(value)) throw CLOptionsError("Unsupported format " + std::string(value));
        o.to = value;
    } else if (name == "destFileName") {
        o.destFileName = value;
    } else if (name == "coordTransformsLH") {
        o.coordTransformsLH = parseCoordTransforms(value);
    } else if (name == "scale") {
        o.scale = readRealOption("--scale", value);
    } else if (name == "forceTextureResolution") {
        o.forceTextureResolution = value == "true";
    } else if (name == "textureHeight") {
        o.textureHeight = readTextureSize("--textureHeight", value);
    } else if (name == "textureWidth") {
        o.textureWidth = readTextureSize("--textureWidth", value);
    } else if (name == "textureExtension") {
        o.textureExtension = value;
    } else if (name == "toTextureRoot") {
        o.toTextureRoot = value;
    } else if (name == "fromTextureRoot") {
        o.fromTextureRoot = value;
    } else if (name == "toOSType") {
        o.toOSType = requireOneOf(value, {"Windows", "Unix"},
                                  "Only --toOSType=Unix and --toOSType=Windows is supported.");
    } else if (name == "keepSurfaces") {
        o.keepSurfaces = requireOneOf(value, {"true", "false"},
                                      "Only --keepSurfaces=true and --keepSurfaces=false is supported.") == "true";
    } else if (name == "keepGoing") {
        o.keepGoing = requireOneOf(value, {"true", "false"},
                                   "Only --keepGoing=true and --keepGoing=false is supported.") == "true";
    } else if (name == "destDir") {
        o.destDir = value;
    } else if (name == "subdivisionLevel") {
        // One digit: a level above 6 would give every cage face 4^7 quads and more.
        if (value.size() != 1 || value[0] < '0' || value[0] > '6')
            throw CLOptionsError("Value for --subdivisionLevel must be a whole number from 0 to 6.");
        o.subdivisionLevel = value[0] - '0';
    } else {
        throw CLOptionsError("Unsupported option --" + std::string(name));
    }
}

}  // namespace

double readRealOption(std::string_view printedName, std::string_view text) {
    auto fail = [&]() -> double {
        throw CLOptionsError("Value for " + std::string(printedName) + " must be a real value.");
    };
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto skipDigits = [&] {
        const std::size_t from = i;
        while (i < n && isDigit(text[i])) ++i;
        return i - from;
    };
    if (i < n && isSign(text[i])) ++i;
    std::size_t mantissaDigits = skipDigits();
    if (i < n && text[i] == '.') {
        ++i;
        mantissaDigits += skipDigits();
    }
    if (mantissaDigits == 0) return fail();
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && isSign(text[i])) ++i;
        if (skipDigits() == 0) return fail();
    }
    if (i != n) return fail();

    // from_chars takes "-" only and no leading "+".
    std::string normal(text.substr(text.front() == '+' ? 1 : 0));
    for (char& c : normal)
        if (c == '~') c = '-';
    double value = 0.0;
    const auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    if (ec != std::errc() || end != normal.data() + normal.size()) return fail();
    return value;
}

ConversionOptions scanOptions(const std::vector<std::string>& args, std::vector<std::string>& inputs) {
    ConversionOptions options;
    for (const std::string& arg : args) {
        if (arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
            inputs.push_back(arg);
            continue;
        }
        const std::string_view body = std::string_view(arg).substr(2);
        const std::size_t eq = body.find('=');
        if (eq == std::string_view::npos)
            throw CLOptionsError("Options must have the format: --<option>=<value> but you have: " + arg);
        applyOption(options, body.substr(0, eq), body.substr(eq + 1));
    }
    if (!options.destDir.empty() && !options.destFileName.empty())
        throw CLOptionsError("Only one of --destDir=<folder> and --destFileName=<file> can be given.");
    return options;
}

std::string usageText(std::string_view programName) {
    std::string text = "Usage: ";
    text += programName;
    text +=
        " <options> MyObject1.Lwo [MyObject2.Lwo ...]\n"
        "\n"
        "Supported options:\n"
        "\n"
        "  --toOSType=Windows            : Generate Windows-style texture filenames\n"
        "  --toOSType=Unix               : Generate Unix-style texture filenames\n"
        "  --fromTextureRoot=<root>      : Remove prefix <root> in texture filenames\n"
        "  --toTextureRoot=<root>        : Add prefix <root> to texture filenames\n"
        "  --textureExtension=<ext>      : Set extension of texture filenames to .<ext>\n"
        "  --textureWidth=<width>        : Unreal textures are <width> pixels wide\n"
        "  --textureHeight=<height>      : Unreal textures are <height> pixels high\n"
        "  --forceTextureResolution=true : Disable autodetection of texture resolutions\n"
        "  --scale=<factor>              : Scale object by <factor>\n"
        "  --coordTransformsLH=<trans>   : Apply a list of coordinate transforms\n"
        "  --destFileName=<file>         : Write to the destination file <file>\n"
        "  --destDir=<folder>            : Write every output into the folder <folder>\n"
        "  --keepGoing=true              : Convert the other files when one fails\n"
        "  --keepSurfaces=true           : Keep surfaces, textures and UV maps in LWO2\n"
        "  --subdivisionLevel=<n>        : Refine cages <n> levels in glTF (0 to 6, default 3)\n"
        "  --to=<format>                 : Convert to <format> which is one of:\n"
        "\n";
    text += formatUsageLines();
    text += '\n';
    return text;
}

std::string bannerText() {
    return "Morv3D Converter (" + std::string(versionText) + ")\n\n";
}

std::string outputExtension(const std::string& to, std::ostream& out) {
    if (const OutputFormat* format = findOutputFormat(to)) return format->extension;
    out << "Internal error: Unsupported format " << to << '\n';
    return "unknown";
}

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string_view programName, std::ostream& out) {
    CommandLine line;
    line.options = scanOptions(args, line.inputs);
    if (line.inputs.empty()) {
        out << "No input files specified!\n" << usageText(programName);
        return std::nullopt;
    }
    const std::string& dest = line.options.destFileName;
    if (!dest.empty() && line.inputs.size() > 1) {
        out << "You are trying to convert several files and yet you want all files to be called "
            << dest << ".\nThis is a bad idea, so please remove the option --destFileName=" << dest
            << " or specify only 1 file to be converted.\n\n"
            << usageText(programName);
        return std::nullopt;
    }
    line.extension = outputExtension(line.options.to, out);
    return line;
}

}  // namespace morv
