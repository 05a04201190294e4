// Converts every LightWave object of Debian's assimp-testmodels package to an
// Unreal brush and reads the brush back with the tests' own scanner: layout
// and numbers, polygon sizes, convexity and flatness of every polygon, Normals
// along the written order, pieces that add up to their face, and texture
// placements that show the source's texels at every written vertex.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "common/BrushScan.hpp"
#include "common/LightWaveScan.hpp"
#include "common/RunProgram.hpp"
#include "driver/Morv3DConverter.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLCoordTransforms.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

XYZ sub(const XYZ& a, const XYZ& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double norm1(const XYZ& a) { return std::fabs(a.x) + std::fabs(a.y) + std::fabs(a.z); }

// How the texels of a surface's polygons are known: from the corners' UVs of
// one slot, or from the inverse of a planar projection's placement.
struct Texels {
    enum { None, Uv, Planar } kind = None;
    std::int32_t slot = -1;
    Matrix4x4 toTexture;
};

Texels texelsOf(const MorvLValue& surface) {
    const MorvLValue textures = requireField(surface.fields(), "textures");
    for (std::size_t i = 0; i < textures.size(); ++i) {
        const Fields t = textures.at(i).fields();
        const std::string projection = getStringField(t, "projection", "");
        if (getStringField(t, "textureChannel", "") != "color" || (projection != "planar" && projection != "st"))
            continue;
        Texels texels;
        if (projection == "st") {
            texels.kind = Texels::Uv;
            texels.slot = forceGetIntegerField(t, "stIndex");
        } else {
            texels.kind = Texels::Planar;
            texels.toTexture = Matrix4x4Mult::invert(transformToMatrix4x4(requireField(t, "transforms")));
        }
        return texels;
    }
    return {};
}

// Of a face's corners, the one at p (written points are rounded to 6 decimals).
std::optional<std::size_t> cornerAt(const MeshView& mesh, std::size_t face, const XYZ& p) {
    const auto corners = mesh.corners(face);
    for (std::size_t k = 0; k < corners.size(); ++k) {
        const XYZ d = sub(mesh.point(static_cast<std::size_t>(corners[k])), p);
        if (norm1(d) < 1e-5) return mesh.firstCorner(face) + k;
    }
    return std::nullopt;
}

// p lies on an edge of the face: a point added where its outline crosses itself.
bool onAnEdge(const std::vector<XYZ>& face, const XYZ& p) {
    for (std::size_t i = 0; i < face.size(); ++i) {
        const XYZ a = face[i], d = sub(face[(i + 1) % face.size()], a), w = sub(p, a);
        const double t = std::clamp(dot(w, d) / dot(d, d), 0.0, 1.0);
        if (norm1(sub(w, {t * d.x, t * d.y, t * d.z})) < 1e-4) return true;
    }
    return false;
}

enum class UvFit { Unplaceable, Affine, NotAffine };

// Whether one affine map of the polygon's plane gives every vertex its texel:
// fitted on the three vertices with texels that span the largest texture
// triangle, then tried on the rest. Unplaceable: no such three vertices.
UvFit fitOf(const std::vector<XYZ>& points, const std::vector<std::optional<ST>>& want) {
    std::size_t best[3] = {0, 0, 0};
    double bestArea = 0;
    const std::size_t n = points.size();
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            for (std::size_t k = j + 1; k < n; ++k) {
                if (!want[i] || !want[j] || !want[k]) continue;
                const double a = std::fabs((want[j]->s - want[i]->s) * (want[k]->t - want[i]->t) -
                                           (want[j]->t - want[i]->t) * (want[k]->s - want[i]->s));
                if (a > bestArea) bestArea = a, best[0] = i, best[1] = j, best[2] = k;
            }
    if (bestArea < 1e-9) return UvFit::Unplaceable;
    const XYZ e1 = sub(points[best[1]], points[best[0]]), e2 = sub(points[best[2]], points[best[0]]);
    const double a11 = dot(e1, e1), a12 = dot(e1, e2), a22 = dot(e2, e2), det = a11 * a22 - a12 * a12;
    if (!(det > 0)) return UvFit::NotAffine;
    const ST& w0 = *want[best[0]];
    const ST& w1 = *want[best[1]];
    const ST& w2 = *want[best[2]];
    for (std::size_t i = 0; i < n; ++i) {
        if (!want[i]) return UvFit::NotAffine;
        const XYZ d = sub(points[i], points[best[0]]);
        const double b1 = dot(d, e1), b2 = dot(d, e2);
        const double x = (a22 * b1 - a12 * b2) / det, y = (a11 * b2 - a12 * b1) / det;
        const double s = w0.s + x * (w1.s - w0.s) + y * (w2.s - w0.s), t = w0.t + x * (w1.t - w0.t) + y * (w2.t - w0.t);
        if (std::fabs(s - want[i]->s) > 1e-5 || std::fabs(t - want[i]->t) > 1e-5) return UvFit::NotAffine;
    }
    return UvFit::Affine;
}

bool isConvexIn(const testing::BrushPolygon& p, const XYZ& n) {
    const std::size_t m = p.vertices.size();
    for (std::size_t i = 0; i < m; ++i) {
        const XYZ a = sub(p.vertices[(i + 1) % m], p.vertices[i]);
        const XYZ b = sub(p.vertices[(i + 2) % m], p.vertices[(i + 1) % m]);
        const XYZ c{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
        if (dot(c, n) < -1e-6 * testing::length(a) * testing::length(b) - 1e-9) return false;
    }
    return true;
}

// Returns the number of texels checked.
std::size_t checkBrushAgainstSource(const std::vector<testing::BrushPolygon>& brush, const MorvLValue& scene) {
    const MeshView mesh(requireField(scene.fields(), "mesh"));
    const MorvLValue surfaces = requireField(scene.fields(), "surfaces");
    std::size_t next = 0, checkedTexels = 0;
    for (std::size_t f = 0; f < mesh.faceCount(); ++f) {
        std::vector<XYZ> face;
        for (auto v : mesh.corners(f)) {
            const XYZ p = mesh.point(static_cast<std::size_t>(v));
            if (face.empty() || !(face.back() == p)) face.push_back(p);
        }
        while (face.size() > 1 && face.back() == face.front()) face.pop_back();
        const XYZ faceNormal = testing::newell(face);
        const double tolerance = 1e-6 * testing::length(faceNormal) + 1e-4;
        // The polygons of this face follow in order until their normals add up to the face's.
        XYZ sum{};
        std::size_t pieces = 0;
        bool crossing = false;  // a face cut at its crossings covers where its winding is not zero
        while (next < brush.size() && (crossing || testing::length(sub(sum, faceNormal)) > tolerance)) {
            const auto& p = brush[next];
            bool own = true;
            for (const XYZ& v : p.vertices) {
                const bool corner = cornerAt(mesh, f, v).has_value();
                crossing = crossing || (!corner && onAnEdge(face, v));
                own = own && (corner || onAnEdge(face, v));
            }
            if (!own) break;
            const XYZ n = testing::newell(p.vertices);
            sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
            ++next;
            ++pieces;
        }
        EXPECT_TRUE(crossing || testing::length(sub(sum, faceNormal)) <= tolerance) << "face " << f << " is not covered";
        const Texels texels = texelsOf(surfaces.at(static_cast<std::size_t>(*mesh.surface(f))));
        for (std::size_t k = next - pieces; k < next; ++k) {
            const auto& p = brush[k];
            SCOPED_TRACE("face " + std::to_string(f) + ", polygon " + std::to_string(k));
            EXPECT_GE(p.vertices.size(), 3u);
            EXPECT_LE(p.vertices.size(), 16u);
            const XYZ n = testing::newell(p.vertices);
            const double len = testing::length(n);
            EXPECT_NEAR(testing::length(p.normal), 1.0, 2e-6);
            EXPECT_GT(dot(p.normal, n) / len, 1 - 1e-6);
            {  // convex and flat
                double extent = 0, off = 0;
                for (const XYZ& v : p.vertices) {
                    extent = std::max(extent, testing::length(sub(v, p.vertices[0])));
                    off = std::max(off, std::fabs(dot(sub(v, p.vertices[0]), n) / len));
                }
                EXPECT_TRUE(isConvexIn(p, n));
                EXPECT_LE(off, 1e-3 * extent + 1e-5) << "not flat";
            }
            // The texel each written vertex must show, where the source gives one.
            std::vector<std::optional<ST>> want;
            for (const XYZ& v : p.vertices) {
                if (texels.kind == Texels::Uv) {
                    const auto corner = cornerAt(mesh, f, v);
                    want.push_back(corner ? mesh.cornerSt(static_cast<std::size_t>(texels.slot), *corner) : std::nullopt);
                } else if (texels.kind == Texels::Planar) {
                    const XYZ q = Matrix4x4::Trans::transformPoint(texels.toTexture, v);
                    want.push_back(ST{q.x, q.y});
                } else {
                    want.emplace_back();
                }
            }
            std::size_t hits = 0, given = 0;
            for (std::size_t i = 0; i < p.vertices.size(); ++i) {
                if (!want[i]) continue;
                ++given;
                const XYZ d = sub(p.vertices[i], p.origin);
                const double scale = norm1(p.u) + norm1(p.v);
                const double slack = 1e-3 + 1e-6 * scale + 5e-7 * norm1(d) * scale;
                hits += std::fabs(dot(d, p.u) - want[i]->s * 512) <= slack &&
                        std::fabs(dot(d, p.v) - (1 - want[i]->t) * 512) <= slack;
            }
            checkedTexels += hits;
            // UVs that no affine map of the plane can follow (a quad's corners
            // of a sphere map) are met at three vertices; all others everywhere.
            const UvFit fit = fitOf(p.vertices, want);
            if (fit == UvFit::Affine) {
                EXPECT_EQ(hits, given);
            } else if (fit == UvFit::NotAffine) {
                EXPECT_GE(hits, 3u);
            }
        }
    }
    EXPECT_EQ(next, brush.size()) << "polygons that belong to no face";
    return checkedTexels;
}

TEST(RealFiles, EveryPackagedLightWaveObjectBecomesABrushThatMatchesIt) {
    const auto objects = testing::lightWaveObjects();
    if (objects.empty()) GTEST_SKIP() << "assimp-testmodels is not installed";
    const fs::path work = fs::temp_directory_path() / ("morv3d-realbrushes-" + std::to_string(::getpid()));
    fs::create_directories(work);
    ConversionOptions options;
    options.to = "Unreal.T3D";
    options.forceTextureResolution = true;
    std::size_t texels = 0;
    for (const fs::path& source : objects) {
        SCOPED_TRACE(source.string());
        const auto run = testing::runProgram(
            {"--to=Unreal.T3D", "--forceTextureResolution=true", "--destFileName=out.t3d", source.string()}, work.string());
        ASSERT_FALSE(run.signaled);
        ASSERT_EQ(run.status, 0) << run.err;
        std::ifstream in(work / "out.t3d", std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::ostringstream messages;
        const MorvLValue scene = testing::formType(source) == "LWO2" ? readLWO2Scene(source.string(), messages)
                                                                      : readLWOBScene(source.string(), messages);
        texels += checkBrushAgainstSource(testing::scanBrush(text), modifyCanonical(scene, options, {512, 512}, messages));
    }
    EXPECT_GE(objects.size(), 40u);
    EXPECT_GT(texels, 1000u);
    fs::remove_all(work);
}

}  // namespace
}  // namespace morv
