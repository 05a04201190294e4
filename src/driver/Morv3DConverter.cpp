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
#include <utility>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "driver/OutputFormats.hpp"
#include "driver/RunGuard.hpp"
#include "exporters/info/ExportInfo.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"
#include "importers/unreal/UnrealT3DReader.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLTransformMesh.hpp"
#include "support/GetCs.hpp"
#include "support/PictureSearch.hpp"
#include "support/Pictures.hpp"
#include "support/NeutralFileName.hpp"
#include "support/OutputFile.hpp"

namespace morv {

const std::vector<Importer>& importerTable() {
    static const std::vector<Importer> table = {
        {"LWOB", probeLWOB, lwobProgressLine, parseLWOBBytes, false},
        {"LWO2", probeLWO2, lwo2ReaderProgressLine, parseLWO2Bytes, false},
        {"Unreal T3D", probeUnrealT3D, unrealT3DReaderProgressLine, parseUnrealT3DBytes, true},
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
    const OutputFormat* format = findOutputFormat(options.to);
    return format ? format->defaultScale : 1.0;
}

namespace {

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
        // The name as stored stays for the picture search.
        return setField(setField(fields, "storedFileName", name), "fileName",
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
            options.forceTextureResolution
                ? std::nullopt
                : findImageFile(name, fields.find("storedFileName").value_or(requireField(fields, "fileName")),
                                objectFile);
        const MorvLValue resolution = resolutionForImage(found.value_or(name), defaults.width, defaults.height,
                                                         options.forceTextureResolution, out);
        const Fields withResolution = setField(fields, "resolution", resolution);
        if (!found) return withResolution.record();
        return setField(withResolution, "sourceFile", MorvLValue::String(*found)).record();
    });
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

// The folders of a destination under --destDir are made as needed.
void makeDestinationFolders(const Job& job, std::ostream& out) {
    const std::filesystem::path folder = std::filesystem::path(job.destination).parent_path();
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec)) return;
    std::filesystem::create_directories(folder, ec);
    if (ec) reportAndRaise("Error: Could not make the destination folder " + folder.string() + ": " + ec.message(), out);
}

void convertOne(const Job& job, const CommandLine& commandLine, RunFiles& runFiles, RunGuard& guard,
                std::ostream& runOut) {
    if (const std::string* refusal = guard.refusal(job)) reportAndRaise(*refusal, runOut);
    const OutputFormat* format = findOutputFormat(commandLine.options.to);
    if (!format) {  // the option scan admits only the formats of the table
        runOut << "Internal error: Unsupported format " << commandLine.options.to << "\n";
        throw Bug("Internal error: Unsupported format " + commandLine.options.to + "\n");
    }
    // A format that writes no file (the inventory) lists the job's warnings.
    WarningRecorder recorder(runOut);
    std::ostream& out = format->writesFile ? runOut : recorder.stream();
    const std::string& input = job.input;
    const std::string& destination = job.destination;
    const auto [scene, importer] = readScene(input, defaultResolution(commandLine.options), out);
    const ConversionOptions options = optionsForInput(commandLine.options, *importer);
    const TextureResolution resolution = announceSettings(options, out);
    out << "Converting imported data\n";
    MorvLValue modified;
    try {
        modified = modifyCanonical(scene, options, resolution, out, input);
    } catch (const std::exception& e) {
        out.flush();
        Excn::raiseWithCause("Error: Could not convert the data of input file " + input + "\n", e);
    }
    guard.checkPictures(job, modified, out);
    guard.checkDestination(job, out);
    if (!format->writesFile)
        modified = setField(setField(modified.fields(), "inputFile", MorvLValue::String(input)), "inputFormat",
                            MorvLValue::String(importer->name))
                       .record();
    else if (!options.destDir.empty())
        makeDestinationFolders(job, out);
    out << format->progressLine(destination);
    const ExportSettings common{resolution.width, resolution.height, out, options.toOSType, &runFiles};
    try {
        format->write(modified, destination, common, options);
    } catch (const std::exception& e) {
        for (const HeldFile& file : takeHeldFiles()) dropHeldFile(file);
        out.flush();
        Excn::raiseWithCause("Error: Could not write output file " + destination + "\n", e);
    }
    guard.hold(job, takeHeldFiles());
}

