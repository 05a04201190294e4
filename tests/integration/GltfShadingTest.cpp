// glTF shading end to end: normals of smoothed, flat, mirrored and normal-mapped objects; the
// texels projections show at every triangle's centre (poles, seams, wraps); refined cages.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <numbers>
#include <sstream>

#include <gtest/gtest.h>

#include "common/BrushFixtures.hpp"
#include "common/BrushScan.hpp"
#include "common/GlbReader.hpp"
#include "common/LightWaveScan.hpp"
#include "common/LwoFixtures.hpp"
#include "common/LwobFixtures.hpp"
#include "common/RunProgram.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/Vector.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::IffBuilder;
constexpr double pi = std::numbers::pi;

struct Mesh {
    std::vector<XYZ> points;
    std::vector<std::vector<std::uint32_t>> faces;
    std::vector<std::uint16_t> surfaces;  // per face; surface 0 when empty
    std::string kind = "FACE";            // PTCH for a SubPatch cage
};

// Local (a, up, b) about a projection axis to x, y, z: the cyclic turns the projections use.
XYZ fromAxis(int axis, double a, double up, double b) {
    return axis == 1 ? XYZ{a, up, b} : axis == 0 ? XYZ{up, b, a} : XYZ{b, a, up};
}

// Each face turned so that it faces away from centre.
void faceOutward(Mesh& m, const XYZ& centre) {
    for (auto& f : m.faces) {
        std::vector<XYZ> p;
        for (auto v : f) p.push_back(m.points[v]);
        if (dot(testing::newell(p), p[1] - centre) < 0) std::reverse(f.begin() + 1, f.end());
    }
}

// Rings about the axis from pole to pole: a sphere, or a cylinder 2r tall capped by fans. The
// poles may lie a little off the axis; the seam column (longitude pi) lies a hair across it.
Mesh rings(XYZ centre, double r, int axis, int around, int bands, bool cylinder, double poleOff = 0) {
    Mesh m;
    const auto at = [&](double a, double up, double b) { m.points.push_back(centre + fromAxis(axis, a, up, b)); };
    at(poleOff * r, r, -poleOff * r);
    for (int i = cylinder ? 0 : 1; i <= (cylinder ? 1 : bands - 1); ++i) {
        const double lat = pi / 2 - pi * i / bands;
        for (int j = 0; j < around; ++j) {
            const double lon = 2 * pi * j / around;
            const double across = cylinder ? r : r * std::cos(lat), up = cylinder ? r * (1 - 2 * i) : r * std::sin(lat);
            at(across * std::cos(lon), up, across * std::sin(lon));
        }
    }
    at(-poleOff * r, -r, poleOff * r);
    const auto n = static_cast<std::uint32_t>(around), rows = static_cast<std::uint32_t>(cylinder ? 2 : bands - 1);
    const auto ring = [&](std::uint32_t row, std::uint32_t j) { return 1 + row * n + j % n; };
    const auto last = static_cast<std::uint32_t>(m.points.size() - 1);
    for (std::uint32_t j = 0; j < n; ++j) {
        m.faces.push_back({0, ring(0, j), ring(0, j + 1)});
        for (std::uint32_t row = 0; row + 1 < rows; ++row) m.faces.push_back({ring(row, j), ring(row + 1, j), ring(row + 1, j + 1), ring(row, j + 1)});
        m.faces.push_back({last, ring(rows - 1, j), ring(rows - 1, j + 1)});
    }
    faceOutward(m, centre);
    return m;
}

Mesh box(XYZ centre, double half) {
    Mesh m;
    for (int i = 0; i < 8; ++i) m.points.push_back(centre + half * XYZ{i & 1 ? 1. : -1, i & 2 ? 1. : -1, i & 4 ? 1. : -1});
    m.faces = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 6, 7, 3}};
    faceOutward(m, centre);
    return m;
}

struct Texture {
    std::uint16_t projection = 0, axis = 0;  // PROJ: 1 cylindrical, 2 spherical, 3 cubic
    XYZ center, size{1, 1, 1};
    double wrapWidth = 1, wrapHeight = 1;
    std::uint16_t modeWidth = 1, modeHeight = 1;  // 1 repeat, 2 mirror, 3 edge
};

