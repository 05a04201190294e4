#include "exporters/renderman/ExportRI.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <numeric>
#include <optional>
#include <ostream>
#include <utility>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "exporters/PolygonMesh.hpp"
#include "exporters/renderman/RenderManInterface.hpp"
#include "exporters/renderman/ShaderGeneration.hpp"
#include "exporters/renderman/ShadingLanguageChecker.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "support/NeutralFileName.hpp"
#include "support/OutputFile.hpp"

namespace morv {

namespace {

namespace fs = std::filesystem;
namespace SG = ShaderGeneration;

constexpr std::size_t maxIdentifierLength = 200;
// A bump lookup moves the point by its value times opacity times amplitude
// divided by this.
constexpr double bumpDivisor = 35.0;
constexpr std::uint32_t unassigned = std::numeric_limits<std::uint32_t>::max();

bool reservedForShaders(const std::string& name) {
    return SL::isReservedWord(name) || SL::isBuiltInFunction(name) || name == "PlanarTextureMap" ||
           name == "UVTextureMap";
}

// "nan" and "inf" have no text in RIB or in the shading language.
void requireFinite(double value, const std::string& what) {
    if (!std::isfinite(value))
        throw Error(what + " is " + realToText(value) +
                    ", which is not a finite number; RIB files and shaders hold finite numbers only");
}

std::string surfaceLabel(const std::string& name) { return "Surface \"" + printableBytes(name) + "\""; }

std::string surfaceName(const MorvLValue& surface) {
    if (!surface.isRecord()) throw Error("Internal error: Expected RECORD type not found in ExportRI.generateSurface!\n");
    const auto name = surface.fields().find("name");
    if (!name) throw Error("Internal Error: Expected name not found for surface description!\n");
    if (name->kind() != Kind::STRING) throw Error("Internal Error: Expected surface name not found!\n");
    return name->asString();
}

// ---- Textures ----

struct TextureFile {
    std::string picture;
    std::string texture;
};

// The picture an image texture reads and the texture file made from it: the
// picture's name with ".tex" appended, so that the two never coincide.
TextureFile makeTextureParam(const MorvLValue& images, std::int32_t index, const std::string& platform) {
    if (index < 0 || static_cast<std::size_t>(index) >= images.size() || !images.at(static_cast<std::size_t>(index)).isRecord())
        throw Error("Internal Error: Expected texture image index not found in ExportRI.makeTextureParam!\n");
    const Fields image = images.at(static_cast<std::size_t>(index)).fields();
    std::string picture = neutralToPlatform(platform, requireField(image, "fileName"));
    return {picture, picture + ".tex"};
}

std::optional<SG::Channel> channelOf(const std::string& name) {
    if (name == "color") return SG::Channel::Color;
    if (name == "diffusion") return SG::Channel::Diffusion;
    if (name == "specularity") return SG::Channel::Specularity;
    if (name == "luminosity") return SG::Channel::Luminosity;
    if (name == "transparency") return SG::Channel::Transparency;
    if (name == "bump") return SG::Channel::Bump;
    return std::nullopt;  // reflectivity, translucency and unknown channels have no lookup
}

struct Lookup {
    SG::TextureLookup lookup;
    std::int32_t image;
};

// A string field of a texture; a missing one is reported with message and read as absent.
std::optional<std::string> reportedString(const Fields& t, const char* name, const char* message, std::ostream& out) {
    if (!t.find(name)) {
        out << message;
        return std::nullopt;
    }
    return getStringField(t, name, "");
}

// The lookup a texture contributes to its surface's shader, if any: an
// enabled image texture of a known channel with a planar or UV projection.
std::optional<Lookup> readTexture(const MorvLValue& texture, const std::string& surface, const MorvLValue& images,
                                  const std::string& platform, std::ostream& messages) {
    if (!texture.isRecord()) throw Error("Internal error: Expected RECORD type not found in ExportRI.generateSurface!\n");
    const Fields t = texture.fields();
    const auto channel = reportedString(t, "textureChannel", "Expected field textureChannel not found in surface data!\n", messages);
    const std::string space =
        reportedString(t, "coordinateSystem", "Internal Error: Expected field coordinateSystem not found in texture data!\n",
                       messages)
            .value_or("unkown");
    const auto projection = reportedString(t, "projection", "Internal Error: Expected field projection not found in texture data!\n", messages);
    MorvLValue transforms = MorvLValue::List({});
    if (t.find("transforms"))
        transforms = forceGetListField(t, "transforms");
    else
        messages << "Internal Error: Expected field transforms not found in texture data!\n";
    const auto image = findIntegerField(t, "image");
    if (!t.find("image")) messages << "Internal Error: Expected field image not found in texture data!\n";

    if (!channel || !projection || !image || *image < 0 || !getBooleanField(t, "enabled", true)) return std::nullopt;
    const auto kind = channelOf(*channel);
    if (!kind || (*projection != "planar" && *projection != "st")) return std::nullopt;

    Lookup result{{}, *image};
    SG::TextureLookup& l = result.lookup;
    l.channel = *kind;
    l.planar = *projection == "planar";
    l.textureFile = makeTextureParam(images, *image, platform).texture;
    const std::string label = surfaceLabel(surface) + ": a texture's ";
    const double opacity = getRealField(t, "opacity", 1.0);
    requireFinite(opacity, label + "opacity");
    l.value = opacity;
    if (l.channel == SG::Channel::Bump) {
        const double amplitude = getRealField(t, "value", 1.0);
        requireFinite(amplitude, label + "amplitude");
        l.value = opacity * amplitude / bumpDivisor;
    }
    if (l.planar) {
        // A texture in an unknown space is placed in object space, where the
        // renderer would otherwise keep the point in camera space.
        l.space = space == "world" ? "world" : "object";
        // The transforms carry texture space to object space for column
        // vectors; the shader needs the inverse, transposed for row vectors.
        const Matrix4x4 m = transformToMatrix4x4(invertTransformList(transforms));
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column) {
                const double v = m.get(column, row);
                requireFinite(v, label + "placement matrix");
                l.xForm[static_cast<std::size_t>(row * 4 + column)] = v;
            }
    } else {
        const auto set = findIntegerField(t, "stIndex");
        if (!set) {
            messages << "Internal Error: Expected field stIndex not found in texture data!\n";
            return std::nullopt;
        }
        if (*set < 0) return std::nullopt;  // no UV map: nothing to look up with
        l.stIndex = *set;
    }
    return result;
}

// ---- Surfaces ----

struct SurfacePlan {
    SG::SurfaceShader shader;
    Color color;
    Color opacity;
    std::vector<std::int32_t> images;  // per lookup
    std::vector<int> sets;             // coordinate sets read
    std::string base;                  // the shader's name before it is made unique
    int attempt = 0;                   // which of the names ShaderFiles tries the shader has
    std::string text;                  // the checked shader source, under the shader's name
};

// The first part of generateSurface: the surface's values and textures.
SurfacePlan planSurface(const MorvLValue& surface, const std::string& base, const MorvLValue& images,
                        const std::string& platform, std::ostream& messages) {
    const std::string name = surfaceName(surface);
    const Fields f = surface.fields();
    SurfacePlan plan;
    plan.base = base;
    plan.color = getColorField(f, "color", {1.0, 1.0, 1.0});
    plan.shader.kd = getRealField(f, "diffusion", 1.0);
    plan.shader.ks = getRealField(f, "specularity", 0.0);
    plan.shader.luminosity = getRealField(f, "luminosity", 0.0);
    const double transparency = getRealField(f, "transparency", 0.0);
    const std::string label = surfaceLabel(name) + ": its ";
    requireFinite(plan.color.r, label + "red");
    requireFinite(plan.color.g, label + "green");
    requireFinite(plan.color.b, label + "blue");
    requireFinite(plan.shader.kd, label + "diffusion");
    requireFinite(plan.shader.ks, label + "specularity");
    requireFinite(plan.shader.luminosity, label + "luminosity");
    requireFinite(transparency, label + "transparency");
    const double opacity = std::clamp(1.0 - transparency, 0.0, 1.0);
    plan.opacity = {opacity, opacity, opacity};

    const MorvLValue textures = getListField(f, "textures", MorvLValue::List({}));
    for (std::size_t i = 0; i < textures.size(); ++i)
        if (auto l = readTexture(textures.at(i), name, images, platform, messages)) {
            plan.shader.lookups.push_back(std::move(l->lookup));
            plan.images.push_back(l->image);
        }
    plan.sets = SG::coordinateSets(plan.shader);
    return plan;
}

// The shader of a plan under the name given: built, checked and printed.
void nameShader(SurfacePlan& plan, const std::string& name) {
    plan.shader.name = name;
    SL::Program program = SG::buildSurfaceShader(plan.shader);
    SL::check(program);
    plan.text.clear();
    SL::print(program, plan.text);
}

// ---- Subdivision cages across surfaces ----

// The cage faces (subPatch and catmullClark) of a mesh joined into connected
// cages: faces that share a point belong to one cage, whatever their surfaces.
// A surface border inside a cage is no boundary of its smooth surface, so each
// surface writes every cage it has faces in whole, and marks the faces of the
// other surfaces as holes.
class CageParts {
public:
    CageParts(const MeshView& view, const FaceGroups& groups, std::size_t groupCount);

