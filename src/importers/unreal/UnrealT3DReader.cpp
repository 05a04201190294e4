#include "importers/unreal/UnrealT3DReader.hpp"

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
#include "importers/unreal/ParserCombinators.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/Vector.hpp"
#include "support/GetCs.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

// ---- File-shaped data ----

constexpr std::uint32_t noTexture = 0xFFFFFFFF;

struct BrushPolygon {
    std::size_t line = 0;               // of its Begin Polygon
    std::uint32_t texture = noTexture;  // index into BrushFile::textureNames
    std::uint32_t firstCorner = 0;      // its Vertex lines run up to the next polygon's first
};

// The origin moved along the texture vectors so that it shows pixel (0, 0)
// with the Pan added: O - x with x . U = PanU and x . V = PanV, x in the span
// of U and V (for parallel vectors, as near as that span allows). The pan of
// an axis of zero length cannot move into the origin: it is kept in *left.
XYZ withPan(const XYZ& origin, const XYZ& u, const XYZ& v, double panU, double panV, XYZ* left) {
    *left = {};
    if (panU == 0 && panV == 0) return origin;
    const double uu = dot(u, u), uv = dot(u, v), vv = dot(v, v), determinant = uu * vv - uv * uv;
    if (determinant > 1e-12 * uu * vv) {
        const double a = (panU * vv - panV * uv) / determinant, b = (panV * uu - panU * uv) / determinant;
        return origin - (a * u + b * v);
    }
    *left = {uu > 0 ? 0 : panU, vv > 0 ? 0 : panV, 0};
    if (uu > 0) return origin - (panU / uu) * u;
    if (vv > 0) return origin - (panV / vv) * v;
    return origin;
}

// Every distinct position once: an open-addressing table of their numbers,
// keyed by the position's bits (+0 and -0 alike, as == has it). A table of a
// million points is far bigger than the cache, and neighbours in the file are
// not neighbours in it, so positions are looked up in batches: a slot is
// fetched as its position comes, the point in it when the batch is full, and
// only then is the batch looked up, with what it needs in the cache.
class PointPool {
public:
    PointPool(std::vector<XYZ>& points, std::vector<std::uint32_t>& numbers)
        : points_(points), numbers_(numbers), slots_(1024, 0) {}

    // numbers[index] becomes the number of p's position, at the latest when
    // flush() returns.
    void add(const XYZ& p, std::size_t index) {
        const std::uint64_t hash = hashOf(p);
        __builtin_prefetch(&slots_[hash & mask()]);
        pending_[waiting_++] = {p, index, hash};
        if (waiting_ == batch) flush();
    }

    void flush() {
        for (std::size_t i = 0; i < waiting_; ++i)
            if (const std::uint32_t held = slots_[pending_[i].hash & mask()]) __builtin_prefetch(&points_[held - 1]);
        for (std::size_t i = 0; i < waiting_; ++i) numbers_[pending_[i].index] = numberOf(pending_[i]);
        waiting_ = 0;
    }

private:
    static constexpr std::size_t batch = 32;
    struct Pending {
        XYZ point;
        std::size_t index;
        std::uint64_t hash;
    };

    std::uint32_t numberOf(const Pending& p) {
        std::size_t slot = p.hash & mask();
        for (; slots_[slot] != 0; slot = (slot + 1) & mask())
            if (points_[slots_[slot] - 1] == p.point) return slots_[slot] - 1;
        if (points_.size() >= std::numeric_limits<std::uint32_t>::max() / 2)
            throw Error("A brush with more than " + std::to_string(points_.size()) + " points is too big to convert");
        const auto number = static_cast<std::uint32_t>(points_.size());
        points_.push_back(p.point);
        slots_[slot] = number + 1;
        if (2 * points_.size() > slots_.size()) grow();
        return number;
    }

    std::size_t mask() const { return slots_.size() - 1; }
    static std::uint64_t hashOf(const XYZ& p) {
        const auto bits = [](double d) { return std::bit_cast<std::uint64_t>(d + 0.0); };  // -0 + 0 is +0
        std::uint64_t h = bits(p.x) * 0x9E3779B97F4A7C15u ^ bits(p.y) * 0xC2B2AE3D27D4EB4Fu ^
                          bits(p.z) * 0x165667B19E3779F9u;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9u;
        h ^= h >> 32;
        return h;
    }
    void grow() {
        slots_.assign(2 * slots_.size(), 0);
        for (std::uint32_t n = 0; n < points_.size(); ++n) {
            std::size_t slot = hashOf(points_[n]) & mask();
            while (slots_[slot] != 0) slot = (slot + 1) & mask();
            slots_[slot] = n + 1;
        }
    }

