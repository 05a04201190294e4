// Replays the fuzzers' kept inputs: the LightWave corpus through both
// LightWave readers, the brush corpus through the brush reader, and each scene
// they give through the Unreal brush writer. Each must end in a value or one
// of the system's errors, never a crash (run under the sanitizers in CI).
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/Excn.hpp"
#include "driver/Morv3DConverter.hpp"
#include "exporters/unreal/ExportUnrealT3D.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"
#include "importers/unreal/UnrealT3DReader.hpp"

namespace morv {
namespace {

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes scene as a brush in memory, moved and scaled as for a brush (scale
// when not 0), opening no image file.
void writeBrush(const MorvLValue& scene, double scale, std::ostream& messages) {
    ConversionOptions brush;
    brush.to = "Unreal.T3D";
    brush.scale = scale;
    brush.forceTextureResolution = true;
    ExportUnrealT3D::brushText(modifyCanonical(scene, brush, {512, 512}, messages), {512, 512, messages});
}

TEST(FuzzCorpus, EveryKeptInputEndsCleanly) {
    const std::filesystem::path corpus = std::filesystem::path(MORV3D_SOURCE_DIR) / "tests/fuzz/corpus";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::vector<std::uint8_t> bytes = fileBytes(entry.path());
        std::ostringstream messages;
        try {
            writeBrush(parseLWO2Bytes(bytes, messages)->toCanonical(messages), 0.0, messages);
        } catch (const MorvException&) {
        }
        try {
            writeBrush(readLWOBSceneFromBytes(bytes, messages), 0.0, messages);
        } catch (const MorvException&) {
        }
        ++files;
    }
    EXPECT_GT(files, 0);
}

TEST(FuzzCorpus, EveryKeptBrushEndsCleanly) {
    const std::filesystem::path corpus = std::filesystem::path(MORV3D_SOURCE_DIR) / "tests/fuzz/brush_corpus";
    int files = 0, read = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::vector<std::uint8_t> bytes = fileBytes(entry.path());
        std::ostringstream messages;
        probeUnrealT3D(bytes);
        try {
            const MorvLValue scene = readUnrealT3DSceneFromBytes(bytes, messages);
            ++read;
            writeBrush(scene, 1.0, messages);
        } catch (const MorvException&) {
        }
        ++files;
    }
    EXPECT_GT(files, 0);
    EXPECT_GT(read, 0) << "the corpus holds brushes that read, not only damaged ones";
}

}  // namespace
}  // namespace morv