    // Whether any cage face of the group lies in a cage with faces of another group.
    bool shared(std::span<const std::uint32_t> cageFaces) const {
        return std::any_of(cageFaces.begin(), cageFaces.end(), [this](std::uint32_t f) { return mixed_[partOf_[f]]; });
    }
    // Every face of the cages that the given faces lie in, in face order.
    void wholeCages(std::span<const std::uint32_t> cageFaces, std::vector<std::uint32_t>& out);
    std::uint32_t group(std::uint32_t face) const { return groupOf_[face]; }

private:
    std::vector<std::uint32_t> groupOf_, partOf_;  // per face; unassigned for plain polygons
    std::vector<std::uint32_t> partFirst_, partFaces_;  // part p holds partFaces_[partFirst_[p] .. partFirst_[p + 1])
    std::vector<bool> mixed_;                      // per part: faces of more than one group
    std::vector<bool> taken_;                      // per part: scratch of wholeCages
};

std::uint32_t rootOf(std::vector<std::uint32_t>& parent, std::uint32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
}

CageParts::CageParts(const MeshView& view, const FaceGroups& groups, std::size_t groupCount)
    : groupOf_(view.faceCount(), unassigned), partOf_(view.faceCount(), unassigned) {
    std::vector<std::uint32_t> parent(view.vertexCount());
    std::iota(parent.begin(), parent.end(), 0u);
    for (std::size_t g = 0; g < groupCount; ++g)
        for (std::uint32_t f : groups.of(g)) {
            if (view.faceKind(f) == FaceKind::Polygon) continue;
            groupOf_[f] = static_cast<std::uint32_t>(g);
            const auto corners = view.corners(f);
            const std::uint32_t first = rootOf(parent, static_cast<std::uint32_t>(corners[0]));
            for (std::int32_t v : corners.subspan(1)) parent[rootOf(parent, static_cast<std::uint32_t>(v))] = first;
        }
    // Parts numbered in the order of their first face; faces sorted into them by counting.
    std::vector<std::uint32_t> number(view.vertexCount(), unassigned);  // per root
    for (std::uint32_t f = 0; f < view.faceCount(); ++f) {
        if (groupOf_[f] == unassigned) continue;
        std::uint32_t& n = number[rootOf(parent, static_cast<std::uint32_t>(view.corners(f)[0]))];
        if (n == unassigned) {
            n = static_cast<std::uint32_t>(partFirst_.size());
            partFirst_.push_back(0);
            mixed_.push_back(false);
        }
        partOf_[f] = n;
        ++partFirst_[n];
    }
    std::vector<std::uint32_t> firstGroup(partFirst_.size(), unassigned);
    std::uint32_t sum = 0;
    for (std::uint32_t& count : partFirst_) sum += std::exchange(count, sum);
    partFirst_.push_back(sum);
    partFaces_.resize(sum);
    std::vector<std::uint32_t> fill(partFirst_.begin(), partFirst_.end() - 1);
    for (std::uint32_t f = 0; f < view.faceCount(); ++f) {
        const std::uint32_t p = partOf_[f];
        if (p == unassigned) continue;
        partFaces_[fill[p]++] = f;
        if (firstGroup[p] == unassigned) firstGroup[p] = groupOf_[f];
        if (firstGroup[p] != groupOf_[f]) mixed_[p] = true;
    }
    taken_.assign(mixed_.size(), false);
}

void CageParts::wholeCages(std::span<const std::uint32_t> cageFaces, std::vector<std::uint32_t>& out) {
    out.clear();
    std::vector<std::uint32_t> parts;
    for (std::uint32_t f : cageFaces)
        if (!taken_[partOf_[f]]) {
            taken_[partOf_[f]] = true;
            parts.push_back(partOf_[f]);
        }
    for (std::uint32_t p : parts) {
        out.insert(out.end(), partFaces_.begin() + partFirst_[p], partFaces_.begin() + partFirst_[p + 1]);
        taken_[p] = false;
    }
    std::sort(out.begin(), out.end());
}

// ---- Writing ----

class SceneWriter {
public:
    SceneWriter(const MeshView& view, std::string& out, OutputFile& file)
        : view_(view), renumbered_(view.vertexCount(), unassigned) {
        rib_.begin(out, [&file] { file.flushIfFull(); });
    }

