#include "importers/lightwave/LWO2Reader.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <span>
#include <unordered_map>
#include <utility>

#include "base/Excn.hpp"
#include "scene/TexturePlacement.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/Vector.hpp"
#include "support/GetCs.hpp"
#include "support/NeutralFileName.hpp"
#include "base/NumberText.hpp"

namespace morv {
namespace {

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

// ---- File-shaped data ----
// Small things are records with the field names of the file's parts; the bulk
// (points, polygons, tags, UV entries) stays in flat vectors.

struct PolsChunk {
    std::string typeTag;
    std::vector<std::uint32_t> offsets{0};  // polygon p: indices[offsets[p] .. offsets[p + 1])
    std::vector<std::int32_t> indices;  // at most 2^24 - 1, as the file holds them
    std::size_t polygonCount() const { return offsets.size() - 1; }
};

// A PTAG chunk of type SURF; other tag types are not kept.
struct SurfTags {
    std::size_t pols = none;  // the layer's POLS chunk that this one follows
    std::vector<std::uint32_t> polygons;
    std::vector<std::uint16_t> tags;
};

// A TXUV VMAP (per vertex) or VMAD (per polygon corner).
struct UvMap {
    bool perPolygon = false;
    std::uint16_t dimension = 0;
    std::string name;
    std::size_t slot = 0;     // position in the object's table of UV map names
    std::size_t pols = none;  // VMAD: the POLS chunk its polygon indices refer to
    std::vector<std::uint32_t> vertices;
    std::vector<std::uint32_t> polygons;  // VMAD only
    std::vector<double> s, t;             // the first two values of each entry
};

// A NORM VMAP (per vertex) or VMAD (per polygon corner): the object's own normals.
struct NormalMap {
    bool perPolygon = false;
    std::size_t pols = none;  // VMAD: the POLS chunk its polygon indices refer to
    std::vector<std::uint32_t> vertices;
    std::vector<std::uint32_t> polygons;  // VMAD only
    std::vector<XYZ> normals;
};

struct Layer {
    MorvLValue header;          // RECORD: number, flags, pivot, name, parent (optional)
    // The points as the mesh holds them, so that it takes them over whole;
    // several PNTS chunks add to one list.
    std::vector<double> xs, ys, zs;
    std::vector<PolsChunk> pols;
    std::vector<SurfTags> surfTags;
    std::vector<UvMap> uvMaps;
    std::vector<NormalMap> normalMaps;
    std::size_t pointCount() const { return xs.size(); }
};

struct Clip {
    std::uint32_t index = 0;
    MorvLValue record;  // RECORD: index, fileName (optional)
};

// A record still being filled: a later field of the same name replaces the earlier one.
class RecordBuilder {
public:
    void set(std::string_view name, MorvLValue value) {
        for (auto& f : fields_)
            if (f.name == name) {
                f.value = std::move(value);
                return;
            }
        fields_.push_back({std::string(name), std::move(value)});
    }
    MorvLValue finish() && { return MorvLValue::Record(std::move(fields_)); }

private:
    std::vector<Field> fields_;
};

std::string count(std::size_t n) { return std::to_string(n); }

MorvLValue pointValue(const XYZ& p) { return makePointRecord(p.x, p.y, p.z); }

// ---- Conversion helpers ----

// The surface's real-valued attributes: channel intensities, the smoothing
// angle (radians) and the glossiness.
const char* const channelFields[] = {"luminosity",   "diffusion",    "specularity",    "reflectivity",
                                     "transparency", "translucency", "smoothingAngle", "glossiness"};

struct SurfaceData {
    std::string name, source;
    std::optional<Color> color;
    std::array<std::optional<double>, 8> channels;
    std::optional<bool> doubleSided;
    bool ownBlocks = false;
    std::vector<MorvLValue> textures;
};

std::string channelName(std::string_view id) {
    if (id == "COLR") return "color";
    if (id == "DIFF") return "diffusion";
    if (id == "SPEC") return "specularity";
    if (id == "REFL") return "reflectivity";
    if (id == "TRAN") return "transparency";
    if (id == "BUMP") return "bump";
    if (id == "LUMI") return "luminosity";
    if (id == "TRNL") return "translucency";
    return "unknown";
}

std::string projectionName(std::int32_t mode) {
    static const char* const names[] = {"planar", "cylindrical", "spherical", "cube", "front", "st"};
    return mode >= 0 && mode < 6 ? names[mode] : "unknown";
}

std::string coordinateSystemName(std::int32_t csys) {
    if (csys == 0) return "object";
    if (csys == 1) return "world";
    return "unknown";
}

XYZ pointOr(const std::optional<MorvLValue>& v, XYZ fallback) {
    return v && v->isRecord() ? RecordToXYZ(v->fields()) : fallback;
}

std::int32_t intOr(const std::optional<MorvLValue>& v, std::int32_t fallback) {
    return v && v->kind() == Kind::INT ? v->asInt() : fallback;
}

// One texture coordinate pair of a vertex or corner (key) in a UV map (slot).
// Keys and slots fit 32 bits: a FORM holds less than 2^31 bytes.
struct StEntry {
    std::uint32_t key;
    std::uint32_t slot;
    float s, t;
};

// The most texture coordinate records a file may give rise to: generous for
// real objects, a bound for files built to blow up.
std::size_t coordinateLimit(std::size_t fileBytes) { return 2 * fileBytes + (std::size_t{1} << 20); }

// Every vertex or corner with coordinates gets an ARRAY with a slot per UV map
// of the object: refuses a number of slots out of all proportion to the file
// (many tiny maps over a big mesh).
void checkSlotCount(std::size_t keys, std::size_t slots, std::string_view chunk, std::string_view what,
                    std::size_t fileBytes) {
    const std::size_t limit = coordinateLimit(fileBytes);
    if (keys != 0 && slots > limit / keys)
        throw SyntaxError("chunk " + std::string(chunk) + ": " + count(slots) + " UV maps over " + count(keys) + " " +
                          std::string(what) + " need more texture coordinates than this converter holds");
}

// Sorts the entries by key and checks their number of slots; returns the number of keys.
std::size_t checkStSlots(std::vector<StEntry>& entries, std::size_t slots, std::string_view chunk,
                         std::string_view what, std::size_t fileBytes) {
    const auto byKey = [](const StEntry& a, const StEntry& b) { return a.key < b.key; };
    if (!std::is_sorted(entries.begin(), entries.end(), byKey)) std::stable_sort(entries.begin(), entries.end(), byKey);
    std::size_t keys = 0;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (i == 0 || entries[i].key != entries[i - 1].key) ++keys;
    checkSlotCount(keys, slots, chunk, what, fileBytes);
    return keys;
}

// Calls fn(key, slots) for each key of the sorted entries in ascending
// order, slots holding the key's coordinates by slot; a slot that no map
// covers stays empty.
template <class Fn>
void forEachKey(const std::vector<StEntry>& entries, std::size_t slots, Fn&& fn) {
    std::vector<std::optional<ST>> sts(slots);
    for (std::size_t e = 0; e < entries.size();) {
        std::fill(sts.begin(), sts.end(), std::nullopt);
        const std::uint32_t key = entries[e].key;
        for (; e < entries.size() && entries[e].key == key; ++e) sts[entries[e].slot] = ST{entries[e].s, entries[e].t};
        fn(key, std::span<const std::optional<ST>>(sts));
    }
}

// What becomes of a layer's POLS chunks, and where each one's corners start
// among the layer's kept corners.
struct KeptChunks {
    std::vector<std::optional<FaceKind>> kinds;  // per POLS chunk; none: dropped
    std::vector<std::size_t> firstCorner;
    std::size_t corners = 0;
    bool isKept(std::size_t chunk) const { return chunk != none && kinds[chunk].has_value(); }
};

// A layer's texture coordinates on their way to the mesh.
struct LayerSts {
    UvMap* onlyMap = nullptr;  // the layer's one UV map, when it goes over whole
    std::vector<StEntry> vertex, corner;
    std::size_t coveredPoints = 0;
};

class LWO2File final : public ImportedFile {
public:
    std::vector<Layer> layers;  // in file order: the layer most recently started is the last
    std::vector<std::string> tags;
    std::vector<MorvLValue> surfaces;  // SURF records in file order
    std::vector<Clip> clips;
    std::vector<std::string> uvNames;  // TXUV map names in order of first appearance
    std::unordered_map<std::string, std::size_t> uvSlots;
    std::vector<MeshNormal> normals;  // of the layers added to the mesh so far
    std::size_t fileBytes = 0;

