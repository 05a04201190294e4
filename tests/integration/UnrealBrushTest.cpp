// Objects made here, converted to Unreal brushes by the built program: closed
// objects keep every polygon facing outward under any transform, odd faces
// end as the table says, and a failure leaves an older brush as it was.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/RunProgram.hpp"
#include "exporters/MorvLToLWO2.hpp"
#include "scene/CanonicalScene.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

struct Object {
    std::vector<XYZ> points;
    std::vector<std::vector<std::uint32_t>> faces;
};

double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Turns every face so that the side its order shows faces away from the centre.
Object outward(Object o) {
    for (auto& f : o.faces) {
        std::vector<XYZ> p;
        for (auto v : f) p.push_back(o.points[v]);
        if (dot(testing::newell(p), p[0]) < 0) std::reverse(f.begin() + 1, f.end());
    }
    return o;
}

Object cube() {
    Object o;
    for (int i = 0; i < 8; ++i) o.points.push_back({i & 1 ? 1.0 : -1.0, i & 2 ? 1.0 : -1.0, i & 4 ? 1.0 : -1.0});
    o.faces = {{0, 1, 3, 2}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 3, 7, 5}};
    return outward(o);
}

// Rings of quads closed by one 20-gon at each pole, so that both unsplit and
// split faces are checked.
Object sphere() {
    Object o;
    const int around = 20, rings = 8;
    for (int r = 1; r < rings; ++r)
        for (int a = 0; a < around; ++a) {
            const double lat = std::numbers::pi * r / rings, lon = 2 * std::numbers::pi * a / around;
            o.points.push_back({std::sin(lat) * std::cos(lon), std::cos(lat), std::sin(lat) * std::sin(lon)});
        }
    for (int r = 0; r + 2 < rings; ++r)
        for (int a = 0; a < around; ++a) {
            const auto at = [&](int ring, int step) { return static_cast<std::uint32_t>(ring * around + (step % around)); };
            o.faces.push_back({at(r, a), at(r, a + 1), at(r + 1, a + 1), at(r + 1, a)});
        }
    std::vector<std::uint32_t> top, bottom;
    for (int a = 0; a < around; ++a) {
        top.push_back(static_cast<std::uint32_t>(a));
        bottom.push_back(static_cast<std::uint32_t>((rings - 2) * around + a));
    }
    o.faces.push_back(top);
    o.faces.push_back(bottom);
    return outward(o);
}

class UnrealBrushTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("morv3d-brush-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeObject(const Object& o, const std::string& name) {
        MeshBuilder b;
        for (const XYZ& p : o.points) b.addVertex(p);
        for (const auto& f : o.faces) b.addFace(f, MorvLValue::Int(0));
        MorvLToLWO2::translate(makeScene(std::move(b).build(), {}, {}), (dir / name).string());
    }
    std::string read(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> filesInDir() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
};

TEST_F(UnrealBrushTest, ClosedObjectsShowEveryPolygonOutwardUnderAnyTransform) {
    writeObject(cube(), "cube.lwo");
    writeObject(sphere(), "sphere.lwo");
    const std::vector<std::vector<std::string>> optionSets = {
        {}, {"--scale=-1"}, {"--coordTransformsLH=rx90"}, {"--scale=-2", "--coordTransformsLH=rz45 ry-30"}};
    for (const char* object : {"cube.lwo", "sphere.lwo"}) {
        for (const auto& options : optionSets) {
            SCOPED_TRACE(std::string(object) + (options.empty() ? "" : " " + options[0]));
            std::vector<std::string> args{"--to=Unreal.T3D", "--destFileName=out.t3d"};
            args.insert(args.end(), options.begin(), options.end());
            args.push_back(object);
            const auto r = testing::runProgram(args, dir.string());
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("Writing Unreal brush file out.t3d\n"), std::string::npos);
            const auto polygons = testing::scanBrush(read("out.t3d"));
            EXPECT_EQ(polygons.size(), std::string(object) == "cube.lwo" ? 6u : 124u);
            for (std::size_t k = 0; k < polygons.size(); ++k) {
                const auto& p = polygons[k];
                EXPECT_EQ(p.link, static_cast<long>(k));
                EXPECT_LE(p.vertices.size(), 16u);
                const XYZ n = testing::newell(p.vertices);
                const double len = testing::length(n);
                EXPECT_NEAR(testing::length(p.normal), 1.0, 1e-5);
                EXPECT_NEAR(dot(p.normal, n) / len, 1.0, 1e-5) << "Normal against the written order of polygon " << k;
                // The object's centre stays at the origin under these transforms.
                EXPECT_GT(dot(p.normal, p.vertices[0]), 0) << "polygon " << k << " faces inward";
            }
        }
    }
}

std::vector<XYZ> ring(std::size_t n, double radius = 10) {
    std::vector<XYZ> p;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
        p.push_back({radius * std::cos(a), radius * std::sin(a), 0});
    }
    return p;
}

// A flat figure eight of 18 points: an outline that crosses itself.
std::vector<XYZ> figureEight() {
    std::vector<XYZ> p;
    for (int i = 0; i < 18; ++i) {
        const double t = 2 * std::numbers::pi * i / 18;
        p.push_back({100 * std::sin(t), 50 * std::sin(2 * t) + (i == 3 ? 5 : 0), 0});
    }
    return p;
}