    RI::Writer& rib() { return rib_; }

    // A coordinate set is written per corner when any corner of the surface
    // carries its own coordinates for it, per point otherwise.
    std::vector<bool> perCorner(const SurfacePlan& plan, std::span<const std::uint32_t> faces) const {
        std::vector<bool> result(plan.sets.size(), false);
        if (!view_.hasCornerSts()) return result;
        for (std::size_t i = 0; i < plan.sets.size(); ++i) {
            const auto slot = static_cast<std::size_t>(plan.sets[i]);
            for (std::size_t k = 0; k < faces.size() && !result[i]; ++k) {
                const std::size_t first = view_.firstCorner(faces[k]), end = first + view_.corners(faces[k]).size();
                for (std::size_t c = first; c < end && !result[i]; ++c) result[i] = view_.cornerOwnSt(slot, c).has_value();
            }
        }
        return result;
    }

    // The surface statements of generateSurface.
    void surfaceStatements(const SurfacePlan& plan, const std::vector<bool>& perCorner) {
        const RI::Token& kd = rib_.declare("Kd", "float");
        const RI::Token& ks = rib_.declare("Ks", "float");
        const RI::Token& luminosity = rib_.declare("luminosity", "float");
        for (std::size_t i = 0; i < plan.sets.size(); ++i) {
            const char* type = perCorner[i] ? "facevarying float" : "vertex float";
            rib_.declare("s" + std::to_string(plan.sets[i]), type);
            rib_.declare("t" + std::to_string(plan.sets[i]), type);
        }
        RI::ParamList params{{&kd, RI::Value::ofReal(plan.shader.kd)},
                             {&ks, RI::Value::ofReal(plan.shader.ks)},
                             {&luminosity, RI::Value::ofReal(plan.shader.luminosity)}};
        for (std::size_t i = 0; i < plan.shader.lookups.size(); ++i) {
            const RI::Token& name = rib_.declare("textureName" + std::to_string(i), "string");
            params.push_back({&name, RI::Value::ofString(plan.shader.lookups[i].textureFile)});
        }
        rib_.color(plan.color);
        rib_.opacity(plan.opacity);
        rib_.surface(plan.shader.name, params);
    }

