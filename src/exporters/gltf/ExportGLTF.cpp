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
#include <span>
#include <vector>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "geometry/ConvexSplitting.hpp"
#include "exporters/FacePieces.hpp"
#include "exporters/PolygonMesh.hpp"
#include "exporters/gltf/TextureBaking.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/Vector.hpp"
#include "support/GetCs.hpp"
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

// The length of the well-formed UTF-8 sequence of 2 to 4 bytes at the start of text, or 0.
std::size_t utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(0);
    const std::size_t n = first >= 0xC2 && first <= 0xDF ? 2 : first >= 0xE0 && first <= 0xEF ? 3
                        : first >= 0xF0 && first <= 0xF4 ? 4 : 0;
    if (n == 0 || text.size() < n) return 0;
    std::uint32_t code = first & (0x7F >> n);
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    return code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ? 0 : n;
}

// A JSON string. Names come from files in any encoding: well-formed UTF-8 is
// kept, any other byte is taken as Latin-1.
void appendString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const std::size_t n = utf8Length(text.substr(i))) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        ++i;
    }
    out += '"';
}

template <class T>
std::string& appendNumber(std::string& out, T value) {
    char text[32];
    return out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Starts the next member ("name":) or, with an empty name, the next element.
std::string& member(std::string& out, std::string_view name = {}) {
    if (out.back() != '{' && out.back() != '[') out += ',';
    if (!name.empty()) {
        out += '"';
        out += name;
        out += "\":";
    }
    return out;
}

void appendNumbers(std::string& out, std::span<const double> values) {
    out += '[';
    for (double v : values) appendNumber(member(out), static_cast<float>(v));  // as the file stored them
    out += ']';
}

// ---- Surfaces ----

double clamp01(double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0); }

int samplerWrap(std::int32_t lightWaveWrap) {
    return lightWaveWrap == 2 ? mirroredRepeat : lightWaveWrap == 3 ? clampToEdge : repeat;
}

struct SurfacePlan {
    std::string name;
    Color color{1, 1, 1};
    double diffusion = 1, specularity = 0, glossiness = 0.4, luminosity = 0, transparency = 0;
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
    TriangleBuilder(const MeshView& view, const std::vector<SurfacePlan>& plans, std::ostream& messages)
        : view_(view),
          plans_(plans),
          messages_(messages),
          firstUse_(view.vertexCount(), none),
          faces_(view, "a glTF file", largestFloat, messages) {}

