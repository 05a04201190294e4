#include "exporters/gltf/ExportGLTF.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <ostream>
#include <cstring>
#include <span>
#include <vector>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "geometry/ConvexSplitting.hpp"
#include "exporters/FacePieces.hpp"
#include "exporters/PolygonMesh.hpp"
#include "exporters/gltf/CageGathering.hpp"
#include "exporters/gltf/SurfaceNormals.hpp"
#include "exporters/gltf/TextureBaking.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/Vector.hpp"
#include "support/GetCs.hpp"
#include "support/JsonText.hpp"
#include "support/NeutralFileName.hpp"
#include "support/OutputFile.hpp"
#include "support/PNGEncoder.hpp"
#include "support/Pictures.hpp"

namespace morv {
namespace {

static_assert(std::endian::native == std::endian::little, "buffers are written from memory as glTF's little-endian");

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
constexpr double largestFloat = std::numeric_limits<float>::max();

// glTF's codes for component types, buffer targets and sampling.
enum : int {
    unsignedShort = 5123, unsignedInt = 5125, floatComponent = 5126,
    arrayBuffer = 34962, elementArrayBuffer = 34963,
    repeat = 10497, mirroredRepeat = 33648, clampToEdge = 33071, linear = 9729, linearMipmapLinear = 9987,
};

// ---- JSON text ----

// JSON text written front to back by a writer that knows which object or
// array it is in, and so where a comma belongs.
class JsonWriter {
public:
    JsonWriter& beginObject() { return open('{'); }
    JsonWriter& endObject() { return close('}'); }
    JsonWriter& beginArray() { return open('['); }
    JsonWriter& endArray() { return close(']'); }

    // The name of the next member; its value follows.
    JsonWriter& key(std::string_view name) {
        separate();
        out_ += '"';
        out_.append(name);
        out_ += '"';
        out_ += ':';
        afterKey_ = true;
        return *this;
    }

    template <class T>
    JsonWriter& number(T value) {
        separate();
        char text[32];
        const char* end = std::to_chars(text, text + sizeof text, value).ptr;
        out_.append(text, static_cast<std::size_t>(end - text));
        return *this;
    }

    JsonWriter& numbers(std::span<const float> values) {
        beginArray();
        for (float v : values) number(v);
        return endArray();
    }

    JsonWriter& string(std::string_view text) {
        separate();
        appendJsonString(out_, text);
        return *this;
    }

    JsonWriter& boolean(bool value) {
        separate();
        out_.append(value ? std::string_view("true") : std::string_view("false"));
        return *this;
    }

    std::string take() { return std::move(out_); }

private:
    void separate() {
        if (afterKey_) {
            afterKey_ = false;
        } else if (!hasItems_.empty()) {
            if (hasItems_.back()) out_ += ',';
            hasItems_.back() = true;
        }
    }
    JsonWriter& open(char bracket) {
        separate();
        out_ += bracket;
        hasItems_.push_back(false);
        return *this;
    }
    JsonWriter& close(char bracket) {
        hasItems_.pop_back();
        out_ += bracket;
        return *this;
    }