    std::size_t uvSlot(const std::string& name) {
        auto [it, added] = uvSlots.emplace(name, uvNames.size());
        if (added) uvNames.push_back(name);
        return it->second;
    }

    MorvLValue toCanonical(std::ostream& messages) override;

private:
    // Conversion state.
    std::vector<MorvLValue> sceneSurfaces_;
    std::unordered_map<std::string, std::int32_t> surfaceIndex_;
    std::unordered_map<std::uint32_t, std::int32_t> clipImages_;
    std::vector<std::int32_t> tagSurfaces_;
    bool converted_ = false;

    void enterImages(ImageTable& images, std::ostream& messages);
    void convertSurfaces(std::ostream& messages);
    std::optional<MorvLValue> convertBlock(const MorvLValue& block, const std::string& surface, std::ostream& messages);
    std::int32_t surfaceNamed(const std::string& name);
    std::int32_t surfaceOfTag(std::uint16_t tag);
    std::vector<std::vector<std::int32_t>> faceSurfaces(Layer& layer, const KeptChunks& kept);
    LayerSts layerTextureCoordinates(Layer& layer, const KeptChunks& kept);
    void addLayer(Layer& layer, MeshBuilder& mesh, std::ostream& messages);
};

// ---- Parsing ----

class Parser {
public:
    Parser(LWO2File& out, std::ostream& messages) : out_(out), messages_(messages) {}

    void run(std::span<const std::uint8_t> bytes) {
        try {
            readForm(bytes);
        } catch (const SyntaxError&) {
            throw;
        } catch (const Error& e) {
            // Byte-level failures carry their own text; inside a chunk they also say which.
            throw SyntaxError(where_.empty() ? e.message() : where_ + ": " + e.message());
        }
    }

private:
    LWO2File& out_;
    std::ostream& messages_;
    std::string where_;  // the chunk (and subchunk) being read, for messages
    // The file and the end of the chunk being read: the pages of a mapped
    // file already read are handed back as reading goes on, since every
    // chunk is copied into the file-shaped data.
    const std::uint8_t* fileStart_ = nullptr;
    const std::uint8_t* chunkEnd_ = nullptr;

    void releaseRead(const ByteCursor& c) const {
        releaseInputBytes({fileStart_, static_cast<std::size_t>(chunkEnd_ - fileStart_) - c.remaining()});
    }
    // Called once per item of a big chunk: every so many items.
    void releaseEvery(std::size_t item, const ByteCursor& c) const {
        if (item % (std::size_t{1} << 18) == 0) releaseRead(c);
    }

    [[noreturn]] void fail(const std::string& what) const { throw SyntaxError(where_ + ": " + what); }

    void readForm(std::span<const std::uint8_t> bytes) {
        ByteCursor file(bytes);
        const ChunkHeader form = file.readChunk();
        if (form.id != "FORM") throw SyntaxError("No IFF FORM chunk found!");
        if (file.readId() != "LWO2") throw SyntaxError("Not an IFF LWO2 file!");
        if (form.length < 4)
            throw SyntaxError("FORM length " + intToText(form.length) + " is too small for the form type");
        const std::size_t left = usableFormLength(form.length, file.remaining(), messages_);
        ByteCursor body = file.readChunkBody("FORM", static_cast<std::int64_t>(left));
        fileStart_ = bytes.data();
        const std::uint8_t* const bodyStart = bytes.data() + (bytes.size() - file.remaining() - left);
        while (!body.atEnd()) {
            const ChunkHeader chunk = body.readChunk();
            ByteCursor data = body.readChunkBody(chunk.id, chunk.length);
            chunkEnd_ = bodyStart + body.position();
            if (chunk.length % 2 != 0 && !body.atEnd()) body.skip(1, chunk.id);
            where_ = "chunk " + chunk.id;
            dispatch(chunk.id, data);
            releaseRead(data);
            where_.clear();
        }
    }