    void build() {
        const std::size_t faces = view_.faceCount(), groups = plans_.size() + 1;
        const FaceGroups bySurface = groupFacesBySurface(view_, plans_.size(), 0);
        // Room for about one vertex per point and the fans of all faces.
        positions.reserve(3 * view_.vertexCount());
        indices.reserve(3 * (view_.cornerCount() - std::min(view_.cornerCount(), 2 * faces)));

        for (std::size_t g = 0; g < groups; ++g) {
            const std::span<const std::uint32_t> group = bySurface.of(g);
            if (group.empty()) continue;
            const SurfacePlan* plan = g < plans_.size() ? &plans_[g] : nullptr;
            baking_ = plan && plan->baking ? &*plan->baking : nullptr;
            current_ = {g, baking_ != nullptr, static_cast<std::uint32_t>(positions.size() / 3), 0, uvs.size() / 2,
                        indices.size(), 0, {}, {}};
            const std::string_view surface = plan ? std::string_view(plan->name) : std::string_view("none");
            for (std::uint32_t face : group) addFace(face, surface);
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
    std::vector<float> positions, uvs;     // glTF's: x, y, -z per vertex; u, v per vertex of a textured primitive
    std::vector<std::uint32_t> indices;    // from each primitive's first vertex

private:
    // One face: its flat convex pieces, each a fan of triangles.
    void addFace(std::size_t face, std::string_view surface) {
        const std::int32_t slot = baking_ && baking_->usesTextureCoordinates() ? baking_->stIndex() : -1;
        const PolygonShape shape = faces_.cut(face, slot);
        const PolygonPieces& pieces = faces_.pieces();
        std::size_t triangles = 0;
        for (std::size_t k = 0; k < pieces.count(); ++k) {
            faces_.gatherPiece(pieces.piece(k));
            const auto cornerPositions = pieces.piece(k);
            const auto points = faces_.piecePoints();
            const auto sts = faces_.pieceSts();
            piece_.clear();
            for (std::size_t i = 0; i < cornerPositions.size(); ++i)
                piece_.push_back({points[i], faces_.vertexAt(cornerPositions[i]).value_or(none), sts[i]});
            triangles += addFan();
        }
        if (triangles == 0)
            faces_.reportLeftOut(face, surface, shape, "has no area in the single floats of a glTF file");
    }

    static std::array<float, 3> written(const XYZ& p) {
        return {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(0.0 - p.z)};  // 0 stays +0
    }

    // The piece as triangles (0, i, i + 1), each written in reverse order;
    // how many were written.
    std::size_t addFan() {
        XYZ normal{};
        for (std::size_t i = 2; i < piece_.size(); ++i)
            normal = normal + cross(piece_[i - 1].point - piece_[0].point, piece_[i].point - piece_[0].point);
        const double tolerance = faces_.splitter().tolerance();
        std::size_t triangles = 0;
        for (std::size_t i = 1; i + 1 < piece_.size(); ++i) {
            const std::array<const Corner*, 3> c{&piece_[0], &piece_[i], &piece_[i + 1]};
            std::array<std::array<float, 3>, 3> p;
            std::array<XYZ, 3> w;
            for (int k = 0; k < 3; ++k) {
                p[k] = written(c[k]->point);
                w[k] = {p[k][0], p[k][1], p[k][2]};
            }
            // Left out when no wider than the tolerance across its longest side.
            const XYZ e1 = w[1] - w[0], e2 = w[2] - w[0], e3 = w[2] - w[1], n = cross(e1, e2);
            const double longest2 = std::max({dot(e1, e1), dot(e2, e2), dot(e3, e3)});
            if (!(dot(n, n) > tolerance * tolerance * longest2)) continue;
            std::array<UV, 3> uv{};
            if (baking_) {
                missingSts_ += baking_->bake({c[0]->point, c[1]->point, c[2]->point},
                                              {c[0]->st, c[1]->st, c[2]->st}, normal, uv);
            }
            for (int k : {0, 2, 1}) indices.push_back(vertexFor(*c[k], p[k], uv[k]));
            current_.indexCount += 3;
            ++triangles;
        }
        return triangles;
    }

    // The primitive's vertex for this point and these coordinates: an earlier
    // one of the same scene vertex with the same coordinates, or a new one.
    std::uint32_t vertexFor(const Corner& c, const std::array<float, 3>& position, UV uv) {
        const auto toFloat = [](double v) { return std::fabs(v) <= largestFloat ? static_cast<float>(v) : 0.0f; };
        const float u = toFloat(uv.u), v = toFloat(uv.v);
        const std::uint32_t base = current_.firstVertex;
        if (c.source != none)
            for (std::uint32_t old = firstUse_[c.source]; old != none; old = nextSame_[old - base]) {
                const std::size_t at = 2 * (current_.firstUV + (old - base));
                if (!current_.textured || (uvs[at] == u && uvs[at + 1] == v)) return old - base;
            }
        const std::size_t global = positions.size() / 3;
        if (global >= none) throw Error("The object has more vertices than a glTF file can index");
        positions.insert(positions.end(), position.begin(), position.end());
        if (current_.textured) {
            uvs.push_back(u);
            uvs.push_back(v);
        }
        for (int k = 0; k < 3; ++k) {
            current_.min[k] = current_.vertexCount == 0 ? position[k] : std::min(current_.min[k], position[k]);
            current_.max[k] = current_.vertexCount == 0 ? position[k] : std::max(current_.max[k], position[k]);
        }
        nextSame_.push_back(c.source != none ? firstUse_[c.source] : none);
        if (c.source != none) firstUse_[c.source] = static_cast<std::uint32_t>(global);
        sources_.push_back(c.source);
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
    std::vector<Corner> piece_;
    std::size_t missingSts_ = 0;
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

// ---- The file ----

// What the JSON describes and the binary chunk holds, built front to back.
class Document {
public:
    Document(const std::vector<SurfacePlan>& plans, const MorvLValue& images, const ExportSettings& settings,
             const GLTFSettings& own)
        : plans_(plans), images_(images), settings_(settings), own_(own), pictureOf_(images.size(), unknown) {}

    std::string json(const TriangleBuilder& triangles) {
        std::string primitives = "[";
        for (const Primitive& p : triangles.primitives) {
            member(primitives) += "{\"attributes\":{\"POSITION\":";
            appendNumber(primitives, addPositions(p));
            if (p.textured) appendNumber(primitives += ",\"TEXCOORD_0\":", addView(8 * std::uint64_t{p.vertexCount}, arrayBuffer, p.vertexCount, "VEC2", floatComponent));
            primitives += "},\"indices\":";
            const bool small = p.vertexCount <= 65535;  // 65535 itself is kept out of 16-bit indices
            appendNumber(primitives, addView((small ? 2 : 4) * std::uint64_t{p.indexCount}, elementArrayBuffer,
                                             p.indexCount, "SCALAR", small ? unsignedShort : unsignedInt));
            if (p.group < plans_.size()) appendNumber(primitives += ",\"material\":", addMaterial(plans_[p.group], p.textured));
            primitives += ",\"mode\":4}";
        }
        primitives += ']';
        for (const EmbeddedPicture& picture : pictures_) {
            member(imageList_) += "{\"bufferView\":";
            appendNumber(imageList_, addView(picture.bytes.size(), 0, 0, nullptr, 0));
            imageList_ += ",\"mimeType\":\"";
            imageList_ += picture.mimeType;
            appendString(imageList_ += "\",\"name\":", picture.name);
            imageList_ += '}';
        }

        std::string out = "{\"asset\":{\"version\":\"2.0\",\"generator\":\"Morv3D Converter\"},\"scene\":0";
        if (triangles.primitives.empty()) return out + ",\"scenes\":[{}]}";
        out += ",\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":" + primitives + "}]";
        const auto list = [&](const char* name, const std::string& items) {
            if (items.size() > 1) out += std::string(",\"") + name + "\":" + items + "]";
        };
        list("materials", materials_);
        list("textures", textures_);
        list("images", imageList_);
        list("samplers", samplers_);
        list("accessors", accessors_);
        list("bufferViews", views_);
        out += ",\"buffers\":[{\"byteLength\":";
        appendNumber(out, binaryLength_);
        return out + "}]}";
    }

    std::uint64_t binaryLength() const { return binaryLength_; }
    const std::vector<EmbeddedPicture>& pictures() const { return pictures_; }

private:
    static constexpr std::int64_t unknown = -2, missing = -1;

    std::uint64_t addView(std::uint64_t bytes, int target, std::size_t count, const char* type, int component) {
        member(views_) += "{\"buffer\":0,\"byteOffset\":";
        appendNumber(views_, binaryLength_);
        appendNumber(views_ += ",\"byteLength\":", bytes);
        if (target) appendNumber(views_ += ",\"target\":", target);
        views_ += '}';
        binaryLength_ += (bytes + 3) / 4 * 4;
        const std::size_t view = viewCount_++;
        if (!type) return view;
        member(accessors_) += "{\"bufferView\":";
        appendNumber(accessors_, view);
        appendNumber(accessors_ += ",\"componentType\":", component);
        appendNumber(accessors_ += ",\"count\":", count);
        accessors_ += ",\"type\":\"";
        accessors_ += type;
        accessors_ += '"';
        if (pendingBounds_) {
            accessors_ += ",\"min\":[";
            for (float v : pendingBounds_->min) appendNumber(member(accessors_), v);
            accessors_ += "],\"max\":[";
            for (float v : pendingBounds_->max) appendNumber(member(accessors_), v);
            accessors_ += ']';
            pendingBounds_ = nullptr;
        }
        accessors_ += '}';
        return accessorCount_++;
    }

    std::uint64_t addPositions(const Primitive& p) {
        pendingBounds_ = &p;
        return addView(12 * std::uint64_t{p.vertexCount}, arrayBuffer, p.vertexCount, "VEC3", floatComponent);
    }

    // The texture of the surface's picture, or -1 when it is not embedded.
    std::int64_t textureFor(const SurfacePlan& plan) {
        if (plan.image < 0) return missing;
        std::int64_t& picture = pictureOf_[static_cast<std::size_t>(plan.image)];
        if (picture == unknown) {
            auto embedded = embedPicture(images_.at(static_cast<std::size_t>(plan.image)), settings_, own_);
            picture = embedded ? static_cast<std::int64_t>(pictures_.size()) : missing;
            if (embedded) pictures_.push_back(std::move(*embedded));
        }
        if (picture == missing) return missing;
        const std::array<std::int64_t, 3> key{picture, plan.wrapS, plan.wrapT};
        const auto known = std::find(textureKeys_.begin(), textureKeys_.end(), key);
        if (known != textureKeys_.end()) return known - textureKeys_.begin();
        const std::pair<int, int> wraps{plan.wrapS, plan.wrapT};
        auto sampler = std::find(samplerKeys_.begin(), samplerKeys_.end(), wraps);
        if (sampler == samplerKeys_.end()) {
            member(samplers_) += "{\"magFilter\":" + std::to_string(linear) +
                                 ",\"minFilter\":" + std::to_string(linearMipmapLinear) +
                                 ",\"wrapS\":" + std::to_string(plan.wrapS) + ",\"wrapT\":" + std::to_string(plan.wrapT) + "}";
            sampler = samplerKeys_.insert(samplerKeys_.end(), wraps);
        }
        member(textures_) += "{\"sampler\":";
        appendNumber(textures_, sampler - samplerKeys_.begin());
        appendNumber(textures_ += ",\"source\":", picture);
        appendString(textures_ += ",\"name\":", pictures_[static_cast<std::size_t>(picture)].name);
        textures_ += '}';
        textureKeys_.push_back(key);
        return static_cast<std::int64_t>(textureKeys_.size()) - 1;
    }

    std::size_t addMaterial(const SurfacePlan& s, bool textured) {
        const std::int64_t texture = textured ? textureFor(s) : missing;
        const Color base = texture >= 0 ? Color{1, 1, 1} : s.color;
        const double diffusion = clamp01(s.diffusion), luminosity = clamp01(s.luminosity);
        const double phong = std::exp2(10 * clamp01(s.glossiness) + 2);
        const double roughness = 1 - clamp01(s.specularity) * (1 - std::pow(2 / (phong + 2), 0.25));
        const double alpha = 1 - clamp01(s.transparency);
        std::string& m = member(materials_);
        appendString(m += "{\"name\":", s.name);
        m += ",\"pbrMetallicRoughness\":{\"baseColorFactor\":";
        const std::array<double, 4> factor{clamp01(base.r * diffusion), clamp01(base.g * diffusion),
                                           clamp01(base.b * diffusion), alpha};
        appendNumbers(m, factor);
        if (texture >= 0) appendNumber(m += ",\"baseColorTexture\":{\"index\":", texture) += '}';
        appendNumber(m += ",\"metallicFactor\":0,\"roughnessFactor\":", static_cast<float>(clamp01(roughness)));
        m += '}';
        if (luminosity > 0) {
            const std::array<double, 3> emissive{clamp01(base.r * luminosity), clamp01(base.g * luminosity),
                                                 clamp01(base.b * luminosity)};
            appendNumbers(m += ",\"emissiveFactor\":", emissive);
            if (texture >= 0) appendNumber(m += ",\"emissiveTexture\":{\"index\":", texture) += '}';
        }
        if (alpha < 1) m += ",\"alphaMode\":\"BLEND\"";
        if (s.doubleSided) m += ",\"doubleSided\":true";
        m += '}';
        return materialCount_++;
    }

    const std::vector<SurfacePlan>& plans_;
    const MorvLValue& images_;
    const ExportSettings& settings_;
    const GLTFSettings& own_;
    std::vector<std::int64_t> pictureOf_;  // per scene image: its picture, unknown or missing
    std::vector<EmbeddedPicture> pictures_;
    std::vector<std::array<std::int64_t, 3>> textureKeys_;
    std::vector<std::pair<int, int>> samplerKeys_;
    std::string materials_ = "[", textures_ = "[", imageList_ = "[", samplers_ = "[", accessors_ = "[", views_ = "[";
    std::size_t viewCount_ = 0, accessorCount_ = 0, materialCount_ = 0;
    std::uint64_t binaryLength_ = 0;
    const Primitive* pendingBounds_ = nullptr;
};

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

void writeBinary(OutputFile& file, const TriangleBuilder& t, const Document& document) {
    std::vector<std::uint16_t> shorts;
    for (const Primitive& p : t.primitives) {
        writeBytes(file, &t.positions[3 * std::size_t{p.firstVertex}], 12 * std::size_t{p.vertexCount});
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
    for (const EmbeddedPicture& picture : document.pictures()) {
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

    TriangleBuilder triangles(view, plans, settings.messages);
    triangles.build();
    Document document(plans, images, settings, own);
    std::string json = document.json(triangles);
    json.append((4 - json.size() % 4) % 4, ' ');
    const std::uint64_t binary = document.binaryLength();
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
        writeBinary(file, triangles, document);
    }
    file.commit();
    triangles.reportAfterWriting();
}

}  // namespace morv
