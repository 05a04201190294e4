#include "exporters/renderman/ExportRI.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <unordered_set>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
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

// ---- Scene parts ----

struct SceneParts {
    MorvLValue mesh, surfaces, images;
};

SceneParts unpackScene(const MorvLValue& scene) {
    const char* const noSceneData =
        "Internal Error: Scene does not contain expected mesh and surface data in function exportPackedMesh!\n";
    if (!scene.isRecord()) throw Error(noSceneData);
    const Fields top = scene.fields();
    const auto mesh = top.find("mesh");
    const auto surfaces = top.find("surfaces");
    if (!mesh || !mesh->isRecord() || !surfaces || surfaces->kind() != Kind::LIST) throw Error(noSceneData);
    const Fields meshFields = mesh->fields();
    const auto vertices = meshFields.find("vertices");
    const auto faces = meshFields.find("faces");
    if (!vertices || vertices->kind() != Kind::LIST || !faces || faces->kind() != Kind::LIST)
        throw Error(std::string("Internal Error: Scene does not contain ") + "expected face and vertex data in function " +
                    "exportPackedMesh!\n");
    const auto images = top.find("images");
    return {*mesh, *surfaces, images && images->kind() == Kind::LIST ? *images : MorvLValue::List({})};
}

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
    std::string text;                  // the checked shader source
};

// The first part of generateSurface: the surface's values and textures, and
// its shader built, checked and printed.
SurfacePlan planSurface(const MorvLValue& surface, const std::string& identifier, const MorvLValue& images,
                        const std::string& platform, std::ostream& messages) {
    const std::string name = surfaceName(surface);
    const Fields f = surface.fields();
    SurfacePlan plan;
    plan.shader.name = identifier;
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

    SL::Program program = SG::buildSurfaceShader(plan.shader);
    SL::check(program);
    SL::print(program, plan.text);
    return plan;
}

// ---- Faces by surface ----

struct FaceGroups {
    std::vector<std::uint32_t> faces;  // grouped by surface, in file order within a group
    std::vector<std::size_t> first;    // group g holds faces[first[g] .. first[g + 1])
    std::size_t skipped = 0;           // faces of fewer than three corners
    // Group s < surface count: the faces of surface s; the last group: the
    // faces that name no surface of the scene.
    std::span<const std::uint32_t> of(std::size_t group) const {
        return std::span<const std::uint32_t>(faces).subspan(first[group], first[group + 1] - first[group]);
    }
};