// The object with surfaces "A" to "F", each smoothed up to smoothingDegrees and textured
// alike, and extra chunks (normal maps) after the polygons.
testing::Bytes lwo(const Mesh& m, double smoothingDegrees, std::optional<Texture> t = {}, const IffBuilder& extra = {}) {
    IffBuilder c;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> tags;
    for (std::uint32_t f = 0; f < m.faces.size(); ++f) tags.push_back({f, m.surfaces.empty() ? 0 : m.surfaces[f]});
    c.chunk("TAGS", testing::lwo2Tags({"A", "B", "C", "D", "E", "F"})).chunk("LAYR", testing::lwo2Layer(0, "l")).chunk("PNTS", testing::lwo2Points(m.points));
    c.chunk("POLS", testing::lwo2Polygons(m.kind, m.faces)).chunk("PTAG", testing::lwo2PolygonTags("SURF", tags)).raw(extra);
    c.chunk("CLIP", testing::lwo2StillClip(1, "picture"));
    IffBuilder surface;
    if (smoothingDegrees > 0) surface.sub("SMAN", IffBuilder().f4(smoothingDegrees * pi / 180));
    if (t) {
        IffBuilder block, tmap;
        tmap.sub("CNTR", IffBuilder().vec(t->center.x, t->center.y, t->center.z).vx(0)).sub("SIZE", IffBuilder().vec(t->size.x, t->size.y, t->size.z).vx(0));
        block.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR"))).sub("TMAP", tmap);
        block.sub("PROJ", IffBuilder().u2(t->projection)).sub("AXIS", IffBuilder().u2(t->axis)).sub("IMAG", IffBuilder().vx(1));
        block.sub("WRAP", IffBuilder().u2(t->modeWidth).u2(t->modeHeight));
        block.sub("WRPW", IffBuilder().f4(t->wrapWidth).vx(0)).sub("WRPH", IffBuilder().f4(t->wrapHeight).vx(0));
        surface.sub("BLOK", block);
    }
    for (const char* name : {"A", "B", "C", "D", "E", "F"}) c.chunk("SURF", testing::lwo2Surface(name, "", surface));
    return testing::iffForm("LWO2", c);
}

// The same in the old format: one surface with these flags (4 smooths, up to 89.5 degrees).
testing::Bytes lwob(const Mesh& m, std::uint16_t flags) {
    std::vector<testing::LwobPolygon> polygons;
    for (const auto& f : m.faces) polygons.push_back({std::vector<std::uint16_t>(f.begin(), f.end()), 1, {}});
    IffBuilder c;
    c.chunk("PNTS", testing::lwobPoints(m.points)).chunk("SRFS", testing::lwobSurfaceNames({"S"})).chunk("POLS", testing::lwobPolygons(polygons));
    return testing::lwobForm(c.chunk("SURF", testing::lwobSurface("S", IffBuilder().sub("FLAG", IffBuilder().u2(flags)))));
}

const fs::path work = fs::temp_directory_path() / ("morv3d-shading-" + std::to_string(::getpid()));
const struct RemoveWork { ~RemoveWork() { fs::remove_all(work); } } removeWork;

// The object converted to glTF.
testing::Glb convert(const fs::path& in, const std::string& name, std::vector<std::string> args = {}) {
    fs::create_directories(work);
    args.insert(args.end(), {"--to=glTF", "--destFileName=" + (work / (name + ".glb")).string(), in.string()});
    const auto result = testing::runProgram(args, work.string());
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    return testing::readGlb(work / (name + ".glb"));
}
testing::Glb convert(const testing::Bytes& bytes, const std::string& name, std::vector<std::string> args = {}) {
    return convert(testing::writeTempFile(bytes, name + ".lwo"), name, std::move(args));
}

// A corner of a written triangle in the scene's axes (glTF's z turned back).
struct Corner {
    XYZ position, normal;
    std::array<double, 2> uv{};
};

