#include "driver/Morv3DConverter.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <span>
#include <unordered_map>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "exporters/renderman/ExportRI.hpp"
#include "exporters/unreal/ExportUnrealT3D.hpp"
#include "exporters/lightwave/MorvLToLWO2.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"
#include "importers/unreal/UnrealT3DReader.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLTransformMesh.hpp"
#include "support/GetCs.hpp"
#include "support/ImageResolutions.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {

const std::vector<Importer>& importerTable() {
    static const std::vector<Importer> table = {
        {"LWOB", probeLWOB, lwobProgressLine, parseLWOBBytes, false},
        {"LWO2", probeLWO2, lwo2ProgressLine, parseLWO2Bytes, false},
        {"Unreal T3D", probeUnrealT3D, unrealT3DReaderProgressLine, parseUnrealT3DBytes, true},
    };
    return table;
}

const std::vector<Exporter>& exporterTable() {
    static const std::vector<Exporter> table = {
        {"LWO2", lwo2WriterProgressLine, writeLWO2},
        {"Unreal.T3D", unrealT3DProgressLine, writeUnrealT3D},
        {"RIB", ribWriterProgressLine, writeRIB},
    };
    return table;
}

std::string destinationName(const std::string& input, const std::string& extension) {
    const std::size_t slash = input.find_last_of('/');
    const std::size_t componentStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = input.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && dot > componentStart && dot + 1 < input.size();
    return (hasExtension ? input.substr(0, dot) : input) + "." + extension;
}

double effectiveScale(const ConversionOptions& options) {
    if (options.scale != 0.0) return options.scale;
    return options.to == "Unreal.T3D" ? 40.0 : 1.0;
}

namespace {

struct Job {
    std::string input;
    std::string destination;
};

// ---- The steps of modifyCanonical ----

MorvLValue moveMeshAndTextures(const MorvLValue& scene, const ConversionOptions& options) {
    return transformMeshObject(scene, options.coordTransformsLH, effectiveScale(options));
}

// Applies fn to every image record of the scene, in order.
template <class Fn>
MorvLValue mapImages(const MorvLValue& scene, Fn&& fn) {
    auto [surfaces, images] = getSurfacesImages(scene);
    std::vector<MorvLValue> updated;
    updated.reserve(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) updated.push_back(fn(images.at(i)));
    return setField(scene.fields(), "images", MorvLValue::List(std::move(updated))).record();
}

MorvLValue rewriteImageNames(const MorvLValue& scene, const ConversionOptions& options) {
    if (options.fromTextureRoot.empty() && options.textureExtension.empty() && options.toTextureRoot.empty())
        return scene;
    return mapImages(scene, [&](const MorvLValue& image) {
        const Fields fields = image.fields();
        const MorvLValue name = requireField(fields, "fileName");
        return setField(fields, "fileName",
                        rewriteTextureFileName(name, options.fromTextureRoot, options.textureExtension,
                                               options.toTextureRoot))
            .record();
    });
}

MorvLValue resolveImageResolutions(const MorvLValue& scene, const ConversionOptions& options,
                                   TextureResolution defaults, std::ostream& out) {
    return mapImages(scene, [&](const MorvLValue& image) {
        const Fields fields = image.fields();
        const std::string name = neutralToPlatform(options.toOSType, requireField(fields, "fileName"));
        return setField(fields, "resolution",
                        resolutionForImage(name, defaults.width, defaults.height,
                                           options.forceTextureResolution, out))
            .record();
    });
}

const Exporter* findExporter(const std::string& format) {
    for (const auto& e : exporterTable())
        if (format == e.format) return &e;
    return nullptr;
}

[[noreturn]] void reportAndRaise(const std::string& text, std::ostream& out) {
    out.flush();
    Excn::reportingStream() << text << '\n';
    throw Error(text);
}

// What the importers read, for the message about a file that none recognises.
const char* const readableFormats = "a LightWave object (LWOB or LWO2) or an Unreal brush";

const Importer& chooseImporter(const std::string& input, std::span<const std::uint8_t> bytes, std::ostream& out) {
    std::vector<const Importer*> chosen;
    for (const auto& importer : importerTable())
        if (importer.probe(bytes)) chosen.push_back(&importer);
    if (chosen.size() == 1) return *chosen.front();
    out.flush();
    std::ostream& report = Excn::reportingStream();
    if (chosen.empty()) {
        report << "Error: The file " << input << " is not " << readableFormats << "\n";
        throw NoImporterFound();
    }
    report << "Error: The file " << input << " is recognised as more than one format (";
    for (std::size_t i = 0; i < chosen.size(); ++i) report << (i ? ", " : "") << chosen[i]->name;
    report << ")\n";
    throw MultipleImportersFound();
}

// A reader's failure: a format error is named first, then the context and cause.
[[noreturn]] void reportReadFailure(const std::string& context, const std::exception& e, std::ostream& out) {
    out.flush();
    if (dynamic_cast<const SyntaxError*>(&e) || dynamic_cast<const BrushSyntaxError*>(&e))
        Excn::reportingStream() << "Syntax error: " << static_cast<const MorvException&>(e).message() << "\n";
    Excn::raiseWithCause(context, e);
}

[[noreturn]] void reportOutOfMemory(const std::string& input, std::ostream& out) {
    reportAndRaise("Error: Not enough memory to read " + input, out);
}

// Every input is read once (a regular file mapped, anything else into memory)
// and every probe and reader works on those bytes: a pipe or standard input
// can be read only once.
ObjectBytes readInput(const std::string& input, std::ostream& out) {
    try {
        return loadObjectFile(input);
    } catch (const std::bad_alloc&) {
        reportOutOfMemory(input, out);
    } catch (const std::exception&) {
        out.flush();
        Excn::reportingStream() << "Could not open file " << input << "\n";
        throw IoFailure();
    }
}

// What identifies the file a name refers to: its device and inode when it
// exists (so links and other spellings of one file agree), otherwise its
// absolute path with links and dots resolved.
std::string fileIdentity(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0)
        return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(name, ec).lexically_normal();
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ec);
    return "path " + (ec ? absolute : resolved).string();
}