    // The layer that geometry chunks go to; none before the first LAYR.
    Layer* currentLayer() {
        if (out_.layers.empty()) {
            messages_ << "Warning: No first layer present in updateFirstLayer!\n";
            return nullptr;
        }
        return &out_.layers.back();
    }

    void dispatch(const std::string& id, ByteCursor& c) {
        if (id == "LAYR") {
            readLayer(c);
        } else if (id == "PNTS") {
            readPoints(c);
        } else if (id == "VMAP") {
            readUvMap(c, false);
        } else if (id == "POLS") {
            PolsChunk pols = readPolygons(c);
            if (Layer* layer = currentLayer()) layer->pols.push_back(std::move(pols));
        } else if (id == "TAGS") {
            while (!c.atEnd()) out_.tags.push_back(c.readString().value);
        } else if (id == "PTAG") {
            readPolygonTags(c);
        } else if (id == "VMAD") {
            readUvMap(c, true);
        } else if (id == "CLIP") {
            readClip(c);
        } else if (id == "SURF") {
            out_.surfaces.push_back(readSurface(c));
        }
    }

    void readLayer(ByteCursor& c) {
        RecordBuilder header;
        header.set("number", MorvLValue::Int(c.readU2()));
        header.set("flags", MorvLValue::Int(c.readU2()));
        header.set("pivot", pointValue(c.readPoint()));
        header.set("name", MorvLValue::String(c.readString().value));
        if (c.remaining() == 2)
            header.set("parent", MorvLValue::Int(c.readU2()));
        else if (!c.atEnd())
            throw SyntaxError("Bad chunk length in LAYR chunk!");
        Layer layer;
        layer.header = std::move(header).finish();
        out_.layers.push_back(std::move(layer));
    }

    void readPoints(ByteCursor& c) {
        if (c.remaining() % 12 != 0) fail("length " + count(c.remaining()) + " is not a multiple of 12");
        Layer* layer = currentLayer();
        if (!layer) return;
        // Sized by the first chunk only: a file of many small chunks must
        // not make every chunk copy the list.
        if (layer->xs.empty()) {
            const std::size_t n = c.remaining() / 12;
            layer->xs.reserve(n);
            layer->ys.reserve(n);
            layer->zs.reserve(n);
        }
        for (std::size_t i = 1; !c.atEnd(); ++i) {
            releaseEvery(i, c);
            const XYZ p = c.readPoint();
            layer->xs.push_back(p.x);
            layer->ys.push_back(p.y);
            layer->zs.push_back(p.z);
        }
    }

    PolsChunk readPolygons(ByteCursor& c) {
        PolsChunk pols;
        pols.typeTag = c.readId();
        // A first walk counts, so that the lists are sized once and exactly;
        // the second reports a polygon that does not fit.
        std::size_t polygons = 0, corners = 0;
        for (ByteCursor scan = c; scan.remaining() >= 2; ++polygons) {
            const std::size_t n = scan.readU2() & 0x3FF;  // the six high bits are flags
            if (n > scan.remaining() / 2) break;
            for (std::size_t k = 0; k < n; ++k) scan.readVertexIndex();
            corners += n;
        }
        pols.offsets.reserve(polygons + 1);
        pols.indices.reserve(corners);
        for (std::size_t p = 0; !c.atEnd(); ++p) {
            releaseEvery(p + 1, c);
            const std::size_t n = c.readU2() & 0x3FF;
            if (n > c.remaining() / 2)
                fail("polygon " + count(p) + " has " + count(n) + " vertices but only " + count(c.remaining()) +
                     " bytes are left");
            for (std::size_t k = 0; k < n; ++k)
                pols.indices.push_back(static_cast<std::int32_t>(c.readVertexIndex().index));
            pols.offsets.push_back(static_cast<std::uint32_t>(pols.indices.size()));
        }
        return pols;
    }

    void readPolygonTags(ByteCursor& c) {
        const std::string type = c.readId();
        if (type != "SURF") {  // part, smoothing-group and other tags are not used
            currentLayer();
            return;
        }
        SurfTags tags;
        // Room for the most entries that fit: exact while polygon indices take two bytes.
        const std::size_t n = c.remaining() / 4;
        tags.polygons.reserve(n);
        tags.tags.reserve(n);
        while (!c.atEnd()) {
            tags.polygons.push_back(c.readVertexIndex().index);
            tags.tags.push_back(c.readU2());
        }
        if (Layer* layer = currentLayer()) {
            tags.pols = layer->pols.empty() ? none : layer->pols.size() - 1;
            layer->surfTags.push_back(std::move(tags));
        }
    }

    void readUvMap(ByteCursor& c, bool perPolygon) {
        const std::string type = c.readId();
        if (type == "NORM") return readNormalMap(c, perPolygon);
        if (type != "TXUV") {  // weights, morphs, colours and the like are not used
            currentLayer();
            return;
        }
        UvMap map;
        map.perPolygon = perPolygon;
        map.dimension = c.readU2();
        map.name = c.readString().value;
        // Room for the most entries that fit: exact while indices take two bytes.
        const std::size_t n = c.remaining() / ((perPolygon ? 4 : 2) + std::size_t{4} * map.dimension);
        map.vertices.reserve(n);
        if (perPolygon) map.polygons.reserve(n);
        // Only maps of two values per entry are used; others are refused later.
        map.s.reserve(n);
        map.t.reserve(n);
        for (std::size_t e = 1; !c.atEnd(); ++e) {
            releaseEvery(e, c);
            map.vertices.push_back(c.readVertexIndex().index);
            if (perPolygon) map.polygons.push_back(c.readVertexIndex().index);
            for (std::size_t d = 0; d < map.dimension; ++d) {
                const double v = c.readReal();
                if (d == 0) map.s.push_back(v);
                if (d == 1) map.t.push_back(v);
            }
        }
        Layer* layer = currentLayer();
        if (!layer) return;
        map.slot = out_.uvSlot(map.name);
        if (perPolygon) map.pols = layer->pols.empty() ? none : layer->pols.size() - 1;
        layer->uvMaps.push_back(std::move(map));
    }

