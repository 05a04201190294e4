#include "importers/UnrealT3DReader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/Excn.hpp"
#include "importers/ParserCombinators.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

// ---- File-shaped data ----

constexpr std::uint32_t noTexture = 0xFFFFFFFF;

struct BrushPolygon {
    std::size_t line = 0;                // of its Begin Polygon
    std::uint32_t texture = noTexture;   // index into BrushFile::textureNames
    XYZ origin, textureU, textureV;
    double panU = 0, panV = 0;
    std::size_t firstVertex = 0;         // its Vertex lines run up to the next polygon's first
};

// Every distinct position once: an open-addressing table of their numbers,
// keyed by the position's bits (+0 and -0 alike, as == has it).
class PointPool {
public:
    explicit PointPool(std::vector<XYZ>& points) : points_(points), slots_(1024, 0) {}

    std::uint32_t numberOf(const XYZ& p) {
        // Neighbouring polygons share points: the last few looked up are
        // checked first, which spares the table's cache misses.
        for (const Recent& r : recent_)
            if (r.used && r.point == p) return r.number;
        const std::uint32_t number = lookUp(p);
        recent_[next_] = {true, number, p};
        next_ = (next_ + 1) % recent_.size();
        return number;
    }

private:
    struct Recent {
        bool used = false;
        std::uint32_t number = 0;
        XYZ point;
    };

    std::uint32_t lookUp(const XYZ& p) {
        std::size_t slot = slotOf(p);
        for (; slots_[slot] != 0; slot = (slot + 1) & mask())
            if (points_[slots_[slot] - 1] == p) return slots_[slot] - 1;
        if (points_.size() >= std::numeric_limits<std::uint32_t>::max() / 2)
            throw Error("A brush with more than " + std::to_string(points_.size()) + " points is too big to convert");
        const auto number = static_cast<std::uint32_t>(points_.size());
        points_.push_back(p);
        slots_[slot] = number + 1;
        if (2 * points_.size() > slots_.size()) grow();
        return number;
    }

    std::size_t mask() const { return slots_.size() - 1; }
    std::size_t slotOf(const XYZ& p) const {
        const auto bits = [](double d) { return std::bit_cast<std::uint64_t>(d + 0.0); };  // -0 + 0 is +0
        std::uint64_t h = bits(p.x) * 0x9E3779B97F4A7C15u ^ bits(p.y) * 0xC2B2AE3D27D4EB4Fu ^
                          bits(p.z) * 0x165667B19E3779F9u;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9u;
        h ^= h >> 32;
        return static_cast<std::size_t>(h) & mask();
    }
    void grow() {
        slots_.assign(2 * slots_.size(), 0);
        for (std::uint32_t n = 0; n < points_.size(); ++n) {
            std::size_t slot = slotOf(points_[n]);
            while (slots_[slot] != 0) slot = (slot + 1) & mask();
            slots_[slot] = n + 1;
        }
    }

    std::vector<XYZ>& points_;
    std::vector<std::uint32_t> slots_;  // point number + 1; 0 is free
    std::array<Recent, 8> recent_{};
    std::size_t next_ = 0;
};

class BrushFile final : public ImportedFile {
public:
    std::vector<std::string> textureNames;  // in order of first appearance
    std::vector<BrushPolygon> polygons;
    std::vector<XYZ> points;                // the distinct Vertex positions, in order of first appearance
    std::vector<std::uint32_t> vertices;    // the Vertex lines of all polygons in file order, as point numbers

    void setDefaultTextureResolution(double width, double height) override {
        width_ = width;
        height_ = height;
    }
    MorvLValue toCanonical(std::ostream& messages) override;

private:
    std::span<const std::uint32_t> verticesOf(std::size_t polygon) const {
        const std::size_t first = polygons[polygon].firstVertex;
        const std::size_t end = polygon + 1 < polygons.size() ? polygons[polygon + 1].firstVertex : vertices.size();
        return std::span<const std::uint32_t>(vertices).subspan(first, end - first);
    }

    double width_ = 512.0, height_ = 512.0;
};

