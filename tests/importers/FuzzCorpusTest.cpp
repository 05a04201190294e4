// Replays the fuzzer's kept inputs through both LightWave readers, and each
// scene they give through the Unreal brush writer: each must end in a value or
// one of the system's errors, never a crash (run under the sanitizers in CI).
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/Excn.hpp"
#include "driver/Morv3DConverter.hpp"
#include "exporters/ExportUnrealT3D.hpp"
#include "importers/LWO2Reader.hpp"
#include "importers/LWOBReader.hpp"

namespace morv {
namespace {

TEST(FuzzCorpus, EveryKeptInputEndsCleanly) {
    const std::filesystem::path corpus = std::filesystem::path(MORV3D_SOURCE_DIR) / "tests/fuzz/corpus";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::ostringstream messages;
        ConversionOptions brush;
        brush.to = "Unreal.T3D";
        brush.forceTextureResolution = true;
        const auto writeBrush = [&](const MorvLValue& scene) {
            ExportUnrealT3D::brushText(modifyCanonical(scene, brush, {512, 512}, messages), {512, 512, messages});
        };
        try {
            writeBrush(parseLWO2Bytes(bytes, messages)->toCanonical(messages));
        } catch (const MorvException&) {
        }
        try {
            writeBrush(readLWOBSceneFromBytes(bytes, messages));
        } catch (const MorvException&) {
        }
        ++files;
    }
    EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace morv