    // The faces of one surface (group): plain polygons in one
    // PointsGeneralPolygons, the faces of subdivision cages in one
    // SubdivisionMesh, each in face order. cages joins the cage faces of all
    // surfaces; it is null when the mesh has none.
    void exportFaces(const std::vector<int>& sets, std::span<const std::uint32_t> faces,
                     const std::vector<bool>& perCorner, CageParts* cages, std::uint32_t group) {
        if (view_.kindRuns().size() <= 1) {  // all of one kind
            const bool polygons = view_.kindRuns().empty() || view_.kindRuns().front().kind == FaceKind::Polygon;
            polygons ? exportPackedMesh(sets, faces, perCorner) : exportCage(sets, faces, perCorner, cages, group);
            return;
        }
        polygons_.clear();
        cages_.clear();
        for (std::uint32_t f : faces) (view_.faceKind(f) == FaceKind::Polygon ? polygons_ : cages_).push_back(f);
        exportPackedMesh(sets, polygons_, perCorner);
        exportCage(sets, cages_, perCorner, cages, group);
    }

    void exportPackedMesh(const std::vector<int>& sets, std::span<const std::uint32_t> faces,
                          const std::vector<bool>& perCorner) {
        withPoints(sets, faces, perCorner, [&](const RI::ParamList& params) {
            rib_.pointsGeneralPolygons(
                [&](const RI::IntSink& sink) {
                    for (std::size_t k = 0; k < faces.size(); ++k) sink(1);
                },
                cornerCounts(faces), cornerPoints(faces), params);
        });
    }

