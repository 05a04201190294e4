// Converts every LightWave object of Debian's assimp-testmodels package to LWO2
// and checks the written points and face polygons against the source, read here
// by a small scanner of its own (not the converter's readers), and against what
// an independent reader (assimp info) sees in the written file.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/AssimpCounts.hpp"
#include "common/LightWaveScan.hpp"
#include "common/RunProgram.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

std::size_t cornerCount(const testing::ScannedGeometry& g) {
    std::size_t n = 0;
    for (const auto& f : g.faces) n += f.size();
    return n;
}

TEST(RealFiles, EveryPackagedLightWaveObjectConvertsWithItsGeometry) {
    const auto objects = testing::lightWaveObjects();
    if (objects.empty()) GTEST_SKIP() << "assimp-testmodels is not installed";
    const bool haveAssimp = testing::haveAssimp();
    const fs::path work = fs::temp_directory_path() / ("morv3d-realfiles-" + std::to_string(::getpid()));
    fs::create_directories(work);
    int lwob = 0;
    for (const auto& source : objects) {
        SCOPED_TRACE(source.string());
        lwob += testing::formType(source) == "LWOB";
        const fs::path written = work / "out.lwo";
        fs::remove(written);
        const auto run = testing::runProgram({"--to=LWO2", "--destFileName=" + written.string(), source.string()},
                                             work.string());
        ASSERT_FALSE(run.signaled) << "signal " << run.status;
        ASSERT_EQ(run.status, 0) << run.err;
        const testing::ScannedGeometry expected = testing::scanGeometry(source);
        const testing::ScannedGeometry actual = testing::scanGeometry(written);
        EXPECT_EQ(actual.points, expected.points);
        EXPECT_EQ(actual.faces, expected.faces);
        long vertices = 0, faces = 0;
        if (haveAssimp && testing::assimpCounts(written, vertices, faces)) {
            // A raw import keeps one vertex per polygon corner.
            EXPECT_EQ(faces, static_cast<long>(actual.faces.size()));
            EXPECT_EQ(vertices, static_cast<long>(cornerCount(actual)));
        }
    }
    EXPECT_GT(lwob, 0);
    fs::remove_all(work);
}

TEST(RealFiles, AFileThatIsNoObjectEndsWithAReportedError) {
    const fs::path empty = "/usr/share/assimp/models/invalid/empty.lwo";
    if (!fs::exists(empty)) GTEST_SKIP() << "assimp-testmodels is not installed";
    const auto run = testing::runProgram({"--to=LWO2", "--destFileName=/nonexistent/never.lwo", empty.string()});
    EXPECT_FALSE(run.signaled);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error: The file " + empty.string() +
                           " is not a LightWave object (LWOB or LWO2) or an Unreal brush\n"
                           "unhandled exception NoImporterFound\n");
}

}  // namespace
}  // namespace morv