    void readNormalMap(ByteCursor& c, bool perPolygon) {
        NormalMap map;
        map.perPolygon = perPolygon;
        const std::uint16_t dimension = c.readU2();
        const std::string name = c.readString().value;
        Layer* layer = currentLayer();
        if (!layer) return;
        if (dimension != 3) {
            messages_ << "Warning: The normal map \"" << printableBytes(name) << "\" holds " << dimension
                      << " values per entry instead of 3; it is not used\n";
            return;
        }
        const std::size_t n = c.remaining() / ((perPolygon ? 4 : 2) + 12);
        map.vertices.reserve(n);
        map.normals.reserve(n);
        for (std::size_t e = 1; !c.atEnd(); ++e) {
            releaseEvery(e, c);
            map.vertices.push_back(c.readVertexIndex().index);
            if (perPolygon) map.polygons.push_back(c.readVertexIndex().index);
            map.normals.push_back(c.readPoint());
        }
        if (perPolygon) map.pols = layer->pols.empty() ? none : layer->pols.size() - 1;
        layer->normalMaps.push_back(std::move(map));
    }

    // Calls fn(id, body) for every subchunk of c; an odd body is followed by a pad byte.
    template <class Fn>
    void forEachSubchunk(ByteCursor& c, Fn&& fn) {
        const std::string outer = where_;
        while (!c.atEnd()) {
            const SubchunkHeader sub = c.readSubchunkHeader();
            ByteCursor body = c.readChunkBody(sub.id, sub.length);
            if (sub.length % 2 != 0 && !c.atEnd()) c.skip(1, sub.id);
            where_ = outer + ", subchunk " + sub.id;
            fn(sub.id, body);
            where_ = outer;
        }
    }

    void readClip(ByteCursor& c) {
        Clip clip;
        clip.index = c.readRawWord32();
        RecordBuilder record;
        record.set("index", MorvLValue::Int(static_cast<std::int32_t>(clip.index)));
        forEachSubchunk(c, [&](const std::string& id, ByteCursor& body) {
            if (id == "STIL") record.set("fileName", MorvLValue::String(body.readString().value));
        });
        clip.record = std::move(record).finish();
        out_.clips.push_back(std::move(clip));
    }

    MorvLValue readSurface(ByteCursor& c) {
        RecordBuilder surface;
        surface.set("name", MorvLValue::String(c.readString().value));
        surface.set("source", MorvLValue::String(c.readString().value));
        std::vector<MorvLValue> blocks;
        forEachSubchunk(c, [&](const std::string& id, ByteCursor& body) {
            if (id == "COLR") {
                const XYZ rgb = body.readPoint();
                surface.set("color", MorvLValue::Colour({rgb.x, rgb.y, rgb.z}));
            } else if (id == "BLOK") {
                blocks.push_back(readBlock(body));
            } else {
                static const std::pair<const char*, const char*> channels[] = {
                    {"DIFF", "diffusion"},    {"LUMI", "luminosity"},   {"SPEC", "specularity"},
                    {"REFL", "reflectivity"}, {"TRAN", "transparency"}, {"TRNL", "translucency"},
                    {"SMAN", "smoothingAngle"}, {"GLOS", "glossiness"}};
                for (const auto& [chunk, field] : channels)
                    if (id == chunk) surface.set(field, MorvLValue::Real(body.readReal()));
                // Sidedness 3 shows both sides of the polygons, 1 the front only.
                if (id == "SIDE") surface.set("doubleSided", MorvLValue::Bool(body.readU2() == 3));
            }
        });
        surface.set("BLOKs", MorvLValue::List(std::move(blocks)));
        return std::move(surface).finish();
    }

    MorvLValue readBlock(ByteCursor& c) {
        RecordBuilder header, imagemap, tmap;
        // The first subchunk is the header; its identifier is the block type.
        const std::string outer = where_;
        const SubchunkHeader head = c.readSubchunkHeader();
        ByteCursor headBody = c.readChunkBody(head.id, head.length);
        if (head.length % 2 != 0 && !c.atEnd()) c.skip(1, head.id);
        where_ = outer + ", subchunk " + head.id;
        header.set("typeTag", MorvLValue::String(head.id));
        header.set("ordinal", MorvLValue::String(headBody.readString().value));
        forEachSubchunk(headBody, [&](const std::string& id, ByteCursor& body) {
            if (id == "CHAN") {
                header.set("channel", MorvLValue::String(body.readId()));
            } else if (id == "ENAB") {
                const std::uint16_t flag = body.readU2();
                if (flag > 1) throw SyntaxError("Invalid boolean value!");
                header.set("enabled", MorvLValue::Bool(flag == 1));
            } else if (id == "OPAC") {
                header.set("opacityType", MorvLValue::Int(body.readU2()));
                header.set("opacity", MorvLValue::Real(body.readReal()));
            } else if (id == "NEGA") {
                header.set("negative", MorvLValue::Bool(body.readU2() != 0));
            }
        });
        where_ = outer;
        forEachSubchunk(c, [&](const std::string& id, ByteCursor& body) {
            if (id == "PROJ") {
                imagemap.set("projectionMode", MorvLValue::Int(body.readU2()));
            } else if (id == "AXIS") {
                imagemap.set("axis", MorvLValue::Int(body.readU2()));
            } else if (id == "IMAG") {
                imagemap.set("image", MorvLValue::Int(static_cast<std::int32_t>(body.readVertexIndex().index)));
            } else if (id == "WRAP") {
                imagemap.set("wrapOptionsWidth", MorvLValue::Int(body.readU2()));
                imagemap.set("wrapOptionsHeight", MorvLValue::Int(body.readU2()));
            } else if (id == "WRPW") {
                imagemap.set("wrapWidth", MorvLValue::Real(body.readReal()));
            } else if (id == "WRPH") {
                imagemap.set("wrapHeight", MorvLValue::Real(body.readReal()));
            } else if (id == "VMAP") {
                imagemap.set("VMAP", MorvLValue::String(body.readString().value));
            } else if (id == "TMAP") {
                readTextureMap(body, tmap);
            }
        });
        return MorvLValue::Record({{"header", std::move(header).finish()},
                                   {"imagemap", std::move(imagemap).finish()},
                                   {"TMAP", std::move(tmap).finish()}});
    }