// ---- The grammar ----

// Built once, its keywords from the word pieces.
struct Grammar {
    std::string begin = "Begin ", end = "End ", polyList = "PolyList", polygon = "Polygon";
    Keyword beginPolyList{begin + polyList}, endPolyList{end + polyList};
    Keyword beginPolygon{begin + polygon}, endPolygon{end + polygon};
    Keyword origin{"Origin"}, normal{"Normal"}, textureU{"TextureU"}, textureV{"TextureV"}, vertex{"Vertex"};
    Keyword pan{"Pan"}, panU{"U="}, panV{"V="}, comma{","};
};

const Grammar& grammar() {
    static const Grammar g;
    return g;
}

void skipByteOrderMark(TextCursor& in) {
    if (in.remaining() >= 3 && in.ahead(3) == "\xEF\xBB\xBF") in.advance(3);
}

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

class BrushParser {
public:
    BrushParser(std::span<const std::uint8_t> bytes, BrushFile& out) : in_(bytes), out_(out), pool_(out.points) {}

    void run() {
        skipByteOrderMark(in_);
        g_.beginPolyList(in_);
        while (g_.beginPolygon.tryParse(in_)) readPolygon();
        g_.endPolyList(in_);
        in_.skipWhitespace();
        if (!in_.atEnd()) unexpected(token(in_));
    }

private:
    // Three numbers separated by commas; a fourth is refused rather than
    // taken for the start of the next line.
    XYZ vector() {
        static const auto rest = repeat<2>(sequence(grammar().comma, real));
        const double x = real(in_);
        const auto yz = rest(in_);
        in_.skipWhitespace();
        if (!in_.atEnd() && in_.peek() == ',') unexpected(token(in_));
        return {x, std::get<1>(yz[0]), std::get<1>(yz[1])};
    }

    XYZ vectorLine(const Keyword& keyword) {
        keyword(in_);
        return vector();
    }

    void readPolygon() {
        BrushPolygon p;
        p.line = in_.line();
        p.texture = attributeWords();
        p.origin = vectorLine(g_.origin);
        vectorLine(g_.normal);
        if (g_.pan.tryParse(in_)) {
            g_.panU(in_);
            p.panU = real(in_);
            g_.panV(in_);
            p.panV = real(in_);
        }
        p.textureU = vectorLine(g_.textureU);
        p.textureV = vectorLine(g_.textureV);
        p.firstVertex = out_.vertices.size();
        while (g_.vertex.tryParse(in_)) {
            if (out_.vertices.size() - p.firstVertex == mostBrushPolygonVertices)
                throw BrushSyntaxError("Polygon " + std::to_string(out_.polygons.size() + 1) + " (line " +
                                       std::to_string(p.line) + ") has more than " +
                                       std::to_string(mostBrushPolygonVertices) + " vertices");
            out_.vertices.push_back(pool_.numberOf(vector()));
        }
        g_.endPolygon(in_);
        out_.polygons.push_back(p);
    }

    // The words after "Begin Polygon" up to the line end; the first one that
    // begins with "Texture=" names the texture. Returns its index.
    std::uint32_t attributeWords() {
        constexpr std::string_view texturePrefix = "Texture=";
        std::optional<std::string_view> texture;
        const std::size_t line = in_.line();
        for (;;) {
            in_.takeWhile([](std::uint8_t c) { return isWhitespace(c) && c != '\n' && c != '\r'; });
            if (in_.atEnd()) throw BrushSyntaxError(std::string(unexpectedEndOfFile));
            if (in_.peek() == '\n') {
                in_.advanceLine();
                break;
            }
            if (in_.peek() == '\r') {
                const bool lineEnd = in_.remaining() > 1 && in_.ahead(2)[1] == '\n';
                in_.advance(1);
                if (lineEnd) {
                    in_.advanceLine();
                    break;
                }
                continue;
            }
            const std::string_view word = in_.takeWhile([](std::uint8_t c) { return !isWhitespace(c); });
            if (!texture && word.starts_with(texturePrefix)) texture = word.substr(texturePrefix.size());
        }
        if (!texture || texture->empty()) return noTexture;
        if (texture->size() > longestBrushTextureName)
            throw BrushSyntaxError("The texture name in line " + std::to_string(line) + " has " +
                                   std::to_string(texture->size()) + " characters; at most " +
                                   std::to_string(longestBrushTextureName) + " are accepted");
        return textureIndex(*texture);
    }