// The folder of --destDir must exist before anything is written.
void checkDestinationFolder(const std::string& folder, std::ostream& out) {
    if (folder.empty()) return;
    struct stat info {};
    const int error = ::stat(folder.c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (error != 0)
        reportAndRaise("Error: Could not use the destination folder " + folder + ": " + std::strerror(error), out);
}

// The part of a derived destination name kept under --destDir: a relative
// name without ".." keeps its folders ("." steps and doubled slashes
// dropped); any other name keeps only its last component.
std::filesystem::path keptUnderDestDir(const std::string& derived) {
    const std::filesystem::path path(derived);
    if (path.is_absolute()) return path.filename();
    std::filesystem::path kept;
    for (const std::filesystem::path& step : path) {
        if (step == "..") return path.filename();
        if (step != "." && !step.empty()) kept /= step;
    }
    return kept;
}

// A job's destination: --destFileName, or the input's name with the output
// extension, under the --destDir folder when one is given.
std::string destinationFor(const std::string& input, const CommandLine& commandLine) {
    const ConversionOptions& options = commandLine.options;
    if (const OutputFormat* format = findOutputFormat(options.to); format && !format->writesFile) return {};
    if (!options.destFileName.empty()) return options.destFileName;
    const std::string derived = destinationName(input, commandLine.extension);
    if (options.destDir.empty()) return derived;
    return (std::filesystem::path(options.destDir) / keptUnderDestDir(derived)).string();
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

namespace {

// Runs one step of a job. With --keepGoing=true a failure is reported and
// gives false; otherwise it ends the run.
template <class Step>
bool succeeds(bool keepGoing, std::ostream& out, Step&& step) {
    if (!keepGoing) {
        step();
        return true;
    }
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        reportUnhandled(&e, out);
    } catch (...) {
        reportUnhandled(nullptr, out);
    }
    return false;
}

// Drops whatever a run ended early still holds, and holds no more.
struct HoldingReplacements {
    RunGuard& guard;
    explicit HoldingReplacements(RunGuard& g, bool hold) : guard(g) { holdReplacements(hold); }
    ~HoldingReplacements() {
        holdReplacements(false);
        guard.dropHeld();
    }
};

}  // namespace

bool convertFiles(const CommandLine& commandLine, std::ostream& out) {
    const ConversionOptions& options = commandLine.options;
    checkDestinationFolder(options.destDir, out);
    const std::vector<Job> jobs = makeJobs(commandLine, out);
    RunGuard guard(jobs, options.keepGoing, out);
    RunFiles runFiles;
    runFiles.isRunFile = [&](const std::string& file) { return guard.isRunFile(file); };
    // A job's output that replaces a file waits until every later job has
    // found its pictures: one of them might be that file.
    const HoldingReplacements holding(guard, jobs.size() > 1 && !options.forceTextureResolution);
    std::vector<bool> failed(jobs.size(), false);
    try {
        for (std::size_t i = 0; i < jobs.size(); ++i)
            failed[i] = !succeeds(options.keepGoing, out, [&] { convertOne(jobs[i], commandLine, runFiles, guard, out); });
    } catch (...) {
        // The run ends: what the jobs before converted is put in place all the same.
        for (const Job& job : jobs) succeeds(true, out, [&] { guard.placeHeld(job, out, true); });
        throw;
    }
    for (std::size_t i = 0; i < jobs.size(); ++i)
        if (!failed[i] && guard.holds(jobs[i]))
            failed[i] = !succeeds(options.keepGoing, out, [&] { guard.placeHeld(jobs[i], out); });
    if (!options.keepGoing) return true;
    out.flush();
    const auto failures = std::ranges::count(failed, true);
    std::cerr << "Converted " << jobs.size() - static_cast<std::size_t>(failures) << " of " << jobs.size() << " files";
    for (std::size_t i = 0, shown = 0; i < jobs.size(); ++i)
        if (failed[i]) std::cerr << (shown++ == 0 ? "; failed: " : ", ") << jobs[i].input;
    std::cerr << "\n";
    return failures == 0;
}

namespace {

// The ending signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ) take away the
// run's temporary files, then end the process as the signal would have.
void endBySignal(int signal) {
    removeTemporaryFiles();
    ::signal(signal, SIG_DFL);
    ::raise(signal);  // delivered when the handler returns
}

// Whether the run's data goes to a stream: a format that prints its data on
// standard output, or some destination of the run that is a stream, named or
// derived, itself or through links. The run's own lines then go to standard error.
bool writesToStream(const CommandLine& commandLine) {
    if (const OutputFormat* format = findOutputFormat(commandLine.options.to); format && !format->writesFile)
        return true;
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
    for (int s : endingSignals()) ::sigaddset(&action.sa_mask, s);
    for (int s : endingSignals()) {
        struct sigaction previous {};
        // A signal ignored by whoever started the run (nohup) stays ignored.
        if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) ::sigaction(s, &action, nullptr);
    }
}

}  // namespace

namespace {

bool asksFor(const std::vector<std::string>& args, std::string_view option) {
    return std::ranges::find(args, option) != args.end();
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
    const auto finished = [&](int status) {
        out->flush();
        std::cout.flush();
        if (std::cout) return status;
        std::cerr << "Error: Could not write to standard output\n";
        return 1;
    };
    installSignalHandlers();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    // A wrong command line ends with status 2, as is usual; asking for the
    // usage or the version is no error.
    if (asksFor(args, "--help")) {
        banner();
        *out << usageText(programName);
        return finished(0);
    }
    if (asksFor(args, "--version")) {
        const std::string line = bannerText();
        *out << line.substr(0, line.find('\n') + 1);
        return finished(0);
    }
    try {
        std::ostringstream checks;
        const auto commandLine = parseCommandLine(args, programName, checks);
        if (commandLine && writesToStream(*commandLine)) out = &std::cerr;
        banner();
        *out << checks.str();
        if (!commandLine) return finished(optionErrorStatus);
        return finished(convertFiles(*commandLine, *out) ? 0 : 1);
    } catch (const CLOptionsError& e) {
        banner();
        *out << e.message() << "\n" << usageText(programName);
        return finished(optionErrorStatus);
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
