// Objects made here, converted to Unreal brushes by the built program: closed
// objects keep every polygon facing outward under any transform, odd faces
// end as the table says, and a failure leaves an older brush as it was.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/Outlines.hpp"
#include "common/RunProgram.hpp"
#include "common/TestHelpers.hpp"
#include "exporters/lightwave/MorvLToLWO2.hpp"
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

// A prism of 20 quads closed by a 20-gon at each end, so that both unsplit
// and split faces are checked.
Object prism() {
    Object o{{}, {{}, {}}};
    for (std::uint32_t a = 0; a < 20; ++a) {
        const double angle = std::numbers::pi * a / 10;
        o.points.push_back({std::cos(angle), -1, std::sin(angle)});
        o.points.push_back({std::cos(angle), 1, std::sin(angle)});
        o.faces[0].push_back(2 * a);
        o.faces[1].push_back(2 * a + 1);
        o.faces.push_back({2 * a, 2 * a + 1, (2 * a + 3) % 40, (2 * a + 2) % 40});
    }
    return outward(o);
}

// One face of the given points, in their order unless order says otherwise.
Object oneFace(std::vector<XYZ> points, std::vector<std::uint32_t> order = {}) {
    if (order.empty())
        for (std::uint32_t i = 0; i < points.size(); ++i) order.push_back(i);
    return {std::move(points), {order}};
}

class UnrealBrushTest : public testing::ScratchDirTest {
protected:
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
    testing::ProgramResult toBrush(std::vector<std::string> args) {
        args.insert(args.begin(), {"--to=Unreal.T3D", "--destFileName=out.t3d"});
        return testing::runProgram(args, dir.string());
    }
};

TEST_F(UnrealBrushTest, ClosedObjectsShowEveryPolygonOutwardUnderAnyTransform) {
    writeObject(cube(), "cube.lwo");
    writeObject(prism(), "prism.lwo");
    const std::vector<std::vector<std::string>> optionSets = {
        {}, {"--scale=-1"}, {"--coordTransformsLH=rx90"}, {"--scale=-2", "--coordTransformsLH=rz45 ry-30"}};
    for (const std::string object : {"cube.lwo", "prism.lwo"}) {
        for (std::vector<std::string> args : optionSets) {
            SCOPED_TRACE(object + (args.empty() ? "" : " " + args[0]));
            args.push_back(object);
            const auto r = toBrush(args);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("Writing Unreal brush file out.t3d\n"), std::string::npos);
            EXPECT_EQ(r.out.find("Warning"), std::string::npos) << "split or convex faces are not counted as concave";
            const auto polygons = testing::scanBrush(read("out.t3d"));
            EXPECT_EQ(polygons.size(), object == "cube.lwo" ? 6u : 24u);
            for (std::size_t k = 0; k < polygons.size(); ++k) {
                const auto& p = polygons[k];
                EXPECT_EQ(p.link, static_cast<long>(k));
                EXPECT_LE(p.vertices.size(), 16u);
                const XYZ n = testing::newell(p.vertices);
                EXPECT_NEAR(testing::length(p.normal), 1.0, 1e-5);
                EXPECT_NEAR(dot(p.normal, n) / testing::length(n), 1.0, 1e-5) << "Normal against the order of " << k;
                // The object's centre stays at the origin under these transforms.
                EXPECT_GT(dot(p.normal, p.vertices[0]), 0) << "polygon " << k << " faces inward";
            }
        }
    }
}

TEST_F(UnrealBrushTest, OddFacesConvertAsTheTableSays) {
    const std::vector<XYZ> square{{0, 0, 0}, {20, 0, 0}, {20, 20, 0}, {0, 20, 0}};
    using Sizes = std::vector<std::size_t>;
    const struct {
        const char* name;
        Object object;
        int status;
        std::optional<Sizes> written;  // vertex counts of the written polygons
        std::string message;  // a line the output must hold
    } cases[] = {
        {"triangle", oneFace(testing::regular(3)), 0, {{3}}, ""},
        {"16 points", oneFace(testing::regular(16)), 0, {{16}}, ""},
        {"17 points", oneFace(testing::regular(17)), 0, {{16, 3}}, ""},
        {"30 points", oneFace(testing::regular(30)), 0, {{16, 16}}, ""},
        {"31 points", oneFace(testing::regular(31)), 0, {{16, 16, 3}}, ""},
        {"1023 point comb", oneFace(testing::comb(255)), 0, std::nullopt, ""},
        {"star", oneFace(testing::star(12)), 0, std::nullopt, ""},
        {"keyhole", oneFace(testing::keyhole()), 0, std::nullopt, ""},
        {"zero area", oneFace({{0, 0, 0}, {1, 1, 1}, {3, 3, 3}, {2, 2, 2}}), 0, Sizes{}, "Degenerate convex polygon found!\n"},
        {"two points after collapsing", oneFace(square, {0, 1, 1, 0}), 0, Sizes{}, "Degenerate convex polygon found!\n"},
        {"repeated points", oneFace(square, {0, 0, 1, 1, 2, 2, 3, 0}), 0, {{4}}, ""},
        {"concave, 5 points", oneFace({{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {5, 2, 0}}), 0, {{4, 3}}, ""},
        {"two corners", oneFace(square, {0, 1}), 1, {}, "Polygons must have at least 3 vertices!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeObject(c.object, "in.lwo");
        const auto r = toBrush({"in.lwo"});
        ASSERT_FALSE(r.signaled);
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.status, c.status) << r.err.substr(0, 400);
        if (r.status != 0) continue;
        double area = 0;
        std::vector<std::size_t> written;
        for (const auto& p : testing::scanBrush(read("out.t3d"))) {
            written.push_back(p.vertices.size());
            EXPECT_GE(p.vertices.size(), 3u);
            EXPECT_LE(p.vertices.size(), 16u);
            area += testing::length(testing::newell(p.vertices));
        }
        if (c.written) {
            EXPECT_EQ(written, *c.written);
        }
        std::vector<XYZ> face;
        for (auto v : c.object.faces[0]) face.push_back(c.object.points[v]);
        EXPECT_NEAR(area, 40 * 40 * testing::length(testing::newell(face)), 1e-6 * area + 1e-9);
    }
}

TEST_F(UnrealBrushTest, AFailurePartWayLeavesTheOlderBrushAndNoTemporaryFile) {
    Object o = cube();
    o.faces.push_back({0, 1});  // a face that cannot be written after the cube's faces
    writeObject(o, "bad.lwo");
    writeObject(cube(), "huge.lwo");
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"bad.lwo"}, "Polygons must have at least 3 vertices!\n"},
        {{"--scale=1e300", "huge.lwo"}, "after the transforms; an Unreal brush holds coordinates up to 3.4e+38 in size"},
    };
    for (const auto& c : cases) {
        std::ofstream(dir / "out.t3d") << "an older brush\n";
        const auto r = toBrush(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Error: Could not write output file out.t3d\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(read("out.t3d"), "an older brush\n");
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"bad.lwo", "huge.lwo", "out.t3d"}));
    }
}

}  // namespace
}  // namespace morv