    std::string out_;
    std::vector<bool> hasItems_;  // per open object or array: whether it holds an item yet
    bool afterKey_ = false;
};

// ---- Surfaces ----

double clamp01(double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0); }

int samplerWrap(std::int32_t lightWaveWrap) {
    return lightWaveWrap == 2 ? mirroredRepeat : lightWaveWrap == 3 ? clampToEdge : repeat;
}

struct SurfacePlan {
    std::string name;
    Color color{1, 1, 1};
    double diffusion = 1, specularity = 0, glossiness = 0.4, luminosity = 0, transparency = 0;
    double smoothingAngle = 0;  // radians; 0 for a flat surface
    bool doubleSided = false;
    std::optional<TextureBaking> baking;
    std::int32_t image = -1;  // the colour texture's picture; -1 for none
    int wrapS = repeat, wrapT = repeat;
};

std::optional<std::pair<double, double>> resolutionOf(const Fields& image) {
    const auto resolution = image.find("resolution");
    if (!resolution || !resolution->isRecord()) return std::nullopt;
    const Fields r = resolution->fields();
    const double w = getRealField(r, "w", 0), h = getRealField(r, "h", 0);
    if (!(w > 0 && h > 0 && std::isfinite(w) && std::isfinite(h))) return std::nullopt;
    return std::pair(w, h);
}

SurfacePlan planSurface(const MorvLValue& surface, const MorvLValue& images, const ExportSettings& settings) {
    if (!surface.isRecord()) throw Error("Internal Error: Expected RECORD type not found in ExportGLTF.planSurface!\n");
    const Fields f = surface.fields();
    SurfacePlan plan;
    plan.name = getStringField(f, "name", "");
    plan.color = getColorField(f, "color", plan.color);
    plan.diffusion = getRealField(f, "diffusion", plan.diffusion);
    plan.specularity = getRealField(f, "specularity", plan.specularity);
    plan.glossiness = getRealField(f, "glossiness", plan.glossiness);
    plan.luminosity = getRealField(f, "luminosity", plan.luminosity);
    plan.transparency = getRealField(f, "transparency", plan.transparency);
    plan.doubleSided = getBooleanField(f, "doubleSided", false);
    plan.smoothingAngle = getRealField(f, "smoothingAngle", 0);
    const MorvLValue textures = getListField(f, "textures", MorvLValue::List({}));
    for (std::size_t i = 0; i < textures.size() && !plan.baking; ++i) {
        const MorvLValue texture = textures.at(i);
        if (!texture.isRecord()) continue;
        const Fields t = texture.fields();
        if (getStringField(t, "textureChannel", "") != "color" || !getBooleanField(t, "enabled", true)) continue;
        plan.baking = TextureBaking::of(t);
        if (!plan.baking) continue;
        const std::int32_t image = findIntegerField(t, "image").value_or(-1);
        plan.image = image >= 0 && static_cast<std::size_t>(image) < images.size() ? image : -1;
        plan.wrapS = samplerWrap(findIntegerField(t, "wrapModeWidth").value_or(1));
        plan.wrapT = samplerWrap(findIntegerField(t, "wrapModeHeight").value_or(1));
        // A brush's placements were turned into UV coordinates in the default resolution.
        if (f.find(brushTextureField) && plan.baking->usesTextureCoordinates() && plan.image >= 0)
            if (const auto r = resolutionOf(images.at(static_cast<std::size_t>(plan.image)).fields()))
                plan.baking->rescale(settings.textureWidth / r->first, settings.textureHeight / r->second);
    }
    return plan;
}

// ---- Triangles ----

struct Primitive {
    std::size_t group = 0;  // the surface; the surface count for faces without one
    bool textured = false;
    std::uint32_t firstVertex = 0, vertexCount = 0;
    std::size_t firstUV = 0, firstIndex = 0, indexCount = 0;
    std::array<float, 3> min{}, max{};
};

// A corner of a piece: its point, the scene vertex it is (none for a point
// added where the outline crosses itself) and its UV-map coordinates.
struct Corner {
    XYZ point;
    std::uint32_t source;
    std::optional<ST> st;
};

// Cuts every face into triangles, grouped by surface; keeps its working
// storage from face to face.
class TriangleBuilder {
public:
    TriangleBuilder(const MeshView& view, const std::vector<MeshNormal>& ownNormals,
                    const std::vector<SurfacePlan>& plans, std::ostream& messages)
        : view_(view),
          plans_(plans),
          messages_(messages),
          firstUse_(view.vertexCount(), none),
          faces_(view, "a glTF file", largestFloat, messages),
          smoothing_(view, ownNormals) {}

    // subdivisionLevel: the Catmull-Clark level of cage faces; 0 writes them as polygons.
    void build(int subdivisionLevel) {
        const std::size_t faces = view_.faceCount(), groups = plans_.size() + 1;
        const FaceGroups bySurface = groupFacesBySurface(view_, plans_.size(), 0);
        refineCages(subdivisionLevel);
        // Room for about one vertex per point and the fans of all faces.
        positions.reserve(3 * view_.vertexCount());
        normals.reserve(3 * view_.vertexCount());
        indices.reserve(3 * (view_.cornerCount() - std::min(view_.cornerCount(), 2 * faces)));

        for (std::size_t g = 0; g < groups; ++g) {
            const std::span<const std::uint32_t> group = bySurface.of(g);
            if (group.empty()) continue;
            const SurfacePlan* plan = g < plans_.size() ? &plans_[g] : nullptr;
            baking_ = plan && plan->baking ? &*plan->baking : nullptr;
            current_ = {g, baking_ != nullptr, static_cast<std::uint32_t>(positions.size() / 3), 0, uvs.size() / 2,
                        indices.size(), 0, {}, {}};
            const std::string_view surface = plan ? std::string_view(plan->name) : std::string_view("none");
            smoothing_.beginSurface(group, plan ? plan->smoothingAngle : 0);
            for (std::uint32_t face : group) addFace(face, surface);
            addRefinedQuads(g);
            for (std::uint32_t source : sources_)
                if (source != none) firstUse_[source] = none;
            sources_.clear();
            nextSame_.clear();
            if (missingSts_ > 0)
                messages_ << "Warning: " << missingSts_ << " triangle corners of the surface \""
                          << printableBytes(plan->name) << "\" have no coordinates in its UV map; they get (0, 0)\n";
            missingSts_ = 0;
            if (current_.indexCount > 0) primitives.push_back(current_);
        }
    }

    // The lines that sum up what was written in an unusual way.
    void reportAfterWriting() const { faces_.reportAfterWriting(); }