    void readTextureMap(ByteCursor& c, RecordBuilder& tmap) {
        forEachSubchunk(c, [&](const std::string& id, ByteCursor& body) {
            if (id == "CNTR")
                tmap.set("center", pointValue(body.readPoint()));
            else if (id == "SIZE")
                tmap.set("size", pointValue(body.readPoint()));
            else if (id == "ROTA")
                tmap.set("rotation", pointValue(body.readPoint()));
            else if (id == "OREF")
                tmap.set("referenceObject", MorvLValue::String(body.readString().value));
            else if (id == "CSYS")
                tmap.set("coordinateSystem", MorvLValue::Int(body.readU2()));
        });
    }
};

// ---- Conversion ----

[[noreturn]] void badIndex(std::string_view chunk, std::string_view what, std::size_t index, std::size_t limit,
                           std::string_view of) {
    throw SyntaxError("chunk " + std::string(chunk) + ": " + std::string(what) + " index " + count(index) +
                      " beyond the " + count(limit) + " " + std::string(of));
}

void LWO2File::enterImages(ImageTable& images, std::ostream& messages) {
    for (const Clip& clip : clips) {
        const auto name = clip.record.fields().find("fileName");
        if (!name) continue;  // sequences, animations and references hold no still image
        MorvLValue image = MorvLValue::Record({{"fileName", anyFileNameToMorvLNeutral(name->asString(), messages)}});
        const std::int32_t index = images.enter(name->asString(), std::move(image));
        clipImages_.emplace(clip.index, index);  // the first clip of an index counts
    }
}

std::optional<MorvLValue> LWO2File::convertBlock(const MorvLValue& block, const std::string& surface,
                                                 std::ostream& messages) {
    const Fields fields = block.fields();
    const Fields header = getRecordField(fields, "header");
    if (getStringField(header, "typeTag", "") != "IMAP") return std::nullopt;  // procedurals, gradients, shaders
    const Fields imagemap = getRecordField(fields, "imagemap");
    const Fields tmap = getRecordField(fields, "TMAP");

    const std::int32_t axis = intOr(imagemap.find("axis"), 0);
    const XYZ center = pointOr(tmap.find("center"), {0, 0, 0});
    const XYZ size = pointOr(tmap.find("size"), {1, 1, 1});
    const XYZ rotation = pointOr(tmap.find("rotation"), {0, 0, 0});

    std::int32_t image = -1;
    if (auto clip = imagemap.find("image"); clip && clip->asInt() != 0) {  // clip 0 means no image
        auto it = clipImages_.find(static_cast<std::uint32_t>(clip->asInt()));
        if (it != clipImages_.end())
            image = it->second;
        else
            messages << "Warning: A texture of the surface \"" << printableBytes(surface) << "\" uses image clip " << clip->asInt()
                     << ", but the object has no still image of that number; the texture gets no image\n";
    }

    std::int32_t stIndex = -1;
    const auto vmap = imagemap.find("VMAP");
    if (vmap) {
        auto it = uvSlots.find(vmap->asString());
        if (it != uvSlots.end())
            stIndex = static_cast<std::int32_t>(it->second);
        else
            messages << "Warning: A texture of the surface \"" << printableBytes(surface) << "\" uses the UV map \""
                     << printableBytes(vmap->asString()) << "\", but the object has no UV map of that name; the texture gets no "
                     << "texture coordinates\n";
    }

    std::vector<Field> texture{
        {"textureChannel", MorvLValue::String(channelName(getStringField(header, "channel", "")))},
        {"projection", MorvLValue::String(projectionName(intOr(imagemap.find("projectionMode"), -1)))},
        {"image", MorvLValue::Int(image)},
        {"stIndex", MorvLValue::Int(stIndex)},
        {"transforms", textureTransforms(center, rotation, size, axis)},
        {"coordinateSystem", MorvLValue::String(coordinateSystemName(intOr(tmap.find("coordinateSystem"), 0)))},
        {"axis", MorvLValue::Int(axis)},
        {"center", pointValue(center)},
        {"size", pointValue(size)},
        {"rotation", pointValue(rotation)},
        {"opacity", MorvLValue::Real(getRealField(header, "opacity", 1.0))},
        {"opacityType", MorvLValue::Int(intOr(header.find("opacityType"), 0))},
        {"enabled", MorvLValue::Bool(getBooleanField(header, "enabled", true))},
        {"negative", MorvLValue::Bool(getBooleanField(header, "negative", false))},
        {"wrapModeWidth", MorvLValue::Int(intOr(imagemap.find("wrapOptionsWidth"), 1))},
        {"wrapModeHeight", MorvLValue::Int(intOr(imagemap.find("wrapOptionsHeight"), 1))},
        {"wrapCountWidth", MorvLValue::Real(getRealField(imagemap, "wrapWidth", 1.0))},
        {"wrapCountHeight", MorvLValue::Real(getRealField(imagemap, "wrapHeight", 1.0))},
    };
    if (vmap) texture.push_back({"VMAP", *vmap});
    return MorvLValue::Record(std::move(texture));
}

MorvLValue surfaceRecord(const SurfaceData& s) {
    std::vector<Field> fields{{"name", MorvLValue::String(s.name)}, {"source", MorvLValue::String(s.source)}};
    if (s.color) fields.push_back({"color", MorvLValue::Colour(*s.color)});
    for (std::size_t i = 0; i < s.channels.size(); ++i)
        if (s.channels[i]) fields.push_back({channelFields[i], MorvLValue::Real(*s.channels[i])});
    if (s.doubleSided) fields.push_back({"doubleSided", MorvLValue::Bool(*s.doubleSided)});
    fields.push_back({"textures", MorvLValue::List(s.textures)});
    return MorvLValue::Record(std::move(fields));
}

// Surfaces in file order. A surface whose source names another surface takes
// from it (resolved first, along a chain of parents) every attribute that its
// own subchunks leave out: colour, channel intensities, and the textures when
// it has no texture block of its own.
void LWO2File::convertSurfaces(std::ostream& messages) {
    std::vector<SurfaceData> data;
    data.reserve(surfaces.size());
    std::unordered_map<std::string, std::size_t> byName;
    for (const MorvLValue& record : surfaces) {
        const Fields f = record.fields();
        SurfaceData s;
        s.name = getStringField(f, "name", "");
        s.source = getStringField(f, "source", "");
        if (auto c = f.find("color")) s.color = c->asColor();
        for (std::size_t i = 0; i < s.channels.size(); ++i)
            if (auto v = f.find(channelFields[i])) s.channels[i] = v->asReal();
        if (auto v = f.find("doubleSided")) s.doubleSided = v->asBool();
        const MorvLValue blocks = getListField(f, "BLOKs", MorvLValue::List({}));
        s.ownBlocks = blocks.size() > 0;
        for (std::size_t b = 0; b < blocks.size(); ++b)
            if (auto texture = convertBlock(blocks.at(b), s.name, messages)) s.textures.push_back(*texture);
        byName.emplace(s.name, data.size());  // the first surface of a name counts
        data.push_back(std::move(s));
    }

    enum class State : std::uint8_t { Open, Resolving, Done };
    std::vector<State> state(data.size(), State::Open);
    // Iterative walk up the parent chain; a cycle stops at the surface met twice.
    for (std::size_t first = 0; first < data.size(); ++first) {
        std::vector<std::size_t> chain;
        for (std::size_t i = first; state[i] == State::Open;) {
            state[i] = State::Resolving;
            chain.push_back(i);
            const SurfaceData& s = data[i];
            if (s.source.empty()) break;
            auto parent = byName.find(s.source);
            if (parent == byName.end()) {
                messages << "Warning: The surface named \"" << printableBytes(s.name) << "\" has parent surface \"" << printableBytes(s.source)
                         << "\" and the surface \"" << printableBytes(s.source) << "\" does not exist in the object!\n";
                break;
            }
            if (state[parent->second] == State::Resolving) break;
            i = parent->second;
        }
        // Inherit from the end of the chain towards its start.
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            SurfaceData& s = data[*it];
            state[*it] = State::Done;
            if (s.source.empty()) continue;
            auto parent = byName.find(s.source);
            if (parent == byName.end() || parent->second == *it) continue;
            const SurfaceData& p = data[parent->second];
            if (state[parent->second] != State::Done) continue;
            if (!s.color) s.color = p.color;
            for (std::size_t c = 0; c < s.channels.size(); ++c)
                if (!s.channels[c]) s.channels[c] = p.channels[c];
            if (!s.doubleSided) s.doubleSided = p.doubleSided;
            if (!s.ownBlocks) s.textures = p.textures;
        }
    }
    for (const SurfaceData& s : data) {
        surfaceIndex_.emplace(s.name, static_cast<std::int32_t>(sceneSurfaces_.size()));
        sceneSurfaces_.push_back(surfaceRecord(s));
    }
}

// The surface of that name; one with just the name is added when no SURF
// chunk defines it, so that its faces keep a surface.
std::int32_t LWO2File::surfaceNamed(const std::string& name) {
    auto [it, added] = surfaceIndex_.emplace(name, static_cast<std::int32_t>(sceneSurfaces_.size()));
    if (added) {
        SurfaceData s;
        s.name = name;
        sceneSurfaces_.push_back(surfaceRecord(s));
    }
    return it->second;
}

std::int32_t LWO2File::surfaceOfTag(std::uint16_t tag) {
    if (tagSurfaces_[tag] < 0) tagSurfaces_[tag] = surfaceNamed(tags[tag]);
    return tagSurfaces_[tag];
}

// The kinds of polygon chunk the scene keeps: faces, and the faces of
// SubPatch and Catmull-Clark cages.
std::optional<FaceKind> keptKind(std::string_view type) {
    if (type == "FACE") return FaceKind::Polygon;
    if (type == "PTCH") return FaceKind::SubPatch;
    if (type == "SUBD") return FaceKind::CatmullClark;
    return std::nullopt;
}

// Every POLS chunk's vertex indices against the points of its layer.
void checkPolygonCorners(const Layer& layer) {
    const std::size_t points = layer.pointCount();
    for (const PolsChunk& pols : layer.pols)
        for (const std::int32_t v : pols.indices)
            if (static_cast<std::size_t>(v) >= points) badIndex("POLS", "vertex", v, points, "points of the layer");
}

// Which of a layer's POLS chunks become faces, in file order; the others
// (curves, bones, metaballs) are dropped with a message each.
KeptChunks keepChunks(const Layer& layer, std::ostream& messages) {
    KeptChunks kept;
    for (const PolsChunk& pols : layer.pols) {
        kept.kinds.push_back(keptKind(pols.typeTag));
        kept.firstCorner.push_back(kept.corners);
        if (kept.kinds.back())
            kept.corners += pols.indices.size();
        else
            messages << "Morv3D Converter currently only supports polygon meshes - not curved surfaces!\n"
                        "Debug info: POLSTypeTag encountered = "
                     << pols.typeTag << "\n";
    }
    return kept;
}

// Each kept chunk's face surfaces, by PTAG SURF; faces without one get "Default".
std::vector<std::vector<std::int32_t>> LWO2File::faceSurfaces(Layer& layer, const KeptChunks& kept) {
    constexpr std::int32_t unset = -1;
    std::vector<std::vector<std::int32_t>> chunkSurfaces(layer.pols.size());
    for (std::size_t i = 0; i < layer.pols.size(); ++i)
        if (kept.isKept(i)) chunkSurfaces[i].assign(layer.pols[i].polygonCount(), unset);
    for (const SurfTags& st : layer.surfTags) {
        const std::size_t polygons = st.pols == none ? 0 : layer.pols[st.pols].polygonCount();
        for (std::size_t i = 0; i < st.polygons.size(); ++i) {
            if (st.polygons[i] >= polygons)
                badIndex("PTAG", "polygon", st.polygons[i], polygons, "polygons of its POLS chunk");
            if (st.tags[i] >= tags.size()) badIndex("PTAG", "tag", st.tags[i], tags.size(), "tags of the object");
            if (kept.isKept(st.pols)) chunkSurfaces[st.pols][st.polygons[i]] = surfaceOfTag(st.tags[i]);
        }
    }
    std::vector<SurfTags>().swap(layer.surfTags);
    std::int32_t defaultSurface = unset;
    for (auto& chunk : chunkSurfaces)
        for (auto& s : chunk)
            if (s == unset) {
                if (defaultSurface == unset) defaultSurface = surfaceNamed("Default");
                s = defaultSurface;
            }
    return chunkSurfaces;
}

// A layer's texture coordinates: per vertex from VMAP, per corner (numbered
// among the layer's kept corners) from VMAD. The usual layer, one UV map over
// its points in ascending order in an object of one UV map, is left in its
// map (onlyMap) to go to the mesh whole; the rest become sorted entries.
LayerSts LWO2File::layerTextureCoordinates(Layer& layer, const KeptChunks& kept) {
    const std::size_t points = layer.pointCount();
    const std::size_t slots = uvNames.size();
    LayerSts sts;
    std::size_t vertexEntries = 0, vertexMaps = 0;
    for (UvMap& map : layer.uvMaps)
        if (!map.perPolygon) {
            vertexEntries += map.vertices.size();
            ++vertexMaps;
            sts.onlyMap = &map;
        }
    if (vertexMaps != 1 || slots != 1 ||
        !std::is_sorted(sts.onlyMap->vertices.begin(), sts.onlyMap->vertices.end(), std::less_equal<>()))
        sts.onlyMap = nullptr;
    if (!sts.onlyMap) sts.vertex.reserve(vertexEntries);
    const std::size_t cornerLimit = coordinateLimit(fileBytes);
    for (const UvMap& map : layer.uvMaps) {
        if (map.dimension != 2)
            throw Error(map.perPolygon ? "Internal Error: Wrong dimension of a TXUVVMAD entry!\n"
                                       : "Internal Error: Wrong dimension of a TXUVVMAP entry!\n");
        const char* chunk = map.perPolygon ? "VMAD" : "VMAP";
        const std::size_t polygons = map.pols == none ? 0 : layer.pols[map.pols].polygonCount();
        for (std::size_t e = 0; e < map.vertices.size(); ++e) {
            const std::uint32_t v = map.vertices[e];
            if (v >= points) badIndex(chunk, "vertex", v, points, "points of the layer");
            const auto s = static_cast<float>(map.s[e]), t = static_cast<float>(map.t[e]);
            if (!map.perPolygon) {
                if (&map != sts.onlyMap) sts.vertex.push_back({v, static_cast<std::uint32_t>(map.slot), s, t});
                continue;
            }
            const std::uint32_t p = map.polygons[e];
            if (p >= polygons) badIndex(chunk, "polygon", p, polygons, "polygons of its POLS chunk");
            if (!kept.isKept(map.pols)) continue;
            // The entry belongs to the corners of polygon p that use vertex v.
            const PolsChunk& pols = layer.pols[map.pols];
            for (std::uint32_t k = pols.offsets[p]; k < pols.offsets[p + 1]; ++k)
                if (static_cast<std::uint32_t>(pols.indices[k]) == v)
                    sts.corner.push_back({static_cast<std::uint32_t>(kept.firstCorner[map.pols] + k),
                                          static_cast<std::uint32_t>(map.slot), s, t});
            // A vertex repeated around big polygons would let a few bytes name
            // a great many corners.
            if (sts.corner.size() > cornerLimit)
                throw SyntaxError("chunk VMAD: the entries name more polygon corners than this converter holds");
        }
    }
    sts.coveredPoints = checkStSlots(sts.vertex, slots, "VMAP", "points", fileBytes);
    checkStSlots(sts.corner, slots, "VMAD", "polygon corners", fileBytes);
    return sts;
}

// The unit normal of polygon p of a POLS chunk, by its fan of cross products.
XYZ polygonNormal(const Layer& layer, const PolsChunk& pols, std::size_t p) {
    const auto point = [&](std::uint32_t k) {
        const auto v = static_cast<std::size_t>(pols.indices[k]);
        return XYZ{layer.xs[v], layer.ys[v], layer.zs[v]};
    };
    XYZ sum{};
    const std::uint32_t first = pols.offsets[p];
    for (std::uint32_t k = first + 2; k < pols.offsets[p + 1]; ++k)
        sum = sum + cross(point(k - 1) - point(first), point(k) - point(first));
    return normalized(sum);
}

// Normal maps are written by some programs with z the other way from the
// points (so that, read as the points are, they cross their own faces). Each
// map is taken the way its normals agree best with the polygons they sit on
// (for a point's normal: the first polygon that uses the point); the map's
// normals are turned in place when that is with z turned. Needs the layer's
// points and polygons, before they go to the mesh; entries naming no point
// or polygon of the layer are checked later.
void orientNormalMaps(Layer& layer, const KeptChunks& kept) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> firstUse;  // per point: chunk + 1 and polygon; 0 for none
    for (NormalMap& map : layer.normalMaps) {
        if (!map.perPolygon && firstUse.empty()) {
            firstUse.assign(layer.pointCount(), {0, 0});
            for (std::size_t c = 0; c < layer.pols.size(); ++c)
                for (std::size_t p = 0; kept.isKept(c) && p < layer.pols[c].polygonCount(); ++p)
                    for (std::uint32_t k = layer.pols[c].offsets[p]; k < layer.pols[c].offsets[p + 1]; ++k)
                        if (auto& use = firstUse[static_cast<std::size_t>(layer.pols[c].indices[k])]; use.first == 0)
                            use = {static_cast<std::uint32_t>(c + 1), static_cast<std::uint32_t>(p)};
        }
        double asStored = 0, zTurned = 0;
        for (std::size_t e = 0; e < map.vertices.size(); ++e) {
            std::size_t chunk = map.pols, polygon = e < map.polygons.size() ? map.polygons[e] : 0;
            if (!map.perPolygon) {
                if (map.vertices[e] >= firstUse.size() || firstUse[map.vertices[e]].first == 0) continue;
                chunk = firstUse[map.vertices[e]].first - 1, polygon = firstUse[map.vertices[e]].second;
            }
            if (!kept.isKept(chunk) || polygon >= layer.pols[chunk].polygonCount()) continue;
            const XYZ face = polygonNormal(layer, layer.pols[chunk], polygon), n = map.normals[e];
            asStored += dot(face, n);
            zTurned += dot(face, XYZ{n.x, n.y, -n.z});
        }
        if (zTurned > asStored)
            for (XYZ& n : map.normals) n.z = -n.z;
    }
}