// fn(triangle's corners, its normal) for every triangle, in the scene's axes.
void forEachTriangle(const testing::Glb& glb, const std::function<void(const std::array<Corner, 3>&, const XYZ&)>& fn) {
    for (const auto& p : glb.primitives)
        for (std::size_t t = 0; t + 2 < p.indices.size(); t += 3) {
            std::array<Corner, 3> c;
            for (int k = 0; k < 3; ++k) {
                const std::uint32_t i = p.indices[t + k][0];
                c[k].position = {p.positions.at(i)[0], p.positions.at(i)[1], -p.positions.at(i)[2]};
                if (!p.normals.empty()) c[k].normal = {p.normals.at(i)[0], p.normals.at(i)[1], -p.normals.at(i)[2]};
                if (!p.uvs.empty()) c[k].uv = {p.uvs.at(i)[0], p.uvs.at(i)[1]};
            }
            // glTF's counter-clockwise front, turned back into the scene's axes.
            fn(c, normalized(cross(c[2].position - c[0].position, c[1].position - c[0].position)));
        }
}

double degreesBetween(const XYZ& a, const XYZ& b) {
    return std::acos(std::clamp(dot(normalized(a), normalized(b)), -1.0, 1.0)) * 180 / pi;
}

TEST(GltfNormals, FollowSmoothingSurfacesNormalMapsAndMirroring) {
    const XYZ far{1000.25, -2000.5, 500.75};
    const XYZ bend{std::cos(0.35), std::sin(0.35), 0};  // two quads meeting at 20 degrees along x = y = 0
    Mesh twoSurfaces{{far - XYZ{1, 0, 0}, far, far + bend, far + XYZ{-1, 0, 1}, far + XYZ{0, 0, 1}, far + bend + XYZ{0, 0, 1}}, {{0, 3, 4, 1}, {1, 4, 5, 2}}, {0, 1}};
    const Mesh oneSurface{twoSurfaces.points, twoSurfaces.faces, {0, 0}};
    const Mesh square{{far, far + XYZ{0, 1, 0}, far + XYZ{1, 1, 0}, far + XYZ{1, 0, 0}}, {{0, 1, 2, 3}}, {}};
    const XYZ tilted = normalized({0.3, -0.2, -1});  // a normal map leaning off the square's -z
    const auto map = [&](double z) {  // per point; z = -1 turns z the other way, as some programs write
        std::vector<testing::UvEntry> entries;
        for (std::uint32_t v = 0; v < 4; ++v) entries.push_back({v, 0, {tilted.x, tilted.y, z * tilted.z}});
        return IffBuilder().chunk("VMAP", testing::lwo2VertexMap("NORM", 3, "n", entries));
    };
    const auto sphere = [&](int axis) { return rings(far, 3, axis, 32, 16, false); };
    const auto radial = [](XYZ c) { return [c](const Corner& k, const XYZ&) { return k.position - c; }; };
    const auto flat = [](const Corner&, const XYZ& face) { return face; };
    const auto fixed = [](XYZ n) { return [n](const Corner&, const XYZ&) { return n; }; };
    const auto capped = [&](const Corner& k, const XYZ& face) {  // sides radial, caps flat
        return std::fabs(face.y) > 0.9 ? face : XYZ{k.position.x - far.x, 0, k.position.z - far.z};
    };
    const auto meeting = [&](bool merged) {  // the corners on the shared edge take the mean when merged
        return [&, merged](const Corner& k, const XYZ& face) {
            const bool onEdge = std::fabs(k.position.x - far.x) < 1e-3 && std::fabs(k.position.y - far.y) < 1e-3;
            return merged && onEdge ? normalized(XYZ{0, 1, 0} + XYZ{-bend.y, bend.x, 0}) : face;
        };
    };
    const std::string brush = testing::brushText({testing::brushSquare(0), testing::brushSquare(64)});
    const struct {
        const char* name;
        testing::Bytes object;
        std::vector<std::string> args;
        std::function<XYZ(const Corner&, const XYZ&)> expected;
        double degrees;
    } cases[] = {
        {"cube smoothed below 90 degrees", lwo(box(far, 1.5), 89), {}, flat, 0.05},
        {"capped cylinder", lwo(rings(far, 2, 1, 32, 1, true), 60), {}, capped, 0.05},
        {"sphere", lwo(sphere(1), 89), {}, radial(far), 2},
        {"flat sphere", lwo(sphere(1), 0), {}, flat, 0.05},
        {"old format's smoothed sphere", lwob(sphere(1), 4), {}, radial(far), 2},
        {"old format's sphere without the flag", lwob(sphere(1), 0), {}, flat, 0.05},
        {"mirrored sphere", lwo(sphere(2), 89), {"--scale=-1"}, radial(-1.0 * far), 2},
        {"two surfaces meeting", lwo(twoSurfaces, 89), {}, meeting(false), 0.05},
        {"one surface over the same edge", lwo(oneSurface, 89), {}, meeting(true), 0.05},
        {"normal map", lwo(square, 0, {}, map(1)), {}, fixed(tilted), 0.05},
        {"normal map with z turned", lwo(square, 0, {}, map(-1)), {}, fixed(tilted), 0.05},
        {"mirrored normal map", lwo(square, 0, {}, map(1)), {"--scale=-1"}, fixed(-1.0 * tilted), 0.05},
        {"brush", testing::Bytes(brush.begin(), brush.end()), {}, flat, 0.05},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        long triangles = 0;
        forEachTriangle(convert(c.object, "normals", c.args), [&](const std::array<Corner, 3>& t, const XYZ& face) {
            triangles += 1;
            for (const Corner& k : t) {
                EXPECT_NEAR(length(k.normal), 1, 1e-6);
                EXPECT_GT(dot(k.normal, face), 0) << "a normal behind its triangle";
                EXPECT_LE(degreesBetween(k.normal, c.expected(k, face)), c.degrees);
            }
        });
        EXPECT_GT(triangles, 0);
    }
}