    std::vector<Primitive> primitives;
    // glTF's: x, y, -z per vertex (positions and unit normals); u, v per vertex of a textured primitive
    std::vector<float> positions, normals, uvs;
    std::vector<std::uint32_t> indices;    // from each primitive's first vertex

private:
    // Every connected cage refined at the level, as one mesh across its
    // surfaces; a cage OpenSubdiv refuses stays polygons, with a warning.
    void refineCages(int level) {
        if (level <= 0) return;
        std::vector<std::int32_t> uvSlots(plans_.size() + 1, -1);
        for (std::size_t i = 0; i < plans_.size(); ++i)
            if (plans_[i].baking && plans_[i].baking->usesTextureCoordinates()) uvSlots[i] = plans_[i].baking->stIndex();
        for (GatheredCage& gathered : gatherCages(view_, plans_.size(), uvSlots)) {
            std::optional<RefinedFaces> refined = refineCage(gathered.cage, level);
            if (!refined && cageRefinementUnavailable()) {  // once for all the cages
                messages_ << "Warning: Subdivision cages cannot be refined (" << *cageRefinementUnavailable()
                          << "); their faces are written as polygons\n";
                return;
            }
            if (!refined) {
                const std::size_t s = gathered.cage.faceSurfaces.front();
                messages_ << "Warning: The subdivision cage of the surface \""
                          << printableBytes(s < plans_.size() ? plans_[s].name : "none")
                          << "\" cannot be subdivided (an edge of more than two faces, faces turned against each "
                             "other or a face without three points); its faces are written as polygons\n";
                continue;
            }
            if (refinedFace_.empty()) {
                refinedFace_.assign(view_.faceCount(), false);
                quadsOf_.assign(plans_.size() + 1, {});
            }
            for (std::uint32_t f : gathered.faces) refinedFace_[f] = true;
            const auto cage = static_cast<std::uint32_t>(refined_.size());
            for (std::uint32_t q = 0; q < refined->surfaces.size(); ++q)
                quadsOf_[std::min<std::size_t>(refined->surfaces[q], plans_.size())].push_back({cage, q});
            refinedUVs_.push_back(!gathered.cage.cornerUVs.empty());
            refined_.push_back(std::move(*refined));
        }
    }

    // The refined quads of the surface (group), each as two triangles with
    // the limit normals; texture coordinates from the refined UV-map
    // coordinates, or baked from the refined points.
    void addRefinedQuads(std::size_t group) {
        if (quadsOf_.empty() || quadsOf_[group].empty()) return;
        refinedVertices_.assign(std::bit_ceil(8 * quadsOf_[group].size()), 0);  // at most half full
        for (const auto& [cage, quad] : quadsOf_[group]) {
            const RefinedFaces& r = refined_[cage];
            std::array<Corner, 4> c;
            std::array<XYZ, 4> n;
            for (std::size_t k = 0; k < 4; ++k) {
                const std::size_t at = 4 * std::size_t{quad} + k;
                c[k] = {{r.positions[at][0], r.positions[at][1], r.positions[at][2]}, none, std::nullopt};
                if (refinedUVs_[cage]) c[k].st = ST{r.uvs[at][0], r.uvs[at][1]};
                n[k] = {r.normals[at][0], r.normals[at][1], r.normals[at][2]};
            }
            addRefinedTriangle({&c[0], &c[1], &c[2]}, {n[0], n[1], n[2]});
            addRefinedTriangle({&c[0], &c[2], &c[3]}, {n[0], n[2], n[3]});
        }
        std::vector<std::uint32_t>().swap(refinedVertices_);
    }

    void addRefinedTriangle(const std::array<const Corner*, 3>& c, const std::array<XYZ, 3>& normal) {
        const auto [p, n, longest2] = writtenTriangle(c);
        // Left out when its smallest angle is below the rounding of floats.
        if (!(dot(n, n) > 0x1p-40 * longest2 * longest2)) return;
        std::array<UV, 3> uv{};
        if (baking_)
            baking_->bake({c[0]->point, c[1]->point, c[2]->point}, {c[0]->st, c[1]->st, c[2]->st},
                          cross(c[1]->point - c[0]->point, c[2]->point - c[0]->point), uv);
        for (int k : {0, 2, 1}) indices.push_back(refinedVertexFor(p[k], writtenNormal(normal[k], n), uv[k]));
        current_.indexCount += 3;
    }

