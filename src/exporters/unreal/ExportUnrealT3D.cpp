#include "exporters/unreal/ExportUnrealT3D.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ostream>
#include <string_view>
#include <vector>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "geometry/ConvexSplitting.hpp"
#include "exporters/FacePieces.hpp"
#include "exporters/PolygonMesh.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/Vector.hpp"
#include "support/BackgroundWriter.hpp"
#include "support/NeutralFileName.hpp"
#include "support/OutputFile.hpp"

namespace morv {
namespace ExportUnrealT3D {
namespace {

[[noreturn]] void raiseMissingTextureField(const char* name) {
    throw Error(std::string("Internal Error: Expected field ") + name + " not found in texture data!\n");
}

MorvLValue requireTextureField(const Fields& texture, const char* name, Kind kind) {
    const auto value = texture.find(name);
    if (!value || value->kind() != kind) raiseMissingTextureField(name);
    return *value;
}

// The editor cuts a texture name at a blank and reads "." as a separator of
// package, group and name, so only letters, digits and "_" are kept, and the
// brush reader takes no longer name than longestBrushTextureName.
std::string brushTextureName(std::string_view raw) {
    std::string name;
    for (char c : raw.substr(0, longestBrushTextureName)) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        name.push_back(plain ? c : '_');
    }
    return name.empty() ? "Default" : name;
}

// The last element of the image's path without its extension (the text after
// a last "." that is neither the element's first nor its last character).
std::string imageBaseName(const MorvLValue& image) {
    if (!image.isRecord()) throw Error("Internal error: Expected RECORD type not found in ExportUnrealT3D.imageBaseName!\n");
    const std::string path = getFileNamePath(requireField(image.fields(), "fileName"));
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size()) name.resize(dot);
    return name;
}

std::pair<double, double> imageResolution(const MorvLValue& image) {
    const auto resolution = image.fields().find("resolution");
    if (!resolution || !resolution->isRecord()) throw Error("Could not find field resolution");
    const Fields r = resolution->fields();
    const double w = forceGetRealField(r, "w"), h = forceGetRealField(r, "h");
    if (!(w > 0 && h > 0 && std::isfinite(w) && std::isfinite(h)))
        throw Error("Image " + imageBaseName(image) + " has the unusable resolution " + realToText(w) + " x " +
                    realToText(h));
    return {w, h};
}

// "00" .. "99", for writing two digits at a time.
constexpr auto digitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Writes the decimal digits of v, at least minimum of them, ending at end;
// returns where they start.
char* digitsBefore(char* end, std::uint64_t v, int minimum) {
    char* p = end;
    while (v >= 100) {
        p -= 2;
        std::memcpy(p, &digitPairs[2 * (v % 100)], 2);
        v /= 100;
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, &digitPairs[2 * v], 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    while (end - p < minimum) *--p = '0';
    return p;
}

// Most bytes formatBrushNumber writes: sign and the fixed form of the largest double.
constexpr std::size_t maxNumberBytes = 1 + 309 + 7;

// Writes value at p as printf's "%+013.6f" does and returns the end.
char* formatBrushNumber(char* p, double value) {
    // The sign is that of the value, also when it rounds to zero ("-00000.000000").
    const char sign = std::signbit(value) ? '-' : '+';
    const double magnitude = std::fabs(value);
    if (!std::isfinite(magnitude)) {  // blanks in front, as printf pads these
        p = std::fill_n(p, 9, ' ');
        *p++ = sign;
        std::memcpy(p, std::isnan(magnitude) ? "nan" : "inf", 3);
        return p + 3;
    }
    *p++ = sign;
    // Fast path: millionths as a whole number. Below 1e7 the product is off the
    // exact one by less than 2^-9, so its rounding is the exact one unless it
    // lies that close to a half; those and larger values go through to_chars.
    const double millionths = magnitude * 1e6;
    const double rounded = std::nearbyint(millionths);
    if (magnitude < 1e7 && std::fabs(millionths - rounded) < 0.498) {
        const auto whole = static_cast<std::uint64_t>(rounded);
        const std::uint64_t units = whole / 1000000;  // up to 10^7 when the rounding carries
        int digits = 5;
        for (std::uint64_t bound = 100000; units >= bound; bound *= 10) ++digits;
        // Written in place from the end: its length is known first.
        char* const end = p + digits + 7;
        char* const point = digitsBefore(end, whole % 1000000, 6) - 1;
        *point = '.';
        digitsBefore(point, units, 5);
        return end;
    }
    char text[maxNumberBytes];
    const char* end = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::fixed, 6).ptr;
    for (std::ptrdiff_t digits = end - text - 7; digits < 5; ++digits) *p++ = '0';
    std::memcpy(p, text, static_cast<std::size_t>(end - text));
    return p + (end - text);
}

char* put(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// A label, a vector's numbers joined by "," and the line end.
char* putVectorLine(char* p, std::string_view label, const XYZ& v) {
    p = put(p, label);
    p = formatBrushNumber(p, v.x);
    *p++ = ',';
    p = formatBrushNumber(p, v.y);
    *p++ = ',';
    p = formatBrushNumber(p, v.z);
    return put(p, "\r\n");
}

// The polygon as written, its numbers rounded to six decimals, still covers
// some area and faces the way normal does: wider than the tolerance of the
// face's rounding (a run of points along one edge is not).
bool keepsItsAreaAsWritten(std::span<const XYZ> polygon, const XYZ& normal, double tolerance) {
    const auto rounded = [](const XYZ& p) {
        return XYZ{std::nearbyint(p.x * 1e6) / 1e6, std::nearbyint(p.y * 1e6) / 1e6, std::nearbyint(p.z * 1e6) / 1e6};
    };
    XYZ sum{};
    double extent2 = 0;
    const XYZ o = rounded(polygon[0]);
    XYZ previous = o;
    for (std::size_t i = 1; i <= polygon.size(); ++i) {
        const XYZ p = i < polygon.size() ? rounded(polygon[i]) : o;
        const XYZ b = p - o;
        sum = sum + cross(previous - o, b);
        extent2 = std::max(extent2, dot(b, b));
        previous = p;
    }
    return dot(sum, normal) > tolerance * std::sqrt(extent2) * length(normal);
}

// The editor takes a vertex as lying on its polygon's plane (through the
// first vertex, along the Normal) within this many units.
constexpr double editorFlatness = 0.1;

// Text kept in memory.
struct TextSink {
    std::string& text;
    std::string& buffer() { return text; }
    void flushIfFull() {}
};

// Writes the polygons of one scene; keeps its working storage from face to face.
class BrushWriter final : private PieceTest {
public:
    BrushWriter(const MorvLValue& scene, const ExportSettings& settings)
        : mesh_(unpackPolygonMeshTop(scene)),
          view_(mesh_.mesh),
          placements_(mesh_.mesh),
          messages_(settings.messages),
          faces_(view_, "an Unreal brush", maxBrushNumber, settings.messages) {
        const auto [surfaces, images] = getSurfacesImages(scene);
        for (std::size_t i = 0; i < surfaces.size(); ++i)
            surfaces_.push_back(
                prepareSurface(surfaces.at(i), images, settings.textureWidth, settings.textureHeight));
        if (placements_.size() != 0 && placements_.size() != view_.faceCount())
            throw Error("Internal error: the mesh keeps " + intToText(static_cast<std::int64_t>(placements_.size())) +
                        " brush placements for " + intToText(static_cast<std::int64_t>(view_.faceCount())) +
                        " faces\n");
    }

    template <class Sink>
    void write(Sink& sink) {
        sink.buffer() += "Begin PolyList\r\n";
        for (std::size_t f = 0; f < view_.faceCount(); ++f) {
            writeFace(f, sink.buffer());
            sink.flushIfFull();
        }
        sink.buffer() += "End PolyList\r\n";
    }

    // The lines that sum up what was written in an unusual way.
    void reportAfterWriting() const { faces_.reportAfterWriting(); }

private:
    const PreparedSurface& surfaceOf(std::size_t face) const {
        const auto s = view_.surface(face);
        if (!s || *s < 0 || static_cast<std::size_t>(*s) >= surfaces_.size())
            throw Error("Face " + intToText(static_cast<std::int64_t>(face)) + " does not refer to one of the " +
                        intToText(static_cast<std::int64_t>(surfaces_.size())) + " surfaces of the scene");
        return surfaces_[static_cast<std::size_t>(*s)];
    }

    // A piece stays whole only where one placement shows each corner its texel.
    bool keepsWhole(std::span<const std::uint32_t> piece) override {
        faces_.gatherPiece(piece);
        const auto points = faces_.piecePoints();
        return surface_->mapping.keepsEveryTexel(points, normalized(newellNormal(points)), faces_.pieceSts());
    }

    void writeFace(std::size_t face, std::string& out) {
        surface_ = &surfaceOf(face);
        if (view_.corners(face).size() < 3) throw Error("Polygons must have at least 3 vertices!\n");
        const bool kept = placements_.size() != 0;
        const std::int32_t slot = surface_->mapping.usesTextureCoordinates() ? surface_->mapping.stIndex() : -1;
        SplitRules rules;
        rules.offPlane = editorFlatness;
        rules.test = !kept && slot >= 0 ? this : nullptr;
        const PolygonShape shape = faces_.cut(face, slot, rules);
        const PolygonPieces& pieces = faces_.pieces();
        std::size_t written = 0;
        const WholeFace* wholeFace = nullptr;  // for pieces too thin for a placement of their own
        for (std::size_t k = 0; k < pieces.count(); ++k) {
            faces_.gatherPiece(pieces.piece(k));
            const auto points = faces_.piecePoints();
            const XYZ normal = newellNormal(points);
            // A piece thinner than a written step would lose its area or turn over in the file.
            if (!keepsItsAreaAsWritten(points, normal, faces_.splitter().tolerance())) continue;
            const XYZ unit = normalized(normal);
            if (kept) {
                const FacePlacement p = placements_[face];
                writePolygon(out, surface_->textureName, points, {p.origin, unit, p.textureU, p.textureV}, p.pan);
            } else {
                if (pieces.count() > 1 && !wholeFace) {
                    whole_ = {faces_.facePoints(), normalized(newellNormal(faces_.facePoints())), faces_.faceSts()};
                    wholeFace = &whole_;
                }
                writePolygon(out, surface_->textureName, points,
                             surface_->mapping.place(points, unit, faces_.pieceSts(), messages_, wholeFace));
            }
            ++written;
        }
        if (written == 0)
            faces_.reportLeftOut(face, surface_->name, shape, "has no area in the six decimals of brush text");
    }

    // The polygon's lines are put together in scratch_ and appended at once.
    // pan (x along TextureU, y along TextureV), when not zero, is written as
    // a Pan line: a brush's pan along an axis of zero length, which no origin shows.
    void writePolygon(std::string& out, const std::string& textureName, std::span<const XYZ> points,
                      const PolygonTexturing& t, const XYZ& pan = {}) {
        const std::size_t lineBytes = 15 + 3 * maxNumberBytes + 4;
        scratch_.resize(std::max(scratch_.size(), 80 + textureName.size() + (5 + points.size()) * lineBytes));
        char* const start = scratch_.data();
        char* p = put(start, "   Begin Polygon Item=OUTSIDE Texture=");
        p = put(p, textureName);
        p = put(p, " Link=");
        p = std::to_chars(p, p + 24, link_++).ptr;
        p = put(p, "\r\n");
        p = putVectorLine(p, "      Origin   ", t.origin);
        p = putVectorLine(p, "      Normal   ", t.normal);
        if (pan.x != 0 || pan.y != 0) {
            p = formatBrushNumber(put(p, "      Pan      U="), pan.x);
            p = put(formatBrushNumber(put(p, " V="), pan.y), "\r\n");
        }
        p = putVectorLine(p, "      TextureU ", t.textureU);
        p = putVectorLine(p, "      TextureV ", t.textureV);
        for (const XYZ& v : points) p = putVectorLine(p, "      Vertex   ", v);
        p = put(p, "   End Polygon\r\n");
        out.append(start, static_cast<std::size_t>(p - start));
    }

    PolygonMesh mesh_;
    MeshView view_;
    FacePlacements placements_;
    std::ostream& messages_;
    std::vector<PreparedSurface> surfaces_;
    const PreparedSurface* surface_ = nullptr;  // of the face being written
    FacePieces faces_;
    WholeFace whole_;
    std::vector<char> scratch_;
    std::uint64_t link_ = 0;
};

}  // namespace

std::optional<MorvLValue> getFirstColorTexture(const MorvLValue& textures) {
    for (std::size_t i = 0; i < textures.size(); ++i) {
        const MorvLValue texture = textures.at(i);
        if (!texture.isRecord())
            throw Error("Internal error: Expected RECORD type not found in ExportUnrealT3D.getFirstColorTexture!\n");
        const Fields fields = texture.fields();
        const std::string channel = requireTextureField(fields, "textureChannel", Kind::STRING).asString();
        const std::string projection = requireTextureField(fields, "projection", Kind::STRING).asString();
        if (channel == "color" && (projection == "planar" || projection == "st")) return texture;
    }
    return std::nullopt;
}

PreparedSurface prepareSurface(const MorvLValue& surface, const MorvLValue& images, double defaultWidth,
                               double defaultHeight) {
    if (!surface.isRecord())
        throw Error("Internal Error: Expected RECORD type not found in ExportUnrealT3D.prepareSurface!\n");
    const Fields fields = surface.fields();
    const auto textures = fields.find("textures");
    if (!textures || textures->kind() != Kind::LIST)
        throw Error("Internal Error: Expected field textures not found in ExportUnlrealT3D.prepareSurface!\n");
    // A brush's own "Texture=" word goes back as it came, when the reader would take it again.
    const std::string kept = getStringField(fields, brushTextureField, "");
    const bool keep = !kept.empty() && kept.size() <= longestBrushTextureName &&
                      kept.find_first_of(std::string_view(" \t\r\n\v\f")) == std::string::npos;
    const std::string surfaceName = getStringField(fields, "name", "");
    PreparedSurface prepared{keep ? kept : brushTextureName(surfaceName), {}, surfaceName};
    const auto texture = getFirstColorTexture(*textures);
    if (!texture) return prepared;

    const Fields t = texture->fields();
    const std::int32_t image = requireTextureField(t, "image", Kind::INT).asInt();
    const std::int32_t stIndex = requireTextureField(t, "stIndex", Kind::INT).asInt();
    const MorvLValue transforms = requireTextureField(t, "transforms", Kind::LIST);
    double w = defaultWidth, h = defaultHeight;
    if (image >= 0) {
        const MorvLValue record = imageAt(images, image);
        std::tie(w, h) = imageResolution(record);
        if (!keep) prepared.textureName = brushTextureName(imageBaseName(record));
    }
    if (getStringField(t, "projection", "") == "planar")
        prepared.mapping = TextureSpaceMapping::planar(transforms, w, h);
    else
        prepared.mapping = TextureSpaceMapping::st(stIndex, w, h);
    return prepared;
}

void appendBrushNumber(std::string& out, double value) {
    char text[maxNumberBytes];
    out.append(text, static_cast<std::size_t>(formatBrushNumber(text, value) - text));
}

void translate(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings) {
    BrushWriter writer(scene, settings);
    OutputFile file(destination);
    {
        BackgroundWriter blocks(file);
        writer.write(blocks);
        blocks.finish();
    }
    file.commit();
    writer.reportAfterWriting();
}

std::string brushText(const MorvLValue& scene, const ExportSettings& settings) {
    BrushWriter writer(scene, settings);
    std::string text;
    TextSink sink{text};
    writer.write(sink);
    writer.reportAfterWriting();
    return text;
}

}  // namespace ExportUnrealT3D

std::string unrealT3DProgressLine(const std::string& destination) {
    return "Writing Unreal brush file " + destination + "\n";
}

void writeUnrealT3D(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings) {
    ExportUnrealT3D::translate(scene, destination, settings);
}

}  // namespace morv