// A layer's normal maps (of its `points` points) as the mesh's normals: vertices displaced past the
// layers before, polygons counted among the mesh's faces (firstFace: per kept
// POLS chunk, the mesh's number of its first face).
void addLayerNormals(const Layer& layer, std::size_t points, const KeptChunks& kept, std::size_t vertexOffset,
                     const std::vector<std::size_t>& firstFace, std::vector<MeshNormal>& out) {
    for (const NormalMap& map : layer.normalMaps) {
        const char* chunk = map.perPolygon ? "VMAD" : "VMAP";
        const std::size_t polygons = map.pols == none ? 0 : layer.pols[map.pols].polygonCount();
        for (std::size_t e = 0; e < map.vertices.size(); ++e) {
            const std::uint32_t v = map.vertices[e];
            if (v >= points) badIndex(chunk, "vertex", v, points, "points of the layer");
            std::int32_t face = -1;
            if (map.perPolygon) {
                if (map.polygons[e] >= polygons)
                    badIndex(chunk, "polygon", map.polygons[e], polygons, "polygons of its POLS chunk");
                if (!kept.isKept(map.pols)) continue;
                face = static_cast<std::int32_t>(firstFace[map.pols] + map.polygons[e]);
            }
            out.push_back({static_cast<std::uint32_t>(vertexOffset + v), face, map.normals[e]});
        }
    }
}