    // Refined corners are shared where position, normal and coordinates are
    // equal bit for bit (the refinement gives each quad its own corners): an
    // open-addressing table of the primitive's vertices, keyed by their bits.
    std::uint32_t refinedVertexFor(const std::array<float, 3>& position, const std::array<float, 3>& normal, UV uv) {
        const float u = toFloat(uv.u), v = toFloat(uv.v);
        const float values[8] = {position[0], position[1], position[2], normal[0], normal[1], normal[2], u, v};
        std::uint64_t hash = 0xcbf29ce484222325;
        for (float value : values) hash = (hash ^ std::bit_cast<std::uint32_t>(value)) * 0x100000001b3;
        const std::size_t mask = refinedVertices_.size() - 1;
        for (std::size_t i = (hash ^ hash >> 29) & mask;; i = (i + 1) & mask) {
            if (refinedVertices_[i] == 0) {
                refinedVertices_[i] = current_.vertexCount + 1;
                return newVertex(none, position, normal, u, v);
            }
            const std::uint32_t local = refinedVertices_[i] - 1;
            const std::size_t global = current_.firstVertex + std::size_t{local}, uvAt = 2 * (current_.firstUV + local);
            if (std::memcmp(&positions[3 * global], position.data(), 12) == 0 &&
                std::memcmp(&normals[3 * global], normal.data(), 12) == 0 &&
                (!current_.textured || std::memcmp(&uvs[uvAt], values + 6, 8) == 0))
                return local;
        }
    }

    // One face: its flat convex pieces, each a fan of triangles.
    void addFace(std::uint32_t face, std::string_view surface) {
        if (!refinedFace_.empty() && refinedFace_[face]) return;
        const std::int32_t slot = baking_ && baking_->usesTextureCoordinates() ? baking_->stIndex() : -1;
        const PolygonShape shape = faces_.cut(face, slot);
        const PolygonPieces& pieces = faces_.pieces();
        std::size_t triangles = 0;
        for (std::size_t k = 0; k < pieces.count(); ++k) {
            faces_.gatherPiece(pieces.piece(k));
            const auto outline = pieces.piece(k);  // positions in the face's outline
            const auto points = faces_.piecePoints();
            const auto sts = faces_.pieceSts();
            piece_.clear();
            for (std::size_t i = 0; i < outline.size(); ++i)
                piece_.push_back({points[i], faces_.vertexAt(outline[i]).value_or(none), sts[i]});
            triangles += addFan(face);
        }
        if (triangles == 0)
            faces_.reportLeftOut(face, surface, shape, "has no area in the single floats of a glTF file");
    }

    static std::array<float, 3> written(const XYZ& p) {
        return {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(0.0 - p.z)};  // 0 stays +0
    }

    // A unit normal in glTF's axes; the written triangle's own (triangle, in
    // glTF's axes and the corners' first order) when the piece gives none.
    // A triangle as the file holds it: its corners as floats, the cross
    // product of its sides and the square of its longest side, both taken
    // from the floats.
    struct WrittenTriangle {
        std::array<std::array<float, 3>, 3> corners;
        XYZ areaVector;
        double longest2;
    };

    static WrittenTriangle writtenTriangle(const std::array<const Corner*, 3>& c) {
        WrittenTriangle t{};
        std::array<XYZ, 3> w;
        for (int k = 0; k < 3; ++k) {
            t.corners[k] = written(c[k]->point);
            w[k] = {t.corners[k][0], t.corners[k][1], t.corners[k][2]};
        }
        const XYZ e1 = w[1] - w[0], e2 = w[2] - w[0], e3 = w[2] - w[1];
        t.areaVector = cross(e1, e2);
        t.longest2 = std::max({dot(e1, e1), dot(e2, e2), dot(e3, e3)});
        return t;
    }

    static std::array<float, 3> writtenNormal(const XYZ& unit, const XYZ& triangle) {
        if (length(unit) > 0.5) return written(unit);
        const XYZ n = normalized(-1.0 * triangle);  // the written order reverses the corners
        return {static_cast<float>(n.x), static_cast<float>(n.y), static_cast<float>(n.z)};
    }

    // The piece of the face as triangles (0, i, i + 1), each written in
    // reverse order; how many were written.
    std::size_t addFan(std::uint32_t face) {
        XYZ normal{};
        for (std::size_t i = 2; i < piece_.size(); ++i)
            normal = normal + cross(piece_[i - 1].point - piece_[0].point, piece_[i].point - piece_[0].point);
        const XYZ flat = normalized(normal);
        const double tolerance = faces_.splitter().tolerance();
        std::size_t triangles = 0;
        for (std::size_t i = 1; i + 1 < piece_.size(); ++i) {
            const std::array<const Corner*, 3> c{&piece_[0], &piece_[i], &piece_[i + 1]};
            const auto [p, n, longest2] = writtenTriangle(c);
            // Left out when no wider than the tolerance across its longest side.
            if (!(dot(n, n) > tolerance * tolerance * longest2)) continue;
            std::array<UV, 3> uv{};
            if (baking_) {
                missingSts_ += baking_->bake({c[0]->point, c[1]->point, c[2]->point},
                                              {c[0]->st, c[1]->st, c[2]->st}, normal, uv);
            }
            for (int k : {0, 2, 1}) {
                const std::optional<XYZ> smooth = c[k]->source != none ? smoothing_.at(face, c[k]->source) : std::nullopt;
                indices.push_back(vertexFor(*c[k], p[k], writtenNormal(smooth.value_or(flat), n), uv[k]));
            }
            current_.indexCount += 3;
            ++triangles;
        }
        return triangles;
    }

