// Replays the fuzzers' kept inputs: the LightWave corpus through both
// LightWave readers, the brush corpus through the brush reader. Each must end
// in a value or one of the system's errors, never a crash (run under the
// sanitizers in CI).
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/Excn.hpp"

#include "importers/LWO2Reader.hpp"
#include "importers/LWOBReader.hpp"
#include "importers/UnrealT3DReader.hpp"

namespace morv {
namespace {

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzCorpus, EveryKeptInputEndsCleanly) {
    const std::filesystem::path corpus = std::filesystem::path(MORV3D_SOURCE_DIR) / "tests/fuzz/corpus";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::vector<std::uint8_t> bytes = fileBytes(entry.path());
        std::ostringstream messages;
        try {
            parseLWO2Bytes(bytes, messages)->toCanonical(messages);
        } catch (const MorvException&) {
        }
        try {
            readLWOBSceneFromBytes(bytes, messages);
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
            readUnrealT3DSceneFromBytes(bytes, messages);
            ++read;
        } catch (const MorvException&) {
        }
        ++files;
    }
    EXPECT_GT(files, 0);
    EXPECT_GT(read, 0) << "the corpus holds brushes that read, not only damaged ones";
}

}  // namespace
}  // namespace morv