    std::vector<XYZ>& points_;
    std::vector<std::uint32_t>& numbers_;
    std::vector<std::uint32_t> slots_;  // point number + 1; 0 is free
    std::array<Pending, batch> pending_;
    std::size_t waiting_ = 0;
};

// The polygons with their Vertex lines, in file order. The texture vectors of
// a polygon are used only where its points are, so each Vertex line keeps the
// texture pixel it shows rather than each polygon its vectors: that is less
// to hold, and the conversion turns those columns into texture coordinates in
// place.
class BrushFile final : public ImportedFile {
public:
    std::vector<std::string> textureNames;  // in order of first appearance
    std::vector<BrushPolygon> polygons;
    std::vector<XYZ> points;                // the distinct Vertex positions, in order of first appearance
    std::vector<std::uint32_t> corners;     // per Vertex line: its point's number
    std::vector<double> us, vs;             // per Vertex line: the texture pixel (u, v) at its point
    FacePlacementColumns placements;        // per polygon: its Origin (with the Pan in it), TextureU, TextureV, the Pan of a zero axis

    void setDefaultTextureResolution(double width, double height) override {
        width_ = width;
        height_ = height;
    }
    // Takes the columns over, so it may be called once.
    MorvLValue toCanonical(std::ostream& messages) override;

private:
    std::size_t endCorner(std::size_t polygon) const {
        return polygon + 1 < polygons.size() ? polygons[polygon + 1].firstCorner : corners.size();
    }

    double width_ = 512.0, height_ = 512.0;
    bool converted_ = false;
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
    BrushParser(std::span<const std::uint8_t> bytes, BrushFile& out)
        : in_(bytes), out_(out), pool_(out.points, out.corners) {}