    // The primitive's vertex for this point, normal and these coordinates: an
    // earlier one of the same scene vertex with the same normal and
    // coordinates, or a new one.
    static float toFloat(double v) { return std::fabs(v) <= largestFloat ? static_cast<float>(v) : 0.0f; }

    std::uint32_t vertexFor(const Corner& c, const std::array<float, 3>& position, const std::array<float, 3>& normal,
                            UV uv) {
        const float u = toFloat(uv.u), v = toFloat(uv.v);
        const std::uint32_t base = current_.firstVertex;
        if (c.source != none)
            for (std::uint32_t old = firstUse_[c.source]; old != none; old = nextSame_[old - base]) {
                const std::size_t at = 2 * (current_.firstUV + (old - base));
                if (!std::equal(normal.begin(), normal.end(), normals.begin() + 3 * std::ptrdiff_t{old})) continue;
                if (!current_.textured || (uvs[at] == u && uvs[at + 1] == v)) return old - base;
            }
        return newVertex(c.source, position, normal, u, v);
    }

    // A new vertex of the primitive, of that scene vertex (or none).
    std::uint32_t newVertex(std::uint32_t source, const std::array<float, 3>& position,
                            const std::array<float, 3>& normal, float u, float v) {
        const std::size_t global = positions.size() / 3;
        if (global >= none) throw Error("The object has more vertices than a glTF file can index");
        positions.insert(positions.end(), position.begin(), position.end());
        normals.insert(normals.end(), normal.begin(), normal.end());
        if (current_.textured) {
            uvs.push_back(u);
            uvs.push_back(v);
        }
        for (int k = 0; k < 3; ++k) {
            current_.min[k] = current_.vertexCount == 0 ? position[k] : std::min(current_.min[k], position[k]);
            current_.max[k] = current_.vertexCount == 0 ? position[k] : std::max(current_.max[k], position[k]);
        }
        nextSame_.push_back(source != none ? firstUse_[source] : none);
        if (source != none) firstUse_[source] = static_cast<std::uint32_t>(global);
        sources_.push_back(source);
        return current_.vertexCount++;
    }

