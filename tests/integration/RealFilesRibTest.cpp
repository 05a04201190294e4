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
    const std::set<std::string> surfaceRequests{"Declare", "Color", "Opacity", "Surface", "PointsGeneralPolygons", "SubdivisionMesh"};
    for (; i + tail.size() < requests.size(); ++i)
        EXPECT_TRUE(surfaceRequests.count(requests[i].name)) << requests[i].name << " inside the world block";
    for (const std::string& name : tail) EXPECT_EQ(requests.at(i++).name, name);
    EXPECT_EQ(i, requests.size());
}

// A polygon's key: the single-precision bits of its points, x y z per corner.
Polygon keyOf(const std::vector<XYZ>& points) {
    Polygon key;
    for (const XYZ& p : points)
        for (double v : {p.x, p.y, p.z}) key.push_back(std::bit_cast<std::uint32_t>(static_cast<float>(v)));
    return key;
}

// Every coordinate set holds one value per point or per corner, as declared.
void checkCoordinateSets(const RibRequest& r, const std::map<std::string, std::string>& declared) {
    const std::size_t corners = r.arguments.at(2).numbers.size(), points = r.parameter("P")->numbers.size() / 3;
    for (std::size_t i = 3; i + 1 < r.arguments.size(); ++i) {
        const RibArgument& name = r.arguments[i];
        if (name.kind != RibArgument::Kind::String || name.text == "P") continue;
        const std::string type = declared.count(name.text) ? declared.at(name.text) : "";
        const std::size_t expected = type == "facevarying float" ? corners : type == "vertex float" ? points : 0;
        EXPECT_EQ(r.arguments[i + 1].numbers.size(), expected) << name.text << " declared " << type;
    }
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
        const testing::ScannedGeometry g = testing::scanGeometry(source);
        std::map<Polygon, std::vector<std::size_t>> unmatched;
        for (std::size_t f = g.faces.size(); f-- > 0;) {
            Polygon key;
            for (std::size_t v : g.faces[f])
                for (std::size_t axis = 0; axis < 3; ++axis) key.push_back(g.points.at(3 * v + axis));
            if (g.faces[f].size() >= 3) unmatched[key].push_back(f);
        }
        std::map<std::string, std::string> declared;
        std::size_t surfaces = 0;
        for (const RibRequest& r : requests) {
            if (r.name == "Declare") declared[r.strings().at(0)] = r.strings().at(1);
            if (r.name == "Surface") {
                ++surfaces;
                const std::string shader = r.strings().at(0);
                EXPECT_NE(fileText(work / (shader + ".sl")).find("surface " + shader + " ("), std::string::npos) << shader;
            }
            if (r.name != "PointsGeneralPolygons" && r.name != "SubdivisionMesh") continue;
            checkCoordinateSets(r, declared);
            std::size_t next = 0;  // the first source face the next polygon may be
            for (const auto& polygon : testing::ribPolygons(r)) {
                auto it = unmatched.find(keyOf(polygon));
                ASSERT_TRUE(it != unmatched.end() && !it->second.empty()) << "a polygon the source does not hold";
                EXPECT_GE(it->second.back(), next) << "out of the source's order";
                next = it->second.back() + 1;
                it->second.pop_back();
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