    // A renderer draws the cage's smooth surface; "interpolateboundary" keeps
    // an open cage's border on it instead of letting it shrink away. A cage
    // that also holds faces of other surfaces is written whole, those faces
    // tagged "hole", so that the surface border stays smooth.
    void exportCage(const std::vector<int>& sets, std::span<const std::uint32_t> faces,
                    const std::vector<bool>& perCorner, CageParts* cages, std::uint32_t group) {
        std::vector<RI::Writer::Tag> tags{{&rib_.token("interpolateboundary"), {}}};
        if (cages && cages->shared(faces)) {
            cages->wholeCages(faces, whole_);
            faces = whole_;
            std::vector<std::uint32_t> holes;
            for (std::size_t k = 0; k < faces.size(); ++k)
                if (cages->group(faces[k]) != group) holes.push_back(static_cast<std::uint32_t>(k));
            tags.push_back({&rib_.token("hole"), std::move(holes)});
        }
        withPoints(sets, faces, perCorner, [&](const RI::ParamList& params) {
            rib_.subdivisionMesh(rib_.token("catmull-clark"), cornerCounts(faces), cornerPoints(faces), tags, params);
        });
    }

private:
    // Calls request(params) for the given faces, whose points (those they
    // use, renumbered from 0 in the order of first use) and texture
    // coordinates the parameters hold.
    template <class Request>
    void withPoints(const std::vector<int>& sets, std::span<const std::uint32_t> faces,
                    const std::vector<bool>& perCorner, Request&& request) {
        if (faces.empty()) return;
        used_.clear();
        for (std::uint32_t f : faces)
            for (std::int32_t v : view_.corners(f)) {
                std::uint32_t& n = renumbered_[static_cast<std::size_t>(v)];
                if (n == unassigned) {
                    n = static_cast<std::uint32_t>(used_.size());
                    used_.push_back(static_cast<std::uint32_t>(v));
                }
            }

        RI::ParamList params{{&rib_.token("P"), RI::Value::pointList([this](const RI::PointSink& sink) {
                                  for (std::uint32_t v : used_) {
                                      const XYZ p = view_.point(v);
                                      checkVertexCoordinates(p, v, "a RIB file");
                                      sink(p);
                                  }
                              })}};
        for (std::size_t i = 0; i < sets.size(); ++i)
            for (bool isT : {false, true}) {
                std::string name(1, isT ? 't' : 's');
                name += std::to_string(sets[i]);
                params.push_back({&rib_.token(name), RI::Value::realList(coordinates(sets[i], isT, perCorner[i], faces))});
            }
        request(params);
        for (std::uint32_t v : used_) renumbered_[v] = unassigned;
    }

    RI::IntSource cornerCounts(std::span<const std::uint32_t> faces) const {
        return [this, faces](const RI::IntSink& sink) {
            for (std::uint32_t f : faces) sink(static_cast<std::int64_t>(view_.corners(f).size()));
        };
    }
    RI::IntSource cornerPoints(std::span<const std::uint32_t> faces) const {
        return [this, faces](const RI::IntSink& sink) {
            for (std::uint32_t f : faces)
                for (std::int32_t v : view_.corners(f)) sink(renumbered_[static_cast<std::size_t>(v)]);
        };
    }

