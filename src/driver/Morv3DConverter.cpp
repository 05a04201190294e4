#include "driver/Morv3DConverter.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "exporters/gltf/ExportGLTF.hpp"
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
#include "support/OutputFile.hpp"

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
        {"RIB", ribWriterProgressLine, writeRIB, ExportRI::shaderFiles},
        {"glTF", gltfProgressLine, writeGLTF},
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
    std::vector<SurfaceFile> shaders;  // the RIB writer's, planned before anything is written
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

std::vector<const Importer*> recognisers(std::span<const std::uint8_t> bytes) {
    std::vector<const Importer*> chosen;
    for (const auto& importer : importerTable())
        if (importer.probe(bytes)) chosen.push_back(&importer);
    return chosen;
}

const Importer& chooseImporter(const std::string& input, std::span<const std::uint8_t> bytes, std::ostream& out) {
    const std::vector<const Importer*> chosen = recognisers(bytes);
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

// One file a job writes: its destination (shader null) or one of its shaders.
struct Output {
    const Job* job;
    const SurfaceFile* shader;
    const std::string& name() const { return shader ? shader->file : job->destination; }
    std::string described() const {
        return (shader ? "shader file " : "destination file ") + name() + " of the input file " + job->input;
    }
};

const char* const shaderAdvice =
    "Shader files go beside the RIB file, named after the surfaces; please choose another destination, or "
    "another folder, with --destFileName=<file>.";

// No file a run writes may be any job's input (which a run must never
// destroy, whether it is read before or after) or another file of the run.
// Checked for all jobs before anything is written.
void refuseClashes(const std::vector<Job>& jobs, std::ostream& out) {
    std::unordered_map<std::string, const Job*> inputs;
    std::unordered_map<std::string, Output> outputs;
    for (const Job& job : jobs) inputs.emplace(fileIdentity(job.input), &job);
    for (const Job& job : jobs) {
        std::vector<Output> written{{&job, nullptr}};
        for (const SurfaceFile& shader : job.shaders) written.push_back({&job, &shader});
        for (const Output& output : written) {
            const std::string identity = fileIdentity(output.name());
            if (auto it = inputs.find(identity); it != inputs.end()) {
                const std::string& victim = it->second->input;
                if (output.shader)
                    reportAndRaise("Error: The " + output.described() + " is the input file " + victim +
                                       "; writing it would destroy that input.\n" + shaderAdvice,
                                   out);
                if (it->second == &job)
                    reportAndRaise("Error: The destination file " + job.destination + " is the input file " + victim +
                                       " itself; writing it would destroy the input.\n"
                                       "Please choose another name with --destFileName=<file>.",
                                   out);
                reportAndRaise("Error: The destination file " + job.destination + " of the input file " + job.input +
                                   " is the input file " + victim + "; writing it would destroy that input.\n"
                                   "Please convert these files in separate runs, each with --destFileName=<file>.",
                               out);
            }
            const auto [it, added] = outputs.emplace(identity, output);
            if (added) continue;
            const Output& first = it->second;
            if (!first.shader && !output.shader)
                reportAndRaise("Error: The input files " + first.job->input + " and " + job.input +
                                   " would both be written to " + job.destination +
                                   "; the second would replace the first.\n"
                                   "Please convert them in separate runs, each with --destFileName=<file>.",
                               out);
            reportAndRaise("Error: The " + first.described() + " and the " + output.described() +
                               " are the same file; the second would replace the first.\n" + shaderAdvice,
                           out);
        }
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

// The scene of an input read only to learn what its job will write: read
// without a word, and nothing when it cannot be read (the job then fails in
// its turn, when it reads the input again, before it writes anything).
std::optional<MorvLValue> sceneForPlanning(const std::string& input, TextureResolution resolution) {
    std::ostream quiet(nullptr);
    try {
        const ObjectBytes bytes = loadObjectFile(input);
        const std::vector<const Importer*> chosen = recognisers(bytes);
        if (chosen.size() != 1) return std::nullopt;
        const std::unique_ptr<ImportedFile> parsed = chosen.front()->parse(bytes, quiet);
        parsed->setDefaultTextureResolution(resolution.width, resolution.height);
        return parsed->toCanonical(quiet);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// For a writer that names files after the surfaces (RIB shaders), learns
// every job's files before anything is written, so that they can be checked.
// A single job keeps its scene for the conversion (a stream input can be read
// only once). Of several jobs only the file names are kept and each input is
// read again in its turn: a second reading costs time, holding every scene of
// the run at once would cost memory without bound.
std::optional<ReadResult> planSurfaceFiles(std::vector<Job>& jobs, const ConversionOptions& options,
                                           std::ostream& out) {
    const Exporter* exporter = findExporter(options.to);
    if (!exporter || !exporter->surfaceFiles) return std::nullopt;
    std::unordered_set<std::string> taken;
    std::optional<ReadResult> kept;
    for (Job& job : jobs) {
        if (jobs.size() == 1) kept = readScene(job.input, defaultResolution(options), out);
        const auto scene = kept ? std::optional(kept->scene) : sceneForPlanning(job.input, defaultResolution(options));
        if (!scene) continue;
        try {
            job.shaders = exporter->surfaceFiles(*scene, job.destination, taken);
        } catch (const std::exception& e) {
            out.flush();
            Excn::raiseWithCause("Error: Could not write output file " + job.destination + "\n", e);
        }
    }
    return kept;
}

void convertOne(const Job& job, const ConversionOptions& runOptions, std::optional<ReadResult> read,
                std::ostream& out) {
    const std::string& input = job.input;
    const std::string& destination = job.destination;
    if (!read) read = readScene(input, defaultResolution(runOptions), out);
    const auto& [scene, importer] = *read;
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
    // The writer writes exactly the files that were checked.
    std::vector<std::string> shaderNames;
    for (const SurfaceFile& shader : job.shaders) shaderNames.push_back(shader.name);
    ExportSettings settings{resolution.width, resolution.height, out, options.toOSType, options.keepSurfaces};
    if (exporter->surfaceFiles) settings.shaderNames = &shaderNames;
    settings.forceTextureResolution = options.forceTextureResolution;
    try {
        exporter->write(modified, destination, settings);
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
    for (const auto& input : commandLine.inputs) {
        if (options.destFileName.empty() && isStream(input))
            reportAndRaise("Error: The input file " + input +
                               " is a stream (standard input, a pipe or a device); a destination name cannot "
                               "be made from it.\nPlease name the destination with --destFileName=<file>.",
                           out);
        jobs.push_back({input, options.destFileName.empty() ? destinationName(input, commandLine.extension)
                                                            : options.destFileName, {}});
    }
    // The destinations are checked before any input is read, the shader files
    // (named after the surfaces, so known only once the inputs are read) before
    // anything is written.
    refuseClashes(jobs, out);
    std::optional<ReadResult> firstRead = planSurfaceFiles(jobs, options, out);
    refuseClashes(jobs, out);
    for (const Job& job : jobs) convertOne(job, options, std::exchange(firstRead, std::nullopt), out);
}

int runProgram(int argc, char** argv) {
    const std::string programName = argc > 0 && argv[0] ? argv[0] : "morv3d";
    // A run that writes its destination to a stream (standard output, say)
    // sends its own lines to standard error, so that they stay out of the data.
    std::ostream* out = &std::cout;
    bool bannerShown = false;
    const auto banner = [&] {
        if (!bannerShown) *out << bannerText();
        bannerShown = true;
    };
    try {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
        std::ostringstream checks;
        const auto commandLine = parseCommandLine(args, programName, checks);
        if (commandLine && !commandLine->options.destFileName.empty() && isStream(commandLine->options.destFileName))
            out = &std::cerr;
        banner();
        *out << checks.str();
        if (commandLine) convertFiles(*commandLine, *out);
        out->flush();
        return 0;
    } catch (const CLOptionsError& e) {
        banner();
        *out << e.message() << "\n" << usageText(programName);
        out->flush();
        return 0;
    } catch (const std::exception& e) {
        banner();
        out->flush();
        std::cerr << "unhandled exception " << exceptionName(e) << "\n";
        return 1;
    } catch (...) {
        banner();
        out->flush();
        std::cerr << "unhandled exception Fail\n";
        return 1;
    }
}

}  // namespace morv