// Checks every face's corner indices and groups the faces by surface (a
// counting sort: two passes, no allocation per face).
FaceGroups groupFaces(const MeshView& view, std::size_t surfaceCount) {
    const std::size_t faceCount = view.faceCount(), vertexCount = view.vertexCount();
    const std::size_t unbound = surfaceCount, left = surfaceCount + 1;
    std::vector<std::uint32_t> groupOf(faceCount);
    FaceGroups g;
    g.first.assign(surfaceCount + 2, 0);
    for (std::size_t f = 0; f < faceCount; ++f) {
        const auto corners = view.corners(f);
        for (std::size_t c = 0; c < corners.size(); ++c)
            if (corners[c] < 0 || static_cast<std::size_t>(corners[c]) >= vertexCount)
                throw Error("Corner " + intToText(static_cast<std::int64_t>(c)) + " of face " +
                            intToText(static_cast<std::int64_t>(f)) + " refers to vertex " + intToText(corners[c]) +
                            ", which is not one of the " + intToText(static_cast<std::int64_t>(vertexCount)) +
                            " vertices of the mesh");
        const auto s = view.surface(f);
        std::size_t group = s && *s >= 0 && static_cast<std::size_t>(*s) < surfaceCount ? static_cast<std::size_t>(*s) : unbound;
        if (corners.size() < 3) {
            ++g.skipped;
            group = left;
        } else {
            ++g.first[group + 1];
        }
        groupOf[f] = static_cast<std::uint32_t>(group);
    }
    for (std::size_t k = 0; k + 1 < g.first.size(); ++k) g.first[k + 1] += g.first[k];
    g.faces.resize(g.first[left]);
    std::vector<std::size_t> next(g.first.begin(), g.first.end() - 1);
    for (std::size_t f = 0; f < faceCount; ++f)
        if (groupOf[f] != left) g.faces[next[groupOf[f]]++] = static_cast<std::uint32_t>(f);
    return g;
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

    // The faces of one surface: plain polygons in one PointsGeneralPolygons,
    // the faces of subdivision cages in one SubdivisionMesh, each in face order.
    void exportFaces(const std::vector<int>& sets, std::span<const std::uint32_t> faces,
                     const std::vector<bool>& perCorner) {
        if (view_.kindRuns().size() <= 1) {  // all of one kind
            const bool polygons = view_.kindRuns().empty() || view_.kindRuns().front().kind == FaceKind::Polygon;
            polygons ? exportPackedMesh(sets, faces, perCorner) : exportCage(sets, faces, perCorner);
            return;
        }
        polygons_.clear();
        cages_.clear();
        for (std::uint32_t f : faces) (view_.faceKind(f) == FaceKind::Polygon ? polygons_ : cages_).push_back(f);
        exportPackedMesh(sets, polygons_, perCorner);
        exportCage(sets, cages_, perCorner);
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
    // an open cage's border on it instead of letting it shrink away.
    void exportCage(const std::vector<int>& sets, std::span<const std::uint32_t> faces,
                    const std::vector<bool>& perCorner) {
        withPoints(sets, faces, perCorner, [&](const RI::ParamList& params) {
            rib_.subdivisionMesh(rib_.token("catmull-clark"), cornerCounts(faces), cornerPoints(faces),
                                 {&rib_.token("interpolateboundary")}, params);
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
                const std::string name = (isT ? "t" : "s") + std::to_string(sets[i]);
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

std::string shaderPath(const std::string& destination, const std::string& identifier) {
    const std::string file = identifier + ".sl";
    // A stream has no folder of its own: its shaders go to the current one.
    if (isStream(destination)) return file;
    return (fs::path(destination).parent_path() / file).string();
}

std::vector<std::string> surfaceNames(const MorvLValue& surfaces) {
    std::vector<std::string> names;
    names.reserve(surfaces.size());
    for (std::size_t s = 0; s < surfaces.size(); ++s) names.push_back(surfaceName(surfaces.at(s)));
    return names;
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

namespace ExportRI {

std::string progressLine(const std::string& destination) { return "Writing RenderMan RIB file " + destination + "\n"; }

std::vector<std::string> shaderIdentifiers(const std::vector<std::string>& surfaceNames,
                                           std::unordered_set<std::string>& taken) {
    std::vector<std::string> result;
    result.reserve(surfaceNames.size());
    for (const std::string& name : surfaceNames) {
        std::string base = name.substr(0, maxIdentifierLength);
        for (char& c : base)
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) c = '_';
        if (base.empty() || (base[0] >= '0' && base[0] <= '9') || reservedForShaders(base)) base.insert(0, "_");
        std::string candidate = base;
        for (int n = 2; !taken.insert(lowerCase(candidate)).second; ++n) candidate = base + "_" + std::to_string(n);
        result.push_back(std::move(candidate));
    }
    return result;
}

std::vector<SurfaceFile> shaderFiles(const MorvLValue& scene, const std::string& destination,
                                     std::unordered_set<std::string>& taken) {
    std::vector<SurfaceFile> files;
    for (std::string& name : shaderIdentifiers(surfaceNames(unpackScene(scene).surfaces), taken)) {
        std::string file = shaderPath(destination, name);
        files.push_back({std::move(name), std::move(file)});
    }
    return files;
}

void exportScene(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings) {
    const SceneParts parts = unpackScene(scene);
    const MeshView view(parts.mesh);
    std::ostream& messages = settings.messages;

    const std::size_t surfaceCount = parts.surfaces.size();
    std::vector<std::string> identifiers;
    if (!settings.shaderNames) {
        std::unordered_set<std::string> taken;
        identifiers = shaderIdentifiers(surfaceNames(parts.surfaces), taken);
    } else if (settings.shaderNames->size() == surfaceCount) {
        identifiers = *settings.shaderNames;
    } else {
        // Only the planned files were checked against the run's other files.
        throw Error("The scene has " + intToText(static_cast<std::int64_t>(surfaceCount)) + " surfaces now, but " +
                    intToText(static_cast<std::int64_t>(settings.shaderNames->size())) +
                    " when the run was planned: the input file changed meanwhile");
    }

    std::vector<SurfacePlan> plans;
    plans.reserve(surfaceCount);
    std::vector<std::int32_t> images;  // read by some shader, in image-table order
    for (std::size_t s = 0; s < surfaceCount; ++s) {
        plans.push_back(planSurface(parts.surfaces.at(s), identifiers[s], parts.images, settings.toOSType, messages));
        images.insert(images.end(), plans.back().images.begin(), plans.back().images.end());
    }
    std::sort(images.begin(), images.end());
    images.erase(std::unique(images.begin(), images.end()), images.end());

    const FaceGroups groups = groupFaces(view, surfaceCount);
    if (groups.skipped > 0)
        messages << "Warning: " << groups.skipped
                 << " polygons with fewer than 3 corners are left out: RenderMan polygons need at least 3\n";
    const std::span<const std::uint32_t> unbound = groups.of(surfaceCount);
    if (!unbound.empty())
        messages << "Warning: " << unbound.size()
                 << " polygons belong to no surface of the scene; they are written first, with the renderer's "
                    "default surface\n";

    OutputFile ribFile(destination);
    SceneWriter writer(view, ribFile.buffer(), ribFile);
    RI::Writer& rib = writer.rib();
    std::vector<TextureFile> textures;
    for (std::int32_t image : images) textures.push_back(makeTextureParam(parts.images, image, settings.toOSType));
    writeSceneStart(rib, textures);
    // Before any surface statement, so that no surface's shader binds them.
    writer.exportFaces({}, unbound, {});

    std::vector<std::unique_ptr<OutputFile>> shaders;
    for (std::size_t s = 0; s < surfaceCount; ++s) {
        const SurfacePlan& plan = plans[s];
        const std::vector<bool> perCorner = writer.perCorner(plan, groups.of(s));
        writer.surfaceStatements(plan, perCorner);
        messages << "Writing RenderMan shader file " << plan.shader.name << ".sl\n";
        shaders.push_back(std::make_unique<OutputFile>(shaderPath(destination, plan.shader.name)));
        shaders.back()->write(plan.text);
        shaders.back()->finish();
        writer.exportFaces(plan.sets, groups.of(s), perCorner);
    }
    rib.transformEnd();
    rib.worldEnd();
    rib.frameEnd();
    rib.end();

    // Everything is written: the shaders go in place first, so that a RIB
    // never stands without them.
    ribFile.finish();
    for (auto& file : shaders) file->commit();
    ribFile.commit();
}

}  // namespace ExportRI

std::string ribWriterProgressLine(const std::string& destination) { return ExportRI::progressLine(destination); }

void writeRIB(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings) {
    ExportRI::exportScene(scene, destination, settings);
}

}  // namespace morv
