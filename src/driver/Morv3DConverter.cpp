#include "driver/Morv3DConverter.hpp"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "base/Excn.hpp"
#include "exporters/ExportRI.hpp"
#include "exporters/MorvLToLWO2.hpp"
#include "importers/LWO2Reader.hpp"
#include "importers/LWOBReader.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLTransformMesh.hpp"
#include "support/ImageResolutions.hpp"
#include "support/NeutralFileName.hpp"
#include "base/NumberText.hpp"

namespace morv {

const std::vector<Importer>& importerTable() {
    static const std::vector<Importer> table = {
        {"LWOB", probeLWOB, lwobProgressLine, parseLWOB},
        {"LWO2", probeLWO2, lwo2ProgressLine, parseLWO2},
    };
    return table;
}

const std::vector<Exporter>& exporterTable() {
    static const std::vector<Exporter> table = {
        {"LWO2", lwo2WriterProgressLine, writeLWO2},
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

const Importer& chooseImporter(const std::string& input) {
    const Importer* chosen = nullptr;
    for (const auto& importer : importerTable()) {
        if (!importer.probe(input)) continue;
        if (chosen) throw MultipleImportersFound();
        chosen = &importer;
    }
    if (!chosen) throw NoImporterFound();
    return *chosen;
}

// Writing a job's output over its own input would destroy the input before it
// is read in full (and the data the writer does not keep), so such a job stops.
void refuseToOverwriteInput(const std::string& input, const std::string& destination) {
    std::error_code ec;
    if (!std::filesystem::equivalent(input, destination, ec) || ec) return;
    const std::string text = "Error: The destination file " + destination + " is the input file " + input +
                             " itself; writing it would destroy the input.\n" +
                             "Please choose another name with --destFileName=<file>.";
    Excn::reportingStream() << text << '\n';
    throw Error(text);
}

// A reader's failure: a format error is named first, then the context and cause.
[[noreturn]] void reportReadFailure(const std::string& context, const std::exception& e, std::ostream& out) {
    out.flush();
    if (dynamic_cast<const SyntaxError*>(&e) || dynamic_cast<const BrushSyntaxError*>(&e))
        Excn::reportingStream() << "Syntax error: " << static_cast<const MorvException&>(e).message() << "\n";
    Excn::raiseWithCause(context, e);
}

MorvLValue readScene(const std::string& input, const std::string& destination, std::ostream& out) {
    {
        std::ifstream probe(input, std::ios::binary);
        std::error_code ec;
        if (!probe || std::filesystem::is_directory(input, ec)) {
            out.flush();
            Excn::reportingStream() << "Could not open file " << input << "\n";
            throw IoFailure();
        }
    }
    const Importer& importer = chooseImporter(input);
    refuseToOverwriteInput(input, destination);
    out << importer.progressLine(input);
    std::unique_ptr<ImportedFile> parsed;
    try {
        parsed = importer.parse(input, out);
    } catch (const std::exception& e) {
        reportReadFailure("Error: Could not read input file " + input + "\n", e, out);
    }
    try {
        return parsed->toCanonical(out);
    } catch (const std::exception& e) {
        reportReadFailure("Error: Could not read the input file " + input + "\n", e, out);
    }
}

TextureResolution announceSettings(const ConversionOptions& options, std::ostream& out) {
    out << "Using object scale factor " << realToText(effectiveScale(options)) << "\n";
    TextureResolution resolution{options.textureWidth, options.textureHeight};
    if (resolution.width == 0.0) {
        out << "Warning: Texture width may not be 0\n";
        resolution.width = 512.0;
    }
    if (resolution.height == 0.0) {
        out << "Warning: Texture height may not be 0\n";
        resolution.height = 512.0;
    }
    out << "Using texture resolution " << realToText(resolution.width) << "x" << realToText(resolution.height)
        << " as the default resolution\n";
    return resolution;
}

void convertOne(const std::string& input, const std::string& destination, const ConversionOptions& options,
                std::ostream& out) {
    const MorvLValue scene = readScene(input, destination, out);
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
    if (!exporter) {
        out.flush();
        Excn::reportingStream() << "Error: Writing " << options.to
                                << " files is not available in this version of the converter\n";
        throw Error("Output format " + options.to + " is not available");
    }
    out << exporter->progressLine(destination);
    try {
        exporter->write(modified, destination, ExportSettings{resolution.width, resolution.height, out, options.toOSType});
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
    for (const auto& input : commandLine.inputs) {
        const std::string destination =
            options.destFileName.empty() ? destinationName(input, commandLine.extension) : options.destFileName;
        convertOne(input, destination, options, out);
    }
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