    const MeshView& view_;
    const std::vector<SurfacePlan>& plans_;
    std::ostream& messages_;
    const TextureBaking* baking_ = nullptr;
    Primitive current_;
    // Per scene vertex, its latest vertex in the current primitive; per vertex
    // of the primitive, the one before it of the same scene vertex and its scene vertex.
    std::vector<std::uint32_t> firstUse_, nextSame_, sources_;
    FacePieces faces_;
    SurfaceNormals smoothing_;
    std::vector<Corner> piece_;
    std::size_t missingSts_ = 0;
    // Refined cages: their quads by group (cage, quad), whether each carries
    // UV-map coordinates, and which faces of the mesh they replace.
    std::vector<RefinedFaces> refined_;
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> quadsOf_;
    std::vector<bool> refinedUVs_, refinedFace_;
    std::vector<std::uint32_t> refinedVertices_;  // per slot: a vertex of the primitive + 1, or 0
};

// ---- Pictures ----

struct EmbeddedPicture {
    std::string name;
    const char* mimeType;
    std::string bytes;
};

// The file's bytes as glTF holds them (see embeddablePicture). Raises Error
// with the reason when that cannot be done.
std::pair<const char*, std::string> pictureBytes(const std::string& path) {
    EmbeddablePicture picture = embeddablePictureFile(path);
    return {picture.mimeType, std::move(picture.bytes)};
}

// The picture of one image record, or nullopt after a warning naming it.
std::optional<EmbeddedPicture> embedPicture(const MorvLValue& image, const ExportSettings& settings,
                                            const GLTFSettings& own) {
    const Fields f = image.fields();
    const auto source = f.find("sourceFile");
    const std::string path = source && source->kind() == Kind::STRING
                                 ? source->asString()
                                 : neutralToPlatform(settings.toOSType, requireField(f, "fileName"));
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    std::string reason;
    if (own.keepPicturesClosed) {
        reason = "--forceTextureResolution=true keeps pictures closed";
    } else {
        try {
            auto [mimeType, bytes] = pictureBytes(path);
            return EmbeddedPicture{name, mimeType, std::move(bytes)};
        } catch (const Error& e) {
            reason = e.message();
        }
    }
    settings.messages << "Warning: The picture \"" << printableBytes(path) << "\" is not embedded: " << reason
                      << "; the materials that use it keep their colour and have no texture\n";
    return std::nullopt;
}

// The pictures of the textured primitives' surfaces, embedded in order of first use.
struct Pictures {
    static constexpr std::int64_t unknown = -2, missing = -1;
    std::vector<EmbeddedPicture> embedded;
    std::vector<std::int64_t> ofImage;  // per scene image: its picture, unknown (not needed) or missing
};

Pictures embedPictures(const std::vector<Primitive>& primitives, const std::vector<SurfacePlan>& plans,
                       const MorvLValue& images, const ExportSettings& settings, const GLTFSettings& own) {
    Pictures pictures{{}, std::vector<std::int64_t>(images.size(), Pictures::unknown)};
    for (const Primitive& p : primitives) {
        if (!p.textured || p.group >= plans.size() || plans[p.group].image < 0) continue;
        const auto image = static_cast<std::size_t>(plans[p.group].image);
        if (pictures.ofImage[image] != Pictures::unknown) continue;
        auto embedded = embedPicture(images.at(image), settings, own);
        pictures.ofImage[image] = embedded ? static_cast<std::int64_t>(pictures.embedded.size()) : Pictures::missing;
        if (embedded) pictures.embedded.push_back(std::move(*embedded));
    }
    return pictures;
}

// ---- The document ----

// What the JSON describes, as glTF's own objects; references are indices.
struct BufferView {
    std::uint64_t byteOffset = 0, byteLength = 0;
    int target = 0;  // 0 for a picture's view, which has none
};

struct Bounds {
    std::array<float, 3> min{}, max{};
};

struct Accessor {
    std::size_t bufferView = 0;
    int componentType = 0;
    std::size_t count = 0;
    const char* type = "";
    std::optional<Bounds> bounds;  // positions must have theirs
};

struct MeshPrimitive {
    std::size_t positions = 0, normals = 0;
    std::optional<std::size_t> uvs;
    std::size_t indices = 0;
    std::optional<std::size_t> material;
};

struct Material {
    std::string name;
    std::array<float, 4> baseColor{};
    std::optional<std::size_t> texture;  // for the base colour, and the emission when there is one
    float roughness = 1;
    std::optional<std::array<float, 3>> emissive;
    bool blend = false, doubleSided = false;
};

struct Sampler {
    int wrapS = repeat, wrapT = repeat;
    bool operator==(const Sampler&) const = default;
};

struct Texture {
    std::size_t sampler = 0, source = 0;
    bool operator==(const Texture&) const = default;
};

struct Image {
    std::size_t bufferView = 0;
    const char* mimeType = "";
    std::string name;
};

struct GltfDocument {
    std::vector<MeshPrimitive> primitives;
    std::vector<Material> materials;
    std::vector<Texture> textures;
    std::vector<Image> images;
    std::vector<Sampler> samplers;
    std::vector<Accessor> accessors;
    std::vector<BufferView> views;
    std::uint64_t bufferLength = 0;  // the binary chunk: every view, each padded to 4 bytes
};

std::size_t addView(GltfDocument& doc, std::uint64_t bytes, int target) {
    doc.views.push_back({doc.bufferLength, bytes, target});
    doc.bufferLength += (bytes + 3) / 4 * 4;
    return doc.views.size() - 1;
}

std::size_t addAccessor(GltfDocument& doc, std::size_t count, const char* type, int component,
                        std::optional<Bounds> bounds = std::nullopt) {
    const std::uint64_t components = type[0] == 'V' ? type[3] - '0' : 1;
    const std::uint64_t size = component == unsignedShort ? 2 : 4;
    const int target = component == floatComponent ? arrayBuffer : elementArrayBuffer;
    doc.accessors.push_back({addView(doc, components * size * count, target), component, count, type, bounds});
    return doc.accessors.size() - 1;
}

// The texture of the surface's picture, or nullopt when it is not embedded.
std::optional<std::size_t> textureFor(GltfDocument& doc, const SurfacePlan& plan, const Pictures& pictures) {
    if (plan.image < 0) return std::nullopt;
    const std::int64_t picture = pictures.ofImage[static_cast<std::size_t>(plan.image)];
    if (picture < 0) return std::nullopt;
    const Sampler sampler{plan.wrapS, plan.wrapT};
    auto s = std::find(doc.samplers.begin(), doc.samplers.end(), sampler);
    if (s == doc.samplers.end()) s = doc.samplers.insert(s, sampler);
    const Texture texture{static_cast<std::size_t>(s - doc.samplers.begin()), static_cast<std::size_t>(picture)};
    auto t = std::find(doc.textures.begin(), doc.textures.end(), texture);
    if (t == doc.textures.end()) t = doc.textures.insert(t, texture);
    return static_cast<std::size_t>(t - doc.textures.begin());
}

Material materialOf(const SurfacePlan& s, std::optional<std::size_t> texture) {
    const Color base = texture ? Color{1, 1, 1} : s.color;
    const double diffusion = clamp01(s.diffusion), luminosity = clamp01(s.luminosity);
    const double phong = std::exp2(10 * clamp01(s.glossiness) + 2);
    const double roughness = 1 - clamp01(s.specularity) * (1 - std::pow(2 / (phong + 2), 0.25));
    const double alpha = 1 - clamp01(s.transparency);
    const auto scaled = [&](double by) {
        return std::array<float, 3>{static_cast<float>(clamp01(base.r * by)), static_cast<float>(clamp01(base.g * by)),
                                    static_cast<float>(clamp01(base.b * by))};
    };
    Material m;
    m.name = s.name;
    const auto colour = scaled(diffusion);
    m.baseColor = {colour[0], colour[1], colour[2], static_cast<float>(alpha)};
    m.texture = texture;
    m.roughness = static_cast<float>(clamp01(roughness));
    if (luminosity > 0) m.emissive = scaled(luminosity);
    m.blend = alpha < 1;
    m.doubleSided = s.doubleSided;
    return m;
}

// Views and accessors in the order of the binary chunk: per primitive its
// positions, normals, texture coordinates and indices, then the pictures.
GltfDocument buildDocument(const std::vector<Primitive>& primitives, const std::vector<SurfacePlan>& plans,
                           const Pictures& pictures) {
    GltfDocument doc;
    for (const Primitive& p : primitives) {
        MeshPrimitive mp;
        mp.positions = addAccessor(doc, p.vertexCount, "VEC3", floatComponent, Bounds{p.min, p.max});
        mp.normals = addAccessor(doc, p.vertexCount, "VEC3", floatComponent);
        if (p.textured) mp.uvs = addAccessor(doc, p.vertexCount, "VEC2", floatComponent);
        const bool small = p.vertexCount <= 65535;  // 65535 itself is kept out of 16-bit indices
        mp.indices = addAccessor(doc, p.indexCount, "SCALAR", small ? unsignedShort : unsignedInt);
        if (p.group < plans.size()) {
            const SurfacePlan& plan = plans[p.group];
            doc.materials.push_back(materialOf(plan, p.textured ? textureFor(doc, plan, pictures) : std::nullopt));
            mp.material = doc.materials.size() - 1;
        }
        doc.primitives.push_back(mp);
    }
    for (const EmbeddedPicture& picture : pictures.embedded)
        doc.images.push_back({addView(doc, picture.bytes.size(), 0), picture.mimeType, picture.name});
    return doc;
}

// ---- The JSON ----

void writePrimitive(JsonWriter& w, const MeshPrimitive& p) {
    w.beginObject().key("attributes").beginObject().key("POSITION").number(p.positions);
    w.key("NORMAL").number(p.normals);
    if (p.uvs) w.key("TEXCOORD_0").number(*p.uvs);
    w.endObject().key("indices").number(p.indices);
    if (p.material) w.key("material").number(*p.material);
    w.key("mode").number(4).endObject();
}

void writeMaterial(JsonWriter& w, const Material& m) {
    w.beginObject().key("name").string(m.name);
    w.key("pbrMetallicRoughness").beginObject().key("baseColorFactor").numbers(m.baseColor);
    if (m.texture) w.key("baseColorTexture").beginObject().key("index").number(*m.texture).endObject();
    w.key("metallicFactor").number(0).key("roughnessFactor").number(m.roughness).endObject();
    if (m.emissive) {
        w.key("emissiveFactor").numbers(*m.emissive);
        if (m.texture) w.key("emissiveTexture").beginObject().key("index").number(*m.texture).endObject();
    }
    if (m.blend) w.key("alphaMode").string("BLEND");
    if (m.doubleSided) w.key("doubleSided").boolean(true);
    w.endObject();
}

void writeAccessor(JsonWriter& w, const Accessor& a) {
    w.beginObject().key("bufferView").number(a.bufferView).key("componentType").number(a.componentType);
    w.key("count").number(a.count).key("type").string(a.type);
    if (a.bounds) w.key("min").numbers(a.bounds->min).key("max").numbers(a.bounds->max);
    w.endObject();
}

// A member holding the items as an array, left out when there are none.
template <class T, class WriteItem>
void writeList(JsonWriter& w, std::string_view name, const std::vector<T>& items, WriteItem writeItem) {
    if (items.empty()) return;
    w.key(name).beginArray();
    for (const T& item : items) writeItem(w, item);
    w.endArray();
}

std::string documentJson(const GltfDocument& doc) {
    JsonWriter w;
    w.beginObject().key("asset").beginObject().key("version").string("2.0").key("generator").string("Morv3D Converter");
    w.endObject().key("scene").number(0);
    if (doc.primitives.empty()) {
        w.key("scenes").beginArray().beginObject().endObject().endArray().endObject();
        return w.take();
    }
    w.key("scenes").beginArray().beginObject().key("nodes").beginArray().number(0).endArray().endObject().endArray();
    w.key("nodes").beginArray().beginObject().key("mesh").number(0).endObject().endArray();
    w.key("meshes").beginArray().beginObject();
    writeList(w, "primitives", doc.primitives, writePrimitive);
    w.endObject().endArray();
    writeList(w, "materials", doc.materials, writeMaterial);
    writeList(w, "textures", doc.textures, [&](JsonWriter& out, const Texture& t) {
        out.beginObject().key("sampler").number(t.sampler).key("source").number(t.source);
        out.key("name").string(doc.images[t.source].name).endObject();
    });
    writeList(w, "images", doc.images, [](JsonWriter& out, const Image& i) {
        out.beginObject().key("bufferView").number(i.bufferView).key("mimeType").string(i.mimeType);
        out.key("name").string(i.name).endObject();
    });
    writeList(w, "samplers", doc.samplers, [](JsonWriter& out, const Sampler& s) {
        out.beginObject().key("magFilter").number(int{linear}).key("minFilter").number(int{linearMipmapLinear});
        out.key("wrapS").number(s.wrapS).key("wrapT").number(s.wrapT).endObject();
    });
    writeList(w, "accessors", doc.accessors, writeAccessor);
    writeList(w, "bufferViews", doc.views, [](JsonWriter& out, const BufferView& v) {
        out.beginObject().key("buffer").number(0).key("byteOffset").number(v.byteOffset);
        out.key("byteLength").number(v.byteLength);
        if (v.target) out.key("target").number(v.target);
        out.endObject();
    });
    w.key("buffers").beginArray().beginObject().key("byteLength").number(doc.bufferLength).endObject().endArray();
    w.endObject();
    return w.take();
}

// ---- The file ----

void writeU32(OutputFile& file, std::uint32_t v) {
    file.write(std::string_view(reinterpret_cast<const char*>(&v), 4));
}

// Bytes from memory in pieces no larger than the file's block.
void writeBytes(OutputFile& file, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = std::min(size - done, OutputFile::blockSize);
        file.write(std::string_view(bytes + done, piece));
        done += piece;
    }
}