// A job may write neither over any job's input (which a run must never
// destroy, whether it is read before or after) nor over another job's output.
// Checked for all jobs before the first one reads anything.
void refuseClashingJobs(const std::vector<Job>& jobs, std::ostream& out) {
    std::unordered_map<std::string, std::size_t> inputs, destinations;
    for (std::size_t i = 0; i < jobs.size(); ++i) inputs.emplace(fileIdentity(jobs[i].input), i);
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        const Job& job = jobs[j];
        const std::string identity = fileIdentity(job.destination);
        if (auto it = inputs.find(identity); it != inputs.end()) {
            const std::string& victim = jobs[it->second].input;
            if (it->second == j)
                reportAndRaise("Error: The destination file " + job.destination + " is the input file " + victim +
                                   " itself; writing it would destroy the input.\n"
                                   "Please choose another name with --destFileName=<file>.",
                               out);
            reportAndRaise("Error: The destination file " + job.destination + " of the input file " + job.input +
                               " is the input file " + victim + "; writing it would destroy that input.\n"
                               "Please convert these files in separate runs, each with --destFileName=<file>.",
                           out);
        }
        const auto [it, added] = destinations.emplace(identity, j);
        if (!added)
            reportAndRaise("Error: The input files " + jobs[it->second].input + " and " + job.input +
                               " would both be written to " + job.destination +
                               "; the second would replace the first.\n"
                               "Please convert them in separate runs, each with --destFileName=<file>.",
                           out);
    }
}

struct ReadResult {
    MorvLValue scene;
    const Importer* importer;
};

// The default texture resolution: the options' width and height, 512 for a 0.
TextureResolution defaultResolution(const ConversionOptions& options) {
    return {options.textureWidth == 0.0 ? 512.0 : options.textureWidth,
            options.textureHeight == 0.0 ? 512.0 : options.textureHeight};
}

ReadResult readScene(const std::string& input, TextureResolution resolution, std::ostream& out) {
    std::unique_ptr<ImportedFile> parsed;
    const Importer* importer = nullptr;
    {
        const ObjectBytes bytes = readInput(input, out);
        importer = &chooseImporter(input, bytes, out);
        // Flushed, so that a run ended while a mapped file is read (it was cut
        // short meanwhile) still shows which file it was reading.
        out << importer->progressLine(input) << std::flush;
        try {
            parsed = importer->parse(bytes, out);
        } catch (const std::bad_alloc&) {
            reportOutOfMemory(input, out);
        } catch (const std::exception& e) {
            reportReadFailure("Error: Could not read input file " + input + "\n", e, out);
        }
    }
    try {
        parsed->setDefaultTextureResolution(resolution.width, resolution.height);
        return {parsed->toCanonical(out), importer};
    } catch (const std::bad_alloc&) {
        reportOutOfMemory(input, out);
    } catch (const std::exception& e) {
        reportReadFailure("Error: Could not read the input file " + input + "\n", e, out);
    }
}