// Where the picture is sampled at a coordinate, with the sampler's wrap mode (1 repeat, 2 mirror, 3 edge).
double sampled(double u, int mode) {
    return mode == 3 ? std::clamp(u, 0.0, 1.0) : mode == 2 ? 1 - std::fabs(u - 2 * std::floor(u / 2) - 1) : u - std::floor(u);
}

// The projection's own texture coordinates at a point: in the texture's frame
// (no rotation), u turns round the axis from the seam on the frame's -a side.
std::array<double, 2> projected(const XYZ& p, const Fields& t, double& turn, std::array<double, 2>* across = nullptr) {
    const XYZ c = RecordToXYZ(getRecordField(t, "center")), s = RecordToXYZ(getRecordField(t, "size"));
    const double q[3] = {(p.x - c.x) / s.x, (p.y - c.y) / s.y, (p.z - c.z) / s.z};
    const std::int32_t axis = findIntegerField(t, "axis").value_or(2);  // fromAxis undone
    const double a = q[(axis + 2) % 3], up = q[axis], b = q[(axis + 1) % 3];
    if (across) *across = {a, b};
    turn = std::atan2(-b, -a) / (2 * pi);
    turn -= std::floor(turn);
    const double v = getStringField(t, "projection", "") == "cylindrical"
                         ? 0.5 - up
                         : (0.5 - std::atan2(up, std::hypot(a, b)) / pi) * getRealField(t, "wrapCountHeight", 1);
    return {turn * getRealField(t, "wrapCountWidth", 1), v};
}

// How far a triangle's corners spread in the projection (u round the axis, corners
// on the axis left out; v), and whether the axis passes through the triangle.
std::array<double, 2> spread(const std::array<Corner, 3>& t, const Fields& texture, bool& pierced) {
    std::array<std::array<double, 2>, 3> q{};
    std::vector<double> turns;
    double low = 1e300, high = -1e300, turn = 0, most = 0;
    int positive = 0, negative = 0;
    for (int k = 0; k < 3; ++k) {
        const double v = projected(t[k].position, texture, turn, &q[k])[1];
        low = std::min(low, v), high = std::max(high, v);
        if (std::hypot(q[k][0], q[k][1]) > 1e-5) turns.push_back(turn);
    }
    for (int k = 0; k < 3; ++k) {
        const double side = q[k][0] * q[(k + 1) % 3][1] - q[k][1] * q[(k + 1) % 3][0];
        positive += side > 0, negative += side < 0;
    }
    pierced = positive == 0 || negative == 0;
    for (double a : turns)
        for (double b : turns) most = std::max(most, std::min(std::fabs(a - b), 1 - std::fabs(a - b)));
    return {most * getRealField(texture, "wrapCountWidth", 1), high - low};
}