void pad(OutputFile& file, std::uint64_t size, char with) {
    file.write(std::string(static_cast<std::size_t>((4 - size % 4) % 4), with));
}

void writeBinary(OutputFile& file, const TriangleBuilder& t, const Pictures& pictures) {
    std::vector<std::uint16_t> shorts;
    for (const Primitive& p : t.primitives) {
        writeBytes(file, &t.positions[3 * std::size_t{p.firstVertex}], 12 * std::size_t{p.vertexCount});
        writeBytes(file, &t.normals[3 * std::size_t{p.firstVertex}], 12 * std::size_t{p.vertexCount});
        if (p.textured) writeBytes(file, &t.uvs[2 * p.firstUV], 8 * std::size_t{p.vertexCount});
        const std::span<const std::uint32_t> indices(&t.indices[p.firstIndex], p.indexCount);
        if (p.vertexCount > 65535) {
            writeBytes(file, indices.data(), 4 * indices.size());
            continue;
        }
        for (std::size_t from = 0; from < indices.size(); from += 1 << 16) {
            const auto part = indices.subspan(from, std::min<std::size_t>(indices.size() - from, 1 << 16));
            shorts.assign(part.begin(), part.end());
            writeBytes(file, shorts.data(), 2 * shorts.size());
        }
        pad(file, 2 * indices.size(), '\0');
    }
    for (const EmbeddedPicture& picture : pictures.embedded) {
        writeBytes(file, picture.bytes.data(), picture.bytes.size());
        pad(file, picture.bytes.size(), '\0');
    }
}

}  // namespace