MeshLayer layerHeader(const Layer& layer) {
    const Fields h = layer.header.fields();
    MeshLayer header{intOr(h.find("number"), 0), intOr(h.find("flags"), 0), getStringField(h, "name", ""),
                     pointOr(h.find("pivot"), {0, 0, 0}), std::nullopt, 0, 0};
    if (const auto parent = h.find("parent")) header.parent = parent->asInt();
    return header;
}

// Adds a layer's points, faces (the kept chunks in file order, each with its
// kind) and texture coordinates to the mesh, then the layer itself. The
// layer's lists go over whole; its corners are displaced past the vertices of
// the layers before it.
void LWO2File::addLayer(Layer& layer, MeshBuilder& mesh, std::ostream& messages) {
    checkPolygonCorners(layer);
    const KeptChunks kept = keepChunks(layer, messages);
    orientNormalMaps(layer, kept);
    std::vector<std::vector<std::int32_t>> chunkSurfaces = faceSurfaces(layer, kept);
    LayerSts sts = layerTextureCoordinates(layer, kept);

    const std::size_t points = layer.pointCount(), slots = uvNames.size();
    const std::size_t vertexOffset = mesh.vertexCount();
    const std::size_t cornerOffset = mesh.cornerCount();
    const MeshLayer header = layerHeader(layer);
    mesh.addVertices(std::move(layer.xs), std::move(layer.ys), std::move(layer.zs));
    if (sts.onlyMap) {
        mesh.addVertexStsOfOneSlot(sts.onlyMap->vertices, vertexOffset, std::move(sts.onlyMap->s),
                                   std::move(sts.onlyMap->t));
    } else {
        if (sts.coveredPoints > 0) mesh.reserveVertexSts(vertexOffset + points, sts.coveredPoints * slots);
        forEachKey(sts.vertex, slots, [&](std::uint32_t v, auto st) {
            mesh.setVertexSts(static_cast<std::uint32_t>(vertexOffset + v), st);
        });
    }
    std::vector<UvMap>().swap(layer.uvMaps);
    std::vector<StEntry>().swap(sts.vertex);
    std::vector<std::size_t> firstFace(layer.pols.size(), 0);
    for (std::size_t i = 0, faces = mesh.faceCount(); i < layer.pols.size(); ++i)
        if (kept.isKept(i)) firstFace[i] = std::exchange(faces, faces + layer.pols[i].polygonCount());
    addLayerNormals(layer, points, kept, vertexOffset, firstFace, normals);
    std::vector<NormalMap>().swap(layer.normalMaps);
    for (std::size_t i = 0; i < layer.pols.size(); ++i) {
        if (!kept.isKept(i)) continue;
        PolsChunk& pols = layer.pols[i];
        if (vertexOffset != 0)
            for (auto& v : pols.indices) v += static_cast<std::int32_t>(vertexOffset);
        mesh.addFaces(std::move(pols.offsets), std::move(pols.indices), std::move(chunkSurfaces[i]), *kept.kinds[i]);
    }
    std::vector<PolsChunk>().swap(layer.pols);
    forEachKey(sts.corner, slots, [&](std::uint32_t corner, auto st) { mesh.setMeshCornerSts(cornerOffset + corner, st); });
    mesh.addLayer(header);
}