// Every triangle's centre shows the projection's texel, to a hundredth of the
// picture or, near the axis, a quarter of the triangle's own spread. Centres on
// the seam and triangles the axis passes through are passed over.
void expectProjectedTexels(const fs::path& object, const testing::Glb& glb) {
    std::ostringstream quiet;
    const MorvLValue scene = readLWO2Scene(object.string(), quiet);
    const Fields texture = getSurfacesImages(scene).first.at(0).fields().find("textures")->at(0).fields();
    ASSERT_EQ(length(RecordToXYZ(getRecordField(texture, "rotation"))), 0) << "the reference here knows no rotation";
    const int modes[2] = {findIntegerField(texture, "wrapModeWidth").value_or(1), findIntegerField(texture, "wrapModeHeight").value_or(1)};
    long checked = 0;
    forEachTriangle(glb, [&](const std::array<Corner, 3>& t, const XYZ&) {
        double turn = 0;
        bool pierced = false;
        const auto want = projected((1.0 / 3) * (t[0].position + t[1].position + t[2].position), texture, turn);
        const auto spreads = spread(t, texture, pierced);
        if (std::min(turn, 1 - turn) < 0.002 || pierced) return;
        ++checked;
        for (int k = 0; k < 2; ++k) {
            const double got = (t[0].uv[k] + t[1].uv[k] + t[2].uv[k]) / 3;
            const double off = std::fabs(sampled(got, modes[k]) - sampled(want[k], modes[k]));
            const double tolerance = std::max(0.01, 0.25 * std::max(spreads[0], spreads[1]));
            EXPECT_LE(modes[k] == 1 ? std::min(off, 1 - off) : off, tolerance) << "triangle at turn " << turn << (k ? ": v " : ": u ") << got << " shows " << sampled(got, modes[k])
                                 << ", the projection " << sampled(want[k], modes[k]);
        }
    });
    EXPECT_GT(checked, 0);
}

