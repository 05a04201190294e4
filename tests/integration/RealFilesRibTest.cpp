// Converts every LightWave object of Debian's assimp-testmodels package to RIB
// and reads the RIB back with a scanner of its own: the order and counts of
// the requests, every point index, every polygon's points against the source
// object, the shader file of every Surface, and the tokens' declarations.
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "common/LightWaveScan.hpp"
#include "common/RibScanner.hpp"
#include "common/RunProgram.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::RibArgument;
using testing::RibRequest;

using Polygon = std::vector<std::uint32_t>;  // the IEEE bit patterns of its points, x y z per corner

std::string fileText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t singleBits(double v) { return std::bit_cast<std::uint32_t>(static_cast<float>(v)); }

// The fixed requests around the surfaces, in order; MakeTexture may repeat where it stands.
const std::vector<std::string> head = {"version",    "LightSource", "Format",         "Projection",
                                       "Translate",  "FrameBegin",  "MakeTexture",    "WorldBegin",
                                       "TransformBegin", "Translate", "Rotate", "Rotate", "Scale"};
const std::vector<std::string> tail = {"TransformEnd", "WorldEnd", "FrameEnd"};

void checkLayout(const std::vector<RibRequest>& requests) {
    std::size_t i = 0;
    for (const std::string& name : head) {
        if (name == "MakeTexture") {
            while (i < requests.size() && requests[i].name == "MakeTexture") ++i;
            continue;
        }
        ASSERT_LT(i, requests.size());
        EXPECT_EQ(requests[i++].name, name);
    }
    const std::set<std::string> surfaceRequests{"Declare", "Color", "Opacity", "Surface", "PointsGeneralPolygons"};
    for (; i + tail.size() < requests.size(); ++i)
        EXPECT_TRUE(surfaceRequests.count(requests[i].name)) << requests[i].name << " inside the world block";
    for (const std::string& name : tail) EXPECT_EQ(requests.at(i++).name, name);
    EXPECT_EQ(i, requests.size());
}

// The polygons of one request, with every index and every coordinate list checked.
std::vector<Polygon> polygonsOf(const RibRequest& r, const std::map<std::string, std::string>& declared) {
    const auto& nloops = r.arguments.at(0).numbers;
    const auto& nverts = r.arguments.at(1).numbers;
    const auto& verts = r.arguments.at(2).numbers;
    const std::vector<double> p = r.parameter("P")->numbers;
    EXPECT_EQ(nloops, std::vector<double>(nverts.size(), 1.0));
    EXPECT_EQ(p.size() % 3, 0u);
    const std::size_t points = p.size() / 3;
    std::vector<bool> used(points, false);
    std::vector<Polygon> polygons;
    std::size_t at = 0;
    for (double n : nverts) {
        polygons.emplace_back();
        for (int c = 0; c < static_cast<int>(n); ++c, ++at) {
            const double index = verts.at(at);
            EXPECT_TRUE(index >= 0 && index < static_cast<double>(points)) << "index " << index << " of " << points;
            const auto k = static_cast<std::size_t>(index);
            if (k >= points) continue;
            used[k] = true;
            for (int axis = 0; axis < 3; ++axis) polygons.back().push_back(singleBits(p[3 * k + axis]));
        }
    }
    EXPECT_EQ(at, verts.size());
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0) << "P holds a point no polygon uses";
    for (std::size_t i = 3; i + 1 < r.arguments.size(); ++i) {
        const RibArgument& name = r.arguments[i];
        if (name.kind != RibArgument::Kind::String || name.text == "P") continue;
        const std::string type = declared.count(name.text) ? declared.at(name.text) : "";
        const std::size_t expected = type == "facevarying float" ? verts.size() : type == "vertex float" ? points : 0;
        EXPECT_EQ(r.arguments[i + 1].numbers.size(), expected) << name.text << " declared " << type;
    }
    return polygons;
}

TEST(RealFiles, EveryPackagedLightWaveObjectConvertsToRib) {
    const auto objects = testing::lightWaveObjects();
    if (objects.empty()) GTEST_SKIP() << "assimp-testmodels is not installed";
    const fs::path work = fs::temp_directory_path() / ("morv3d-realfiles-rib-" + std::to_string(::getpid()));
    for (const auto& source : objects) {
        SCOPED_TRACE(source.string());
        fs::remove_all(work);
        fs::create_directories(work);
        const fs::path rib = work / "out.rib";
        const auto run = testing::runProgram({"--destFileName=" + rib.string(), source.string()}, work.string());
        ASSERT_FALSE(run.signaled) << "signal " << run.status;
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<RibRequest> requests = testing::scanRib(fileText(rib));
        checkLayout(requests);
        EXPECT_EQ(testing::undeclaredTokens(requests), std::vector<std::string>{});

        // Source faces by their points; each RIB polygon takes the first
        // unused one, and within a request they must come in source order.
        const testing::ScannedGeometry source_ = testing::scanGeometry(source);
        std::map<Polygon, std::vector<std::size_t>> unmatched;
        for (std::size_t f = source_.faces.size(); f-- > 0;) {
            Polygon key;
            for (std::uint32_t v : source_.faces[f])
                for (int axis = 0; axis < 3; ++axis) key.push_back(source_.points.at(3 * std::size_t{v} + axis));
            if (source_.faces[f].size() >= 3) unmatched[key].push_back(f);
        }
        std::map<std::string, std::string> declared;
        std::size_t surfaces = 0;
        for (const RibRequest& r : requests) {
            if (r.name == "Declare") declared[r.strings().at(0)] = r.strings().at(1);
            if (r.name == "Surface") {
                ++surfaces;
                const std::string shader = r.strings().at(0);
                const std::string text = fileText(work / (shader + ".sl"));
                EXPECT_NE(text.find("surface " + shader + " ("), std::string::npos) << shader << ".sl";
            }
            if (r.name != "PointsGeneralPolygons") continue;
            std::size_t previous = 0;
            bool first = true;
            for (const Polygon& polygon : polygonsOf(r, declared)) {
                auto it = unmatched.find(polygon);
                ASSERT_TRUE(it != unmatched.end() && !it->second.empty()) << "a polygon the source does not hold";
                const std::size_t f = it->second.back();
                it->second.pop_back();
                EXPECT_TRUE(first || f > previous) << "face " << f << " after face " << previous;
                previous = f;
                first = false;
            }
        }
        for (const auto& [polygon, faces] : unmatched) EXPECT_TRUE(faces.empty()) << faces.size() << " faces not written";
        std::size_t shaderFiles = 0;
        for (const auto& e : fs::directory_iterator(work)) shaderFiles += e.path().extension() == ".sl";
        EXPECT_EQ(shaderFiles, surfaces);
    }
    fs::remove_all(work);
}

}  // namespace
}  // namespace morv