std::string gltfProgressLine(const std::string& destination) {
    return "Writing glTF 2.0 binary file " + destination + "\n";
}

void writeGLTF(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings,
               const GLTFSettings& own) {
    const PolygonMesh mesh = unpackPolygonMeshTop(scene);
    const MeshView view(mesh.mesh);
    const auto [surfaces, images] = getSurfacesImages(scene);
    std::vector<SurfacePlan> plans;
    for (std::size_t i = 0; i < surfaces.size(); ++i) plans.push_back(planSurface(surfaces.at(i), images, settings));

    TriangleBuilder triangles(view, meshNormals(mesh.mesh), plans, settings.messages);
    triangles.build(own.subdivisionLevel);
    const Pictures pictures = embedPictures(triangles.primitives, plans, images, settings, own);
    const GltfDocument document = buildDocument(triangles.primitives, plans, pictures);
    std::string json = documentJson(document);
    json.append((4 - json.size() % 4) % 4, ' ');
    const std::uint64_t binary = document.bufferLength;
    const std::uint64_t total = 12 + 8 + json.size() + (binary > 0 ? 8 + binary : 0);
    if (total > std::numeric_limits<std::uint32_t>::max())
        throw Error("The glTF file would take " + intToText(static_cast<std::int64_t>(total)) +
                    " bytes; a binary glTF file holds at most 4294967295");

    OutputFile file(destination);
    file.write("glTF");
    writeU32(file, 2);
    writeU32(file, static_cast<std::uint32_t>(total));
    writeU32(file, static_cast<std::uint32_t>(json.size()));
    file.write("JSON");
    file.write(json);
    if (binary > 0) {
        writeU32(file, static_cast<std::uint32_t>(binary));
        file.write(std::string_view("BIN\0", 4));
        writeBinary(file, triangles, pictures);
    }
    file.commit();
    triangles.reportAfterWriting();
}

}  // namespace morv