    // The s or t values of one coordinate set: per point in the renumbered
    // order, or per corner in index order. Points and corners without
    // coordinates in that set get 0.
    RI::RealSource coordinates(int set, bool isT, bool perCorner, std::span<const std::uint32_t> faces) {
        const auto slot = static_cast<std::size_t>(set);
        return [this, slot, isT, perCorner, faces, set](const RI::RealSink& sink) {
            const auto put = [&](const std::optional<ST>& st, const char* owner, std::size_t index) {
                const double value = st ? (isT ? st->t : st->s) : 0.0;
                if (!std::isfinite(value))
                    requireFinite(value, std::string("Texture coordinate ") + (isT ? "t" : "s") + " of set " +
                                             std::to_string(set) + " at " + owner + " " + std::to_string(index));
                sink(value);
            };
            if (!perCorner) {
                for (std::uint32_t v : used_) put(view_.vertexSt(slot, v), "vertex", v);
                return;
            }
            for (std::uint32_t f : faces) {
                const std::size_t first = view_.firstCorner(f), end = first + view_.corners(f).size();
                for (std::size_t c = first; c < end; ++c) put(view_.cornerSt(slot, c), "corner", c);
            }
        };
    }

    const MeshView& view_;
    RI::Writer rib_;
    std::vector<std::uint32_t> renumbered_;  // per vertex: its index in the current request, or unassigned
    std::vector<std::uint32_t> used_;        // the current request's points in their new order
    std::vector<std::uint32_t> polygons_, cages_;  // one surface's faces by kind
    std::vector<std::uint32_t> whole_;             // the whole cages of one surface's cage faces
};

// Everything before the surfaces: light, camera, the frame's start with the
// textures the shaders read, and the object's placement in the world.
void writeSceneStart(RI::Writer& rib, const std::vector<TextureFile>& textures) {
    rib.lightSource("pointlight", {{&rib.token("from"), RI::Value::ofPoint({0.0, 0.0, 0.0})},
                                   {&rib.token("intensity"), RI::Value::ofReal(50.0)},
                                   {&rib.token("lightcolor"), RI::Value::realArray({1.0, 1.0, 1.0})}});
    rib.format(480, 480, 1.0);
    rib.projection("perspective", {{&rib.token("fov"), RI::Value::ofReal(90.0)}});
    rib.translate(10.0);  // the camera stands 10 units from the object

    const std::int32_t frame = 0;
    rib.frameBegin(frame);
    // Textures are made before the world block: renderers refuse MakeTexture inside it.
    for (const TextureFile& t : textures)
        rib.makeTexture(t.picture, t.texture, rib.token("periodic"), rib.token("periodic"), rib.token("gaussian"), 2.0,
                        2.0, {});
    rib.worldBegin();
    rib.transformBegin();
    rib.translate(0.0);
    rib.rotate(static_cast<double>(frame - 30), 1.0, 0.0);
    rib.rotate(static_cast<double>(frame + 10), 0.0, 1.0);
    rib.scale(1.0, 1.0, 1.0);
}

// The RIB file: the scene's start, the polygons of no surface, then each
// surface's statements and polygons.
void writeRib(OutputFile& file, const MeshView& view, const std::vector<SurfacePlan>& plans, const FaceGroups& groups,
              const std::vector<TextureFile>& textures) {
    SceneWriter writer(view, file.buffer(), file);
    RI::Writer& rib = writer.rib();
    writeSceneStart(rib, textures);
    const bool hasCages = std::any_of(view.kindRuns().begin(), view.kindRuns().end(),
                                      [](const FaceKindRun& run) { return run.kind != FaceKind::Polygon; });
    std::optional<CageParts> cages;
    if (hasCages) cages.emplace(view, groups, plans.size() + 1);
    CageParts* joined = cages ? &*cages : nullptr;
    // Before any surface statement, so that no surface's shader binds them.
    const auto noSurface = static_cast<std::uint32_t>(plans.size());
    writer.exportFaces({}, groups.of(noSurface), {}, joined, noSurface);
    for (std::size_t s = 0; s < plans.size(); ++s) {
        const std::vector<bool> perCorner = writer.perCorner(plans[s], groups.of(s));
        writer.surfaceStatements(plans[s], perCorner);
        writer.exportFaces(plans[s].sets, groups.of(s), perCorner, joined, static_cast<std::uint32_t>(s));
    }
    rib.transformEnd();
    rib.worldEnd();
    rib.frameEnd();
    rib.end();
}

// The folder a RIB's shaders go to. A stream has no folder of its own: its
// shaders go to the current one.
fs::path shaderFolder(const std::string& destination) {
    const std::string written = writtenName(destination);
    return isStream(written) ? fs::path() : fs::path(written).parent_path();
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// FNV-1a over the text: the same 64 bits on every machine and in every build.
std::uint64_t textHash(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3u;
    }
    return hash;
}

std::string hexDigits(std::uint64_t value) {
    std::string text(16, '0');
    for (std::size_t i = 16; i-- > 0; value >>= 4) text[i] = "0123456789abcdef"[value & 15];
    return text;
}

// The names a shader may take, tried in this order: its base name, the base
// name and the hash of its text, then the base name numbered from 2 on.
constexpr int hashedAttempt = 1;
constexpr int mostAttempts = 1000;

// The shader files of one RIB. A shader file is never replaced: a name whose
// file holds other text (an earlier run's shader, any other file) moves on to
// the next name, and a file with exactly the shader's text is kept as it is.
// The second name is made from the text, so that shaders of one surface name
// and different texts cost one look each, however many there are. The name
// is taken by linking a finished temporary file to it, so runs at the same
// time never replace each other's shaders either.
class ShaderFiles {
public:
    ShaderFiles(const std::string& destination, RunFiles& run, std::vector<SurfacePlan>& plans)
        : folder_(shaderFolder(destination)), run_(run), plans_(plans) {}