    std::uint32_t textureIndex(std::string_view name) {
        if (last_ != noTexture && out_.textureNames[last_] == name) return last_;  // neighbours mostly share one
        auto it = textureIndex_.find(name);
        if (it == textureIndex_.end()) {
            it = textureIndex_.emplace(std::string(name), static_cast<std::uint32_t>(out_.textureNames.size())).first;
            out_.textureNames.emplace_back(name);
        }
        return last_ = it->second;
    }

    const Grammar& g_ = grammar();
    TextCursor in_;
    BrushFile& out_;
    PointPool pool_;
    std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> textureIndex_;
    std::uint32_t last_ = noTexture;
};

// ---- Conversion ----

XYZ minus(const XYZ& a, const XYZ& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const XYZ& a, const XYZ& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
XYZ cross(const XYZ& a, const XYZ& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The point numbers without repeats of a neighbour (the last and the first
// are neighbours too); equal positions have equal numbers.
void collapseRepeats(std::span<const std::uint32_t> numbers, std::vector<std::uint32_t>& out) {
    out.clear();
    for (const std::uint32_t n : numbers)
        if (out.empty() || out.back() != n) out.push_back(n);
    while (out.size() > 1 && out.back() == out.front()) out.pop_back();
}

// False when all points lie on one line. The differences from the first point
// are scaled to at most 1, so that no product overflows and the bound is
// independent of the polygon's size.
bool hasArea(std::span<const XYZ> points) {
    double largest = 0;
    for (const XYZ& p : points) {
        const XYZ d = minus(p, points[0]);
        largest = std::max({largest, std::abs(d.x), std::abs(d.y), std::abs(d.z)});
    }
    if (!std::isfinite(largest)) return true;  // too far apart to measure: the writers refuse such points
    if (largest == 0) return false;
    const auto scaled = [&](const XYZ& p) {
        const XYZ d = minus(p, points[0]);
        return XYZ{d.x / largest, d.y / largest, d.z / largest};
    };
    XYZ normal;
    for (std::size_t i = 1; i + 1 < points.size(); ++i) {
        const XYZ c = cross(scaled(points[i]), scaled(points[i + 1]));
        normal = {normal.x + c.x, normal.y + c.y, normal.z + c.z};
    }
    return std::sqrt(dot(normal, normal)) > 1e-12;
}

MorvLValue textureRecord(std::int32_t image) {
    return MorvLValue::Record({
        {"textureChannel", MorvLValue::String("color")},
        {"projection", MorvLValue::String("st")},
        {"image", MorvLValue::Int(image)},
        {"stIndex", MorvLValue::Int(0)},
        {"transforms", MorvLValue::List({})},
        {"coordinateSystem", MorvLValue::String("object")},
        {"axis", MorvLValue::Int(2)},
        {"center", makePointRecord(0, 0, 0)},
        {"size", makePointRecord(1, 1, 1)},
        {"rotation", makePointRecord(0, 0, 0)},
        {"opacity", MorvLValue::Real(1.0)},
        {"opacityType", MorvLValue::Int(0)},
        {"enabled", MorvLValue::Bool(true)},
    });
}

// "Package.Group.Name" as the path "Package/Group/Name"; empty elements are dropped.
std::string imagePath(std::string_view textureName) {
    std::string path;
    std::size_t start = 0;
    while (start <= textureName.size()) {
        std::size_t stop = textureName.find_first_of("./\\", start);
        if (stop == std::string_view::npos) stop = textureName.size();
        if (stop > start) {
            if (!path.empty()) path += '/';
            path.append(textureName.substr(start, stop - start));
        }
        start = stop + 1;
    }
    return path;
}

MorvLValue BrushFile::toCanonical(std::ostream& messages) {
    ImageTable images;
    std::vector<MorvLValue> surfaces;
    std::vector<std::int32_t> surfaceOf(textureNames.size() + 1, -1);  // the last one for no texture
    const auto surfaceFor = [&](std::uint32_t texture) {
        std::int32_t& s = surfaceOf[texture == noTexture ? textureNames.size() : texture];
        if (s < 0) {
            s = static_cast<std::int32_t>(surfaces.size());
            std::string name = "Default";
            std::int32_t image = -1;
            if (texture != noTexture) {
                name = textureNames[texture];
                const std::string path = imagePath(name);
                if (!path.empty())
                    image = images.enter(path, MorvLValue::Record({{"fileName", makeNeutralFileName(false, {}, path)}}));
            }
            surfaces.push_back(MorvLValue::Record({{"name", MorvLValue::String(std::move(name))},
                                                   {"textures", MorvLValue::List({textureRecord(image)})}}));
        }
        return s;
    };

    MeshBuilder mesh;
    mesh.reserve(points.size(), polygons.size(), vertices.size());
    // Points become vertices when a polygon that is kept first uses them, so
    // the points of polygons left out are not in the mesh.
    constexpr std::uint32_t unused = 0xFFFFFFFF;
    std::vector<std::uint32_t> vertexOf(points.size(), unused);
    std::vector<std::uint32_t> numbers, corners;
    std::vector<XYZ> polygon;
    for (std::size_t i = 0; i < polygons.size(); ++i) {
        const BrushPolygon& p = polygons[i];
        collapseRepeats(verticesOf(i), numbers);
        polygon.clear();
        for (const std::uint32_t n : numbers) polygon.push_back(points[n]);
        const char* fault = polygon.size() < 3 ? "has fewer than 3 different points"
                            : !hasArea(polygon) ? "has no area (its points lie on one line)"
                                                : nullptr;
        if (fault) {
            messages << "Warning: Polygon " << i + 1 << " (line " << p.line << ") " << fault << " and is left out\n";
            continue;
        }
        corners.clear();
        for (const std::uint32_t n : numbers) {
            if (vertexOf[n] == unused) vertexOf[n] = mesh.addVertex(points[n]);
            corners.push_back(vertexOf[n]);
        }
        mesh.addFace(corners, MorvLValue::Int(surfaceFor(p.texture)));
        for (std::size_t k = 0; k < polygon.size(); ++k) {
            const XYZ d = minus(polygon[k], p.origin);
            const double u = dot(d, p.textureU) + p.panU, v = dot(d, p.textureV) + p.panV;
            const std::optional<ST> st = ST{u / width_, 1.0 - v / height_};
            mesh.setCornerSts(k, std::span(&st, 1));
        }
    }
    return makeScene(std::move(mesh).build(), std::move(surfaces), images.images());
}

}  // namespace

bool probeUnrealT3D(std::span<const std::uint8_t> bytes) {
    try {
        const Grammar& g = grammar();
        TextCursor in(bytes);
        skipByteOrderMark(in);
        return g.beginPolyList.tryParse(in) && (g.beginPolygon.tryParse(in) || g.endPolyList.tryParse(in));
    } catch (...) {
        return false;
    }
}

std::string unrealT3DReaderProgressLine(const std::string& fileName) {
    return "Reading Unreal T3D Brush file " + fileName + " \n";
}

std::unique_ptr<ImportedFile> parseUnrealT3DBytes(std::span<const std::uint8_t> bytes, std::ostream&) {
    auto file = std::make_unique<BrushFile>();
    BrushParser(bytes, *file).run();
    return file;
}

MorvLValue readUnrealT3DSceneFromBytes(std::span<const std::uint8_t> bytes, std::ostream& messages,
                                       double textureWidth, double textureHeight) {
    auto file = parseUnrealT3DBytes(bytes, messages);
    file->setDefaultTextureResolution(textureWidth, textureHeight);
    return file->toCanonical(messages);
}

}  // namespace morv