MorvLValue LWO2File::toCanonical(std::ostream& messages) {
    if (converted_) throw Bug("Internal error: LWO2Reader.toCanonical called twice\n");
    converted_ = true;

    ImageTable images;
    enterImages(images, messages);
    convertSurfaces(messages);
    tagSurfaces_.assign(tags.size(), -1);

    // An object without layers has no mesh to merge.
    if (layers.empty()) mergeMeshList({});

    MeshBuilder mesh;
    // Layers are merged in file order, each layer's faces displaced past the
    // vertices of the layers before it.
    for (Layer& layer : layers) addLayer(layer, mesh, messages);
    mesh.setStNames(uvNames);
    return makeScene(withMeshNormals(std::move(mesh).build(), normals), std::move(sceneSurfaces_), images.images());
}

}  // namespace

bool probeLWO2(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 12 && std::equal(bytes.begin(), bytes.begin() + 4, "FORM") &&
           std::equal(bytes.begin() + 8, bytes.begin() + 12, "LWO2");
}

std::string lwo2ReaderProgressLine(const std::string& fileName) {
    return "Reading IFF LWO2 (LightWave3D Object after [6]) file " + fileName + " \n";
}

std::unique_ptr<ImportedFile> parseLWO2Bytes(std::span<const std::uint8_t> bytes, std::ostream& messages) {
    auto file = std::make_unique<LWO2File>();
    file->fileBytes = bytes.size();
    Parser(*file, messages).run(bytes);
    return file;
}

std::unique_ptr<ImportedFile> parseLWO2(const std::string& fileName, std::ostream& messages) {
    return parseLWO2Bytes(loadObjectFile(fileName), messages);
}

MorvLValue readLWO2Scene(const std::string& fileName, std::ostream& messages) {
    return parseLWO2(fileName, messages)->toCanonical(messages);
}

}  // namespace morv