    // Gives each surface the first free name from its current one on.
    void chooseNames() {
        for (SurfacePlan& plan : plans_) choose(plan);
    }

    // Puts every shader file in place. False when a name had to move on,
    // because its file appeared after it was chosen: the RIB names the
    // shaders, so it must then be written again.
    bool place() {
        bool moved = false;
        for (SurfacePlan& plan : plans_)
            while (!placed(plan)) {
                ++plan.attempt;
                choose(plan);
                moved = true;
            }
        return !moved;
    }

private:
    std::string file(const std::string& name) const { return (folder_ / (name + ".sl")).string(); }

    bool placed(const SurfacePlan& plan) const {
        const std::string path = file(plan.shader.name);
        if (holdsExactly(path, plan.text)) return true;
        OutputFile shader(path, OutputFile::Mode::CreateNew);
        shader.write(plan.text);
        return shader.commitIfAbsent() || holdsExactly(path, plan.text);
    }

    static std::string candidate(const SurfacePlan& plan, int attempt, std::uint64_t hash) {
        if (attempt == 0) return plan.base;
        if (attempt == hashedAttempt) return plan.base + "_" + hexDigits(hash);
        return plan.base + "_" + std::to_string(attempt);
    }

    void choose(SurfacePlan& plan) {
        // A shader identical to one given earlier in the run shares its file,
        // as it would across runs.
        nameShader(plan, plan.base);
        const std::uint64_t hash = textHash(plan.text);
        std::string key = lowerCase(plan.base);
        key.append(1, '\n').append(plan.text);
        const auto [shared, isNew] = run_.shaderNumbers.try_emplace(std::move(key), 0);
        if (!isNew && shared->second >= plan.attempt) {
            plan.attempt = shared->second;
            nameShader(plan, candidate(plan, plan.attempt, hash));
            return;
        }
        for (;; ++plan.attempt) {
            if (plan.attempt >= mostAttempts)
                throw Error("No free name for the shader " + plan.base + " in the folder " +
                            printableBytes(folder_.empty() ? "." : folder_.string()) + " after " +
                            std::to_string(mostAttempts) + " names");
            const std::string name = candidate(plan, plan.attempt, hash);
            if (run_.shaderNames.contains(lowerCase(name))) continue;
            const std::string path = file(name);
            if (run_.isRunFile && run_.isRunFile(path)) continue;
            nameShader(plan, name);
            struct stat existing {};
            if (::lstat(path.c_str(), &existing) != 0 || holdsExactly(path, plan.text)) break;
        }
        run_.shaderNames.insert(lowerCase(plan.shader.name));
        shared->second = plan.attempt;
    }

