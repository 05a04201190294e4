#include "driver/Morv3DConverter.hpp"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <sstream>
#include <unordered_map>
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
        {"RIB", ribWriterProgressLine, writeRIB},
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

// Every image gets its resolution and, when its picture file was opened,
// that file's name as sourceFile.
MorvLValue resolveImageResolutions(const MorvLValue& scene, const ConversionOptions& options,
                                   TextureResolution defaults, const std::string& objectFile, std::ostream& out) {
    return mapImages(scene, [&](const MorvLValue& image) {
        const Fields fields = image.fields();
        const std::string name = neutralToPlatform(options.toOSType, requireField(fields, "fileName"));
        const std::optional<std::string> found =
            options.forceTextureResolution ? std::nullopt : findImageFile(name, objectFile);
        const MorvLValue resolution = resolutionForImage(found.value_or(name), defaults.width, defaults.height,
                                                         options.forceTextureResolution, out);
        const Fields withResolution = setField(fields, "resolution", resolution);
        if (!found) return withResolution.record();
        return setField(withResolution, "sourceFile", MorvLValue::String(*found)).record();
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
    } catch (const std::exception& e) {
        out.flush();
        const auto* failure = dynamic_cast<const MorvException*>(&e);
        const std::string reason = failure && failure->hasMessage() ? ": " + failure->message() : "";
        Excn::reportingStream() << "Could not open file " << input << reason << "\n";
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

// The identity of a file the run writes: writers take ".." steps lexically
// (see writtenName), so the identity is that of the name so normalised.
std::string outputIdentity(const std::string& name) { return fileIdentity(writtenName(name)); }

// The files of a run by identity: each input and each destination with its job.
struct RunIdentities {
    std::unordered_map<std::string, const Job*> inputs;
    std::unordered_map<std::string, const Job*> outputs;
};

// No destination may be any job's input (which a run must never destroy,
// whether it is read before or after) or another job's destination. Checked
// for all jobs before anything is read.
RunIdentities refuseClashes(const std::vector<Job>& jobs, std::ostream& out) {
    RunIdentities run;
    for (const Job& job : jobs) run.inputs.emplace(fileIdentity(job.input), &job);
    for (const Job& job : jobs) {
        const std::string identity = outputIdentity(job.destination);
        if (auto it = run.inputs.find(identity); it != run.inputs.end()) {
            const std::string& victim = it->second->input;
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
        const auto [it, added] = run.outputs.emplace(identity, &job);
        if (!added)
            reportAndRaise("Error: The input files " + it->second->input + " and " + job.input +
                               " would both be written to " + job.destination +
                               "; the second would replace the first.\n"
                               "Please convert them in separate runs, each with --destFileName=<file>.",
                           out);
    }
    return run;
}

// A picture the job reads counts as an input: no destination of the run may be it.
void refusePictureClashes(const Job& job, const MorvLValue& scene, const RunIdentities& run, std::ostream& out) {
    const MorvLValue images = getSurfacesImages(scene).second;
    for (std::size_t i = 0; i < images.size(); ++i) {
        const auto picture = images.at(i).fields().find("sourceFile");
        if (!picture) continue;
        const auto it = run.outputs.find(fileIdentity(picture->asString()));
        if (it == run.outputs.end()) continue;
        reportAndRaise("Error: The image file " + printableBytes(picture->asString()) + ", which the input file " +
                           job.input + " names, is also the destination file " + it->second->destination +
                           " of the input file " + it->second->input +
                           "; a run never writes over a picture it reads.\n"
                           "Please choose another destination with --destFileName=<file> or --destDir=<folder>.",
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

void convertOne(const Job& job, const ConversionOptions& runOptions, RunFiles& runFiles,
                const RunIdentities& identities, std::ostream& out) {
    const std::string& input = job.input;
    const std::string& destination = job.destination;
    const auto [scene, importer] = readScene(input, defaultResolution(runOptions), out);
    const ConversionOptions options = optionsForInput(runOptions, *importer);
    const TextureResolution resolution = announceSettings(options, out);
    out << "Converting imported data\n";
    MorvLValue modified;
    try {
        modified = modifyCanonical(scene, options, resolution, out, input);
    } catch (const std::exception& e) {
        out.flush();
        Excn::raiseWithCause("Error: Could not convert the data of input file " + input + "\n", e);
    }
    refusePictureClashes(job, modified, identities, out);
    const Exporter* exporter = findExporter(options.to);
    if (!exporter) {  // the option scan admits only the formats of the table
        out << "Internal error: Unsupported format " << options.to << "\n";
        throw Bug("Internal error: Unsupported format " + options.to + "\n");
    }
    out << exporter->progressLine(destination);
    ExportSettings settings{resolution.width, resolution.height, out, options.toOSType, options.keepSurfaces, &runFiles};
    settings.forceTextureResolution = options.forceTextureResolution;
    settings.subdivisionLevel = options.subdivisionLevel;
    try {
        exporter->write(modified, destination, settings);
    } catch (const std::exception& e) {
        out.flush();
        Excn::raiseWithCause("Error: Could not write output file " + destination + "\n", e);
    }
}

// A picture that a later job reads must not be replaced by an earlier job's
// destination. Pictures are known only once their object is read, so when a
// run of several jobs would replace an existing file, every input is first
// read without a word for the pictures it names. An input that cannot be read
// then fails in its turn.
void refuseReplacedPictures(const std::vector<Job>& jobs, const ConversionOptions& options,
                            const RunIdentities& identities, std::ostream& out) {
    if (jobs.size() < 2 || options.forceTextureResolution) return;  // no picture is opened then
    const bool replacesAFile = std::ranges::any_of(jobs, [](const Job& job) {
        struct stat info {};
        return ::stat(writtenName(job.destination).c_str(), &info) == 0;
    });
    if (!replacesAFile) return;
    std::ostream quiet(nullptr);
    for (const Job& job : jobs) {
        MorvLValue scene;
        try {
            const ObjectBytes bytes = loadObjectFile(job.input);
            const std::vector<const Importer*> chosen = recognisers(bytes);
            if (chosen.size() != 1) continue;
            const std::unique_ptr<ImportedFile> parsed = chosen.front()->parse(bytes, quiet);
            scene = rewriteImageNames(parsed->toCanonical(quiet), options);
            scene = resolveImageResolutions(scene, options, defaultResolution(options), job.input, quiet);
        } catch (const std::exception&) {
            continue;
        }
        refusePictureClashes(job, scene, identities, out);
    }
}

// The folder of --destDir must exist before anything is written.
void checkDestinationFolder(const std::string& folder, std::ostream& out) {
    if (folder.empty()) return;
    struct stat info {};
    const int error = ::stat(folder.c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (error != 0)
        reportAndRaise("Error: Could not use the destination folder " + folder + ": " + std::strerror(error), out);
}

// A job's destination: --destFileName, or the input's name with the output
// extension, in the --destDir folder when one is given.
std::string destinationFor(const std::string& input, const CommandLine& commandLine) {
    const ConversionOptions& options = commandLine.options;
    if (!options.destFileName.empty()) return options.destFileName;
    const std::string derived = destinationName(input, commandLine.extension);
    if (options.destDir.empty()) return derived;
    return (std::filesystem::path(options.destDir) / std::filesystem::path(derived).filename()).string();
}

std::vector<Job> makeJobs(const CommandLine& commandLine, std::ostream& out) {
    std::vector<Job> jobs;
    jobs.reserve(commandLine.inputs.size());
    for (const auto& input : commandLine.inputs) {
        if (commandLine.options.destFileName.empty() && isStream(input))
            reportAndRaise("Error: The input file " + input +
                               " is a stream (standard input, a pipe or a device); a destination name cannot "
                               "be made from it.\nPlease name the destination with --destFileName=<file>.",
                           out);
        jobs.push_back({input, destinationFor(input, commandLine)});
    }
    return jobs;
}

// The last-resort line of a failure that ends a job.
void reportUnhandled(const std::exception* e, std::ostream& out) {
    out.flush();
    std::cerr << "unhandled exception " << (e ? exceptionName(*e) : std::string("Fail")) << "\n";
}

}  // namespace

MorvLValue modifyCanonical(const MorvLValue& scene, const ConversionOptions& options,
                           TextureResolution defaultResolution, std::ostream& out, const std::string& objectFile) {
    if (scene.kind() != Kind::RECORD)
        throw Error("Internal error: Expected RECORD type not found in Morv3DConverter.modifyCanonical!\n");
    MorvLValue result = moveMeshAndTextures(scene, options);
    result = rewriteImageNames(result, options);
    return resolveImageResolutions(result, options, defaultResolution, objectFile, out);
}

bool convertFiles(const CommandLine& commandLine, std::ostream& out) {
    const ConversionOptions& options = commandLine.options;
    checkDestinationFolder(options.destDir, out);
    const std::vector<Job> jobs = makeJobs(commandLine, out);
    const RunIdentities identities = refuseClashes(jobs, out);
    refuseReplacedPictures(jobs, options, identities, out);
    RunFiles runFiles;
    runFiles.isRunFile = [&](const std::string& file) {
        const std::string identity = outputIdentity(file);
        return identities.inputs.contains(identity) || identities.outputs.contains(identity);
    };
    if (!options.keepGoing) {
        for (const Job& job : jobs) convertOne(job, options, runFiles, identities, out);
        return true;
    }
    std::vector<const Job*> failed;
    for (const Job& job : jobs) {
        try {
            convertOne(job, options, runFiles, identities, out);
        } catch (const std::exception& e) {
            reportUnhandled(&e, out);
            failed.push_back(&job);
        } catch (...) {
            reportUnhandled(nullptr, out);
            failed.push_back(&job);
        }
    }
    out.flush();
    std::cerr << "Converted " << jobs.size() - failed.size() << " of " << jobs.size() << " files";
    for (std::size_t i = 0; i < failed.size(); ++i) std::cerr << (i == 0 ? "; failed: " : ", ") << failed[i]->input;
    std::cerr << "\n";
    return failed.empty();
}

namespace {

// SIGINT, SIGTERM and SIGHUP take away the run's temporary files, then end the
// process as the signal would have.
void endBySignal(int signal) {
    removeTemporaryFiles();
    ::signal(signal, SIG_DFL);
    ::raise(signal);  // delivered when the handler returns
}

// Whether some destination of the run is a stream, named or derived, itself
// or through links: the run's own lines then go to standard error.
bool writesToStream(const CommandLine& commandLine) {
    for (const std::string& input : commandLine.inputs)
        if (isStream(writtenName(destinationFor(input, commandLine)))) return true;
    return false;
}

void installSignalHandlers() {
    // A reader that goes away makes a write fail with EPIPE, reported as any other write error.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = endBySignal;
    ::sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal ignored by whoever started the run (nohup) stays ignored.
        if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) ::sigaction(s, &action, nullptr);
    }
}

}  // namespace

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
    // Lines that standard output could not take (its reader went away) fail the run.
    const auto finished = [&](bool succeeded) {
        out->flush();
        std::cout.flush();
        if (std::cout) return succeeded ? 0 : 1;
        std::cerr << "Error: Could not write to standard output\n";
        return 1;
    };
    installSignalHandlers();
    try {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
        std::ostringstream checks;
        const auto commandLine = parseCommandLine(args, programName, checks);
        if (commandLine && writesToStream(*commandLine)) out = &std::cerr;
        banner();
        *out << checks.str();
        return finished(!commandLine || convertFiles(*commandLine, *out));
    } catch (const CLOptionsError& e) {
        banner();
        *out << e.message() << "\n" << usageText(programName);
        return finished(true);
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