Object oneFace(std::vector<XYZ> points, std::vector<std::uint32_t> order = {}) {
    Object o{std::move(points), {}};
    if (order.empty())
        for (std::uint32_t i = 0; i < o.points.size(); ++i) order.push_back(i);
    o.faces.push_back(order);
    return o;
}

TEST_F(UnrealBrushTest, OddFacesConvertAsTheTableSays) {
    std::vector<XYZ> star = ring(24), comb;
    for (std::size_t i = 1; i < star.size(); i += 2) star[i] = {star[i].x * 0.3, star[i].y * 0.3, 0};
    for (int t = 0; t < 255; ++t) {  // 1023 points: teeth on top, points along the bottom edge
        comb.push_back({t * 2.0, 10, 0});
        comb.push_back({t * 2.0 + 1, 10, 0});
        comb.push_back({t * 2.0 + 1, 5, 0});
        comb.push_back({t * 2.0 + 2, 5, 0});
    }
    for (int i = 0; i < 3; ++i) comb.push_back({510.0 - i * 255, -1, 0});
    const std::vector<XYZ> keyhole{{0, 0, 0},  {20, 0, 0},  {20, 20, 0}, {0, 20, 0}, {0, 10, 0}, {5, 10, 0},
                                   {5, 5, 0},  {15, 5, 0},  {15, 15, 0}, {5, 15, 0}};
    const struct {
        const char* name;
        Object object;
        int status;
        std::size_t polygons;  // written polygons
        std::string message;   // a line the output must hold
    } cases[] = {
        {"triangle", oneFace(ring(3)), 0, 1, ""},
        {"16 points", oneFace(ring(16)), 0, 1, ""},
        {"17 points", oneFace(ring(17)), 0, 2, ""},
        {"30 points", oneFace(ring(30)), 0, 2, ""},
        {"31 points", oneFace(ring(31)), 0, 3, ""},
        {"1023 point comb", oneFace(comb), 0, 0, ""},
        {"star", oneFace(star), 0, 0, ""},
        {"keyhole", oneFace(keyhole, {0, 1, 2, 3, 4, 5, 9, 8, 7, 6, 5, 4}), 0, 0, ""},
        {"zero area", oneFace({{0, 0, 0}, {1, 1, 1}, {3, 3, 3}, {2, 2, 2}}), 0, 0, "Degenerate convex polygon found!\n"},
        {"repeated points", oneFace({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 0, 1, 1, 2, 0}), 0, 1, ""},
        {"crossing itself, 6 points", oneFace(ring(6), {0, 1, 2, 4, 3, 5}), 0, 1,
         "Warning: 1 concave polygons of 16 or fewer vertices were written as they are\n"},
        {"crossing itself, 18 points", oneFace(figureEight()), 1, 0, "Possible bug: Could not split"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeObject(c.object, "in.lwo");
        const auto r = testing::runProgram({"--to=Unreal.T3D", "--destFileName=out.t3d", "in.lwo"}, dir.string());
        ASSERT_FALSE(r.signaled);
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.status, c.status) << r.err.substr(0, 400);
        if (r.status != 0) continue;
        const auto polygons = testing::scanBrush(read("out.t3d"));
        if (c.polygons > 0) {
            EXPECT_EQ(polygons.size(), c.polygons);
        }
        double area = 0;
        for (const auto& p : polygons) {
            EXPECT_GE(p.vertices.size(), 3u);
            EXPECT_LE(p.vertices.size(), 16u);
            area += testing::length(testing::newell(p.vertices));
        }
        std::vector<XYZ> face;
        for (auto v : c.object.faces[0]) face.push_back(c.object.points[v]);
        EXPECT_NEAR(area, 40 * 40 * testing::length(testing::newell(face)), 1e-6 * area + 1e-9);
    }
}

TEST_F(UnrealBrushTest, AFailurePartWayLeavesTheOlderBrushAndNoTemporaryFile) {
    Object o = cube();
    // An outline that cannot be split after the cube's faces.
    std::vector<std::uint32_t> eight;
    for (const XYZ& p : figureEight()) {
        eight.push_back(static_cast<std::uint32_t>(o.points.size()));
        o.points.push_back(p);
    }
    o.faces.push_back(eight);
    writeObject(o, "bad.lwo");
    writeObject(cube(), "huge.lwo");
    std::ofstream(dir / "old.t3d") << "an older brush\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--to=Unreal.T3D", "--destFileName=old.t3d", "bad.lwo"},
          {"--to=Unreal.T3D", "--destFileName=old.t3d", "--scale=1e300", "huge.lwo"}}) {
        const auto r = testing::runProgram(args, dir.string());
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Error: Could not write output file old.t3d\n"), std::string::npos) << r.err;
        EXPECT_EQ(read("old.t3d"), "an older brush\n");
        EXPECT_EQ(filesInDir(), (std::vector<std::string>{"bad.lwo", "huge.lwo", "old.t3d"}));
    }
}

}  // namespace
}  // namespace morv