    const fs::path folder_;
    RunFiles& run_;
    std::vector<SurfacePlan>& plans_;
};

}  // namespace

namespace ExportRI {

std::string progressLine(const std::string& destination) { return "Writing RenderMan RIB file " + destination + "\n"; }

std::string shaderIdentifier(const std::string& surfaceName) {
    std::string base = surfaceName.substr(0, maxIdentifierLength);
    for (char& c : base)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) c = '_';
    if (base.empty() || (base[0] >= '0' && base[0] <= '9') || reservedForShaders(base)) base.insert(0, "_");
    return base;
}

void exportScene(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings) {
    const PolygonMesh parts = unpackPolygonMesh(scene, "exportPackedMesh", true);
    const MeshView view(parts.mesh);
    std::ostream& messages = settings.messages;

    const std::size_t surfaceCount = parts.surfaces.size();
    std::vector<SurfacePlan> plans;
    plans.reserve(surfaceCount);
    std::vector<std::int32_t> images;  // read by some shader, in image-table order
    for (std::size_t s = 0; s < surfaceCount; ++s) {
        const MorvLValue& surface = parts.surfaces.at(s);
        plans.push_back(planSurface(surface, shaderIdentifier(surfaceName(surface)), parts.images, settings.toOSType,
                                    messages));
        images.insert(images.end(), plans.back().images.begin(), plans.back().images.end());
    }
    std::sort(images.begin(), images.end());
    images.erase(std::unique(images.begin(), images.end()), images.end());
    std::vector<TextureFile> textures;
    for (std::int32_t image : images) textures.push_back(makeTextureParam(parts.images, image, settings.toOSType));

    const FaceGroups groups = groupFacesBySurface(view, surfaceCount, 3);
    if (groups.skipped > 0)
        messages << "Warning: " << groups.skipped
                 << " polygons with fewer than 3 corners are left out: RenderMan polygons need at least 3\n";
    if (const std::size_t unbound = groups.of(surfaceCount).size(); unbound > 0)
        messages << "Warning: " << unbound
                 << " polygons belong to no surface of the scene; they are written first, with the renderer's "
                    "default surface\n";

    RunFiles alone;  // a file written outside a run keeps its shaders off itself
    alone.isRunFile = [&](const std::string& file) {
        std::error_code ec;
        return fs::absolute(writtenName(file), ec) == fs::absolute(writtenName(destination), ec);
    };
    ShaderFiles shaders(destination, settings.run ? *settings.run : alone, plans);
    shaders.chooseNames();
    if (isStream(writtenName(destination))) {
        // A stream cannot be written twice: its shaders are placed first.
        while (!shaders.place()) {
        }
        OutputFile rib(destination);
        writeRib(rib, view, plans, groups, textures);
        rib.commit();
    } else {
        // The RIB is complete before any shader is placed, so that a failure
        // leaves nothing; and it is written again if a shader's name moved.
        for (bool done = false; !done;) {
            OutputFile rib(destination);
            writeRib(rib, view, plans, groups, textures);
            rib.finish();
            done = shaders.place();
            if (done) rib.commit();
        }
    }
    for (const SurfacePlan& plan : plans) messages << "Writing RenderMan shader file " << plan.shader.name << ".sl\n";
}

}  // namespace ExportRI

std::string ribWriterProgressLine(const std::string& destination) { return ExportRI::progressLine(destination); }

void writeRIB(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings) {
    ExportRI::exportScene(scene, destination, settings);
}

}  // namespace morv