TEST(GltfProjections, EveryTriangleCentreShowsTheProjectionsTexel) {
    // Far from the origin the float points lose the hair across the seam and
    // the float step off the axis; at the origin (off > 0) they keep them.
    const XYZ far{-300.5, 700.25, 120};
    const struct {
        const char* name;
        std::uint16_t projection, axis;  // 1 cylindrical, 2 spherical
        double off, wrapWidth, wrapHeight;
        std::uint16_t modeWidth, modeHeight;
    } cases[] = {
        {"sphere about y", 2, 1, 0, 1, 1, 1, 1},
        {"sphere about x, poles a float step off", 2, 0, 4.4e-8, 1, 1, 1, 1},
        {"sphere about z, poles a float step off", 2, 2, 6e-8, 1, 1, 1, 1},
        {"sphere, seam a hair across, 1.5 wraps mirrored", 2, 1, 4.4e-8, 1.5, 1, 2, 1},
        {"sphere, 0.5 wraps to the edge", 2, 1, 4.4e-8, 0.5, 1, 3, 3},
        {"sphere, 2 by 2 wraps", 2, 0, 0, 2, 2, 1, 1},
        {"sphere, 2.5 by 1.5 wraps mirrored", 2, 2, 0, 2.5, 1.5, 2, 2},
        {"cylinder about y", 1, 1, 0, 1, 1, 1, 1},
        {"cylinder about x, 1.5 wraps", 1, 0, 0, 1.5, 1, 1, 1},
        {"cylinder about z, 0.75 wraps mirrored", 1, 2, 0, 0.75, 1, 2, 1},
        {"cylinder, 1.25 wraps to the edge", 1, 1, 0, 1.25, 1, 3, 3},
        {"cylinder, seam a hair across, caps a float step off, 0.5 wraps", 1, 1, 4.4e-8, 0.5, 1, 1, 1},
        {"cylinder about x, seam a hair across, 1.5 wraps to the edge", 1, 0, 4.4e-8, 1.5, 1, 3, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const XYZ centre = c.off > 0 ? XYZ{} : far;  // a cylinder one size tall
        const Texture t{c.projection, c.axis, centre, fromAxis(c.axis, 4, c.projection == 1 ? 8 : 4, 4), c.wrapWidth, c.wrapHeight, c.modeWidth, c.modeHeight};
        const fs::path object = testing::writeTempFile(lwo(rings(centre, 2, c.axis, 32, 16, c.projection == 1, c.off), 0, t), "projection.lwo");
        expectProjectedTexels(object, convert(object, "projection"));
    }
    // The real earth objects (a picture named on their author's machine: not needed here).
    for (const fs::path& object : testing::lightWaveObjects()) {
        const std::string name = object.filename().string();
        if (!name.starts_with("earth_cylindrical") && !name.starts_with("earth_spherical")) continue;
        SCOPED_TRACE(name);
        expectProjectedTexels(object, convert(object, name));
    }
}

// A cubic projection is the planar one along the frame's axis each face turns to most.
TEST(GltfProjections, CubicIsPlanarAlongTheAxisEachFaceTurnsTo) {
    const Mesh m = rings({5.5, -3.25, 2}, 2, 1, 10, 5, false);  // no face halfway between two axes
    std::vector<std::array<double, 2>> planar[3];  // per axis: each corner's coordinates
    for (std::uint16_t axis = 0; axis < 3; ++axis)
        forEachTriangle(convert(lwo(m, 0, Texture{0, axis, {5, -3, 2.5}, {3, 2, 4}}), "planar"), [&](const std::array<Corner, 3>& c, const XYZ&) {
            for (const Corner& k : c) planar[axis].push_back(k.uv);
        });
    const testing::Glb cubic = convert(lwo(m, 0, Texture{3, 0, {5, -3, 2.5}, {3, 2, 4}}), "cubic");
    std::size_t at = 0;
    forEachTriangle(cubic, [&](const std::array<Corner, 3>& c, const XYZ& face) {
        const double along[3] = {std::fabs(face.x), std::fabs(face.y), std::fabs(face.z)};
        const auto axis = static_cast<std::size_t>(std::max_element(along, along + 3) - along);
        for (const Corner& k : c) {
            ASSERT_LT(at, planar[axis].size());
            const auto& want = planar[axis][at++];
            EXPECT_LT(std::hypot(k.uv[0] - want[0], k.uv[1] - want[1]), 1e-5);
        }
    });
    EXPECT_EQ(at, planar[0].size());
}

// SubPatch cages become their limit surface, refined as one mesh across their surfaces.
TEST(GltfSubdivision, CagesAreRefinedAcrossSurfacesWithLimitNormals) {
    Mesh cage = box({3.5, -1.25, 7}, 1);
    cage.kind = "PTCH";
    const auto corners = [](const testing::Glb& glb) {
        std::vector<std::array<double, 3>> out;
        forEachTriangle(glb, [&](const std::array<Corner, 3>& t, const XYZ& face) {
            for (const Corner& k : t) {
                EXPECT_LT(degreesBetween(k.normal, face), 25) << "a normal off the limit surface";
                out.push_back({k.position.x, k.position.y, k.position.z});
            }
        });
        std::sort(out.begin(), out.end());
        return out;
    };
    const auto one = corners(convert(lwo(cage, 0), "cage"));
    cage.surfaces = {0, 1, 2, 3, 4, 5};
    EXPECT_EQ(corners(convert(lwo(cage, 0), "cage")), one);
    EXPECT_EQ(one.size(), 6 * 64 * 2 * 3u);  // level 3: 64 quads a face
    EXPECT_EQ(corners(convert(lwo(cage, 0), "cage", {"--subdivisionLevel=0"})).size(), 6 * 2 * 3u);
    cage.faces.push_back(cage.faces[0]), cage.surfaces.push_back(0);  // an edge of three faces: refused, polygons
    EXPECT_EQ(corners(convert(lwo(cage, 0), "cage")).size(), 7 * 2 * 3u);
    const fs::path real = fs::path("/usr/share/assimp/models/LWO/LWO2/Subdivision.lwo");
    if (fs::exists(real)) {
        EXPECT_EQ(corners(convert(real, "real")).size(), 3072 * 3u);  // 24 cage quads, 64 each
    }
}

}  // namespace
}  // namespace morv