    void run() {
        skipByteOrderMark(in_);
        g_.beginPolyList(in_);
        while (g_.beginPolygon.tryParse(in_)) {
            readPolygon();
            if (in_.position() - released_ >= releaseStep) nextStep();
        }
        pool_.flush();
        g_.endPolyList(in_);
        in_.skipWhitespace();
        if (!in_.atEnd()) unexpected(token(in_));
    }

private:
    // Every few megabytes: the text behind is not read again, so the pages of
    // a mapped file may go and a big brush never sits in memory whole. After
    // the first step the columns get room for the rest of the text at the
    // density seen so far, since growing them bit by bit touches twice the
    // memory. The room is only a hint: without it they grow as they go.
    void nextStep() {
        if (released_ == 0) {
            const double scale = 1.1 * static_cast<double>(in_.position() + in_.remaining()) /
                                 static_cast<double>(in_.position());
            const auto room = [scale](auto& column) {
                try {
                    column.reserve(static_cast<std::size_t>(static_cast<double>(column.size()) * scale));
                } catch (const std::exception&) {  // bad_alloc, or more than a vector holds
                }
            };
            room(out_.polygons);
            room(out_.corners);
            room(out_.us);
            room(out_.vs);
            room(out_.points);
            for (auto& column : out_.placements) room(column);
        }
        releaseInputBytes(in_.consumed());
        released_ = in_.position();
    }

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
        const XYZ origin = vectorLine(g_.origin);
        vectorLine(g_.normal);
        double panU = 0, panV = 0;
        if (g_.pan.tryParse(in_)) {
            g_.panU(in_);
            panU = real(in_);
            g_.panV(in_);
            panV = real(in_);
        }
        const XYZ textureU = vectorLine(g_.textureU);
        const XYZ textureV = vectorLine(g_.textureV);
        XYZ panLeft;
        const XYZ placedOrigin = withPan(origin, textureU, textureV, panU, panV, &panLeft);
        int c = 0;
        for (const XYZ& v : {placedOrigin, textureU, textureV, panLeft})
            for (const double value : {v.x, v.y, v.z}) out_.placements[c++].push_back(value);
        if (out_.corners.size() > std::numeric_limits<std::uint32_t>::max() - mostBrushPolygonVertices)
            throw Error("A brush with more than " + std::to_string(out_.corners.size()) +
                        " Vertex lines is too big to convert");
        p.firstCorner = static_cast<std::uint32_t>(out_.corners.size());
        while (g_.vertex.tryParse(in_)) {
            if (out_.corners.size() - p.firstCorner == mostBrushPolygonVertices)
                throw BrushSyntaxError("Polygon " + std::to_string(out_.polygons.size() + 1) + " (line " +
                                       std::to_string(p.line) + ") has more than " +
                                       std::to_string(mostBrushPolygonVertices) + " vertices");
            const XYZ point = vector();
            out_.corners.push_back(0);
            pool_.add(point, out_.corners.size() - 1);
            const XYZ d = point - origin;
            out_.us.push_back(dot(d, textureU) + panU);
            out_.vs.push_back(dot(d, textureV) + panV);
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
    static constexpr std::size_t releaseStep = std::size_t{1} << 22;
    std::size_t released_ = 0;
};

// ---- Conversion ----

// False when all points lie on one line. The differences from the first point
// are scaled to at most 1, so that no product overflows and the bound is
// independent of the polygon's size.
bool hasArea(std::span<const XYZ> points) {
    double largest = 0;
    for (const XYZ& p : points) {
        const XYZ d = p - points[0];
        largest = std::max({largest, std::abs(d.x), std::abs(d.y), std::abs(d.z)});
    }
    if (!std::isfinite(largest)) return true;  // too far apart to measure: the writers refuse such points
    if (largest == 0) return false;
    const auto scaled = [&](const XYZ& p) {
        const XYZ d = p - points[0];
        return XYZ{d.x / largest, d.y / largest, d.z / largest};
    };
    XYZ normal;
    for (std::size_t i = 1; i + 1 < points.size(); ++i) {
        const XYZ c = cross(scaled(points[i]), scaled(points[i + 1]));
        normal = {normal.x + c.x, normal.y + c.y, normal.z + c.z};
    }
    return length(normal) > 1e-12;
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
    if (converted_) throw Bug("Internal error: UnrealT3DReader.toCanonical called twice\n");
    converted_ = true;
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
            std::vector<Field> fields{{"name", MorvLValue::String(name)},
                                      {"textures", MorvLValue::List({textureRecord(image)})}};
            if (texture != noTexture) fields.push_back({std::string(brushTextureField), MorvLValue::String(name)});
            surfaces.push_back(MorvLValue::Record(std::move(fields)));
        }
        return s;
    };

    MeshBuilder mesh;
    mesh.reserve(points.size(), polygons.size(), corners.size());
    // Points become vertices when a polygon that is kept first uses them, so
    // the points of polygons left out are not in the mesh. The corners that
    // are kept move to the front of the columns, which then hold the faces'
    // vertex numbers and texture coordinates.
    constexpr std::uint32_t unused = 0xFFFFFFFF;
    std::vector<std::uint32_t> vertexOf(points.size(), unused);
    std::vector<XYZ> polygon;
    std::size_t kept = 0, keptFaces = 0;
    for (std::size_t i = 0; i < polygons.size(); ++i) {
        const BrushPolygon& p = polygons[i];
        // Without repeats of a neighbour (the last and the first are
        // neighbours too); equal positions have equal numbers.
        const std::size_t first = kept;
        for (std::size_t k = p.firstCorner; k < endCorner(i); ++k) {
            if (kept > first && corners[kept - 1] == corners[k]) continue;
            corners[kept] = corners[k];
            us[kept] = us[k];
            vs[kept] = vs[k];
            ++kept;
        }
        while (kept - first > 1 && corners[kept - 1] == corners[first]) --kept;
        polygon.clear();
        for (std::size_t k = first; k < kept; ++k) polygon.push_back(points[corners[k]]);
        const char* fault = polygon.size() < 3 ? "has fewer than 3 different points"
                            : !hasArea(polygon) ? "has no area (its points lie on one line)"
                                                : nullptr;
        if (fault) {
            messages << "Warning: Polygon " << i + 1 << " (line " << p.line << ") " << fault << " and is left out\n";
            kept = first;
            continue;
        }
        for (std::size_t k = first; k < kept; ++k) {
            std::uint32_t& vertex = vertexOf[corners[k]];
            if (vertex == unused) vertex = mesh.addVertex(points[corners[k]]);
            corners[k] = vertex;
            us[k] = us[k] / width_;
            vs[k] = 1.0 - vs[k] / height_;
        }
        mesh.addFace(std::span(corners).subspan(first, kept - first), MorvLValue::Int(surfaceFor(p.texture)));
        for (auto& column : placements) column[keptFaces] = column[i];
        ++keptFaces;
    }
    // What the mesh has copied is not needed again.
    std::vector<BrushPolygon>().swap(polygons);
    std::vector<XYZ>().swap(points);
    std::vector<std::uint32_t>().swap(corners);
    std::vector<std::uint32_t>().swap(vertexOf);
    us.resize(kept);
    vs.resize(kept);
    for (auto& column : placements) column.resize(keptFaces);
    mesh.setAllCornerSts(std::move(us), std::move(vs));
    return makeScene(withFacePlacements(std::move(mesh).build(), std::move(placements)), std::move(surfaces),
                     images.images());
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