TextureResolution announceSettings(const ConversionOptions& options, std::ostream& out) {
    out << "Using object scale factor " << realToText(effectiveScale(options)) << "\n";
    if (options.textureWidth == 0.0) out << "Warning: Texture width may not be 0\n";
    if (options.textureHeight == 0.0) out << "Warning: Texture height may not be 0\n";
    const TextureResolution resolution = defaultResolution(options);
    out << "Using texture resolution " << realToText(resolution.width) << "x" << realToText(resolution.height)
        << " as the default resolution\n";
    return resolution;
}

// The options for one input: a brush is already in Unreal units, so without
// --scale it keeps its size whatever the output format.
ConversionOptions optionsForInput(const ConversionOptions& options, const Importer& importer) {
    ConversionOptions adjusted = options;
    if (importer.unrealUnits && adjusted.scale == 0.0) adjusted.scale = 1.0;
    return adjusted;
}

void convertOne(const std::string& input, const std::string& destination, const ConversionOptions& runOptions,
                std::ostream& out) {
    const auto [scene, importer] = readScene(input, defaultResolution(runOptions), out);
    const ConversionOptions options = optionsForInput(runOptions, *importer);
    const TextureResolution resolution = announceSettings(options, out);
    out << "Converting imported data\n";
    MorvLValue modified;
    try {
        modified = modifyCanonical(scene, options, resolution, out);
    } catch (const std::exception& e) {
        out.flush();
        Excn::raiseWithCause("Error: Could not convert the data of input file " + input + "\n", e);
    }
    const Exporter* exporter = findExporter(options.to);
    if (!exporter) {  // the option scan admits only the formats of the table
        out << "Internal error: Unsupported format " << options.to << "\n";
        throw Bug("Internal error: Unsupported format " + options.to + "\n");
    }
    out << exporter->progressLine(destination);
    try {
        exporter->write(modified, destination, ExportSettings{resolution.width, resolution.height, out, options.toOSType, options.keepSurfaces});
    } catch (const std::exception& e) {
        out.flush();
        Excn::raiseWithCause("Error: Could not write output file " + destination + "\n", e);
    }
}

}  // namespace

MorvLValue modifyCanonical(const MorvLValue& scene, const ConversionOptions& options,
                           TextureResolution defaultResolution, std::ostream& out) {
    if (scene.kind() != Kind::RECORD)
        throw Error("Internal error: Expected RECORD type not found in Morv3DConverter.modifyCanonical!\n");
    MorvLValue result = moveMeshAndTextures(scene, options);
    result = rewriteImageNames(result, options);
    return resolveImageResolutions(result, options, defaultResolution, out);
}

void convertFiles(const CommandLine& commandLine, std::ostream& out) {
    const ConversionOptions& options = commandLine.options;
    std::vector<Job> jobs;
    jobs.reserve(commandLine.inputs.size());
    for (const auto& input : commandLine.inputs)
        jobs.push_back({input, options.destFileName.empty() ? destinationName(input, commandLine.extension)
                                                            : options.destFileName});
    refuseClashingJobs(jobs, out);
    for (const Job& job : jobs) convertOne(job.input, job.destination, options, out);
}

int runProgram(int argc, char** argv) {
    const std::string programName = argc > 0 && argv[0] ? argv[0] : "morv3d";
    std::ostream& out = std::cout;
    out << bannerText();
    try {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
        const auto commandLine = parseCommandLine(args, programName, out);
        if (commandLine) convertFiles(*commandLine, out);
        out.flush();
        return 0;
    } catch (const CLOptionsError& e) {
        out << e.message() << "\n" << usageText(programName);
        out.flush();
        return 0;
    } catch (const std::exception& e) {
        out.flush();
        std::cerr << "unhandled exception " << exceptionName(e) << "\n";
        return 1;
    } catch (...) {
        out.flush();
        std::cerr << "unhandled exception Fail\n";
        return 1;
    }
}

}  // namespace morv
