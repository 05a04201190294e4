#include "importers/lightwave/LWOBReader.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <ostream>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Excn.hpp"
#include "importers/lightwave/LWOBToMorvLScene.hpp"
#include "support/GetCs.hpp"
#include "base/NumberText.hpp"

namespace morv {

namespace {

[[noreturn]] void raiseSyntax(std::string message) { throw SyntaxError(std::move(message)); }

// Sets a field of a record under construction, replacing an earlier value.
void put(std::vector<Field>& fields, std::string_view name, MorvLValue value) {
    for (auto& f : fields) {
        if (f.name == name) {
            f.value = std::move(value);
            return;
        }
    }
    fields.push_back({std::string(name), std::move(value)});
}

const MorvLValue* lookup(const std::vector<Field>& fields, std::string_view name) {
    for (const auto& f : fields)
        if (f.name == name) return &f.value;
    return nullptr;
}

// Room for extra more elements; grows geometrically so that many small chunks stay linear.
template <class T>
void reserveMore(std::vector<T>& v, std::size_t extra) {
    if (extra > v.capacity() - v.size()) v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

// An intensity is a U2 in 256ths.
MorvLValue readIntensity(ByteCursor& body) { return MorvLValue::Real(body.readU2() / 256.0); }

MorvLValue readColourBytes(ByteCursor& body, std::string_view id) {
    try {
        const double r = body.readU1(), g = body.readU1(), b = body.readU1();
        return MorvLValue::Colour({r / 255.0, g / 255.0, b / 255.0});
    } catch (const Error&) {
        raiseSyntax("Error in getSURFSubchunk " + std::string(id));
    }
}

MorvLValue decodeTextureFlags(std::uint16_t bits, std::ostream& messages) {
    std::int32_t axis = 0;
    if (bits & 1) {
        axis = 0;
    } else if (bits & 2) {
        axis = 1;
    } else if (bits & 4) {
        axis = 2;
    } else {
        messages << "Warning: No axis specified in texture flags. Assuming X-axis...\n";
    }
    return MorvLValue::Record({{"axis", MorvLValue::Int(axis)},
                               {"world", MorvLValue::Bool((bits & 8) != 0)},
                               {"negative", MorvLValue::Bool((bits & 16) != 0)},
                               {"pixelblend", MorvLValue::Bool((bits & 32) != 0)},
                               {"antialias", MorvLValue::Bool((bits & 64) != 0)}});
}

const char* intensityField(std::string_view id) {
    if (id == "LUMI") return "luminosity";
    if (id == "DIFF") return "diffusion";
    if (id == "SPEC") return "specularity";
    if (id == "REFL") return "reflectivity";
    if (id == "TRAN") return "transparency";
    return nullptr;
}

bool startsTexture(std::string_view id) {
    return id == "CTEX" || id == "DTEX" || id == "STEX" || id == "RTEX" || id == "TTEX" || id == "BTEX" ||
           id == "LTEX";
}

// One SURF chunk while its subchunks are read. Textures are kept in the order
// they were started; the current one is the back.
struct SurfaceBuild {
    std::vector<Field> fields;
    std::vector<std::vector<Field>> textures;

    MorvLValue finish() && {
        std::vector<MorvLValue> list;
        list.reserve(textures.size());
        for (auto it = textures.rbegin(); it != textures.rend(); ++it)
            list.push_back(MorvLValue::BuildingRecord(std::move(*it)));
        put(fields, "textures", MorvLValue::List(std::move(list)));
        return MorvLValue::BuildingRecord(std::move(fields));
    }
};

// A texture subchunk: its value, or nothing when the identifier is no texture field.
struct TextureValue {
    const char* field = nullptr;
    MorvLValue value;
    int paramSlot = -1;  // TSP0 .. TSP9
};

TextureValue readTextureSubchunk(std::string_view id, ByteCursor& body, std::ostream& messages) {
    if (id == "TIMG") return {"file", MorvLValue::String(body.readString().value)};
    if (id == "TFLG") return {"flags", decodeTextureFlags(body.readU2(), messages)};
    if (id == "TSIZ") return {"size", body.getXYZ()};
    if (id == "TCTR") return {"center", body.getXYZ()};
    if (id == "TFAL") return {"falloff", body.getXYZ()};
    if (id == "TVEL") return {"velocity", body.getXYZ()};
    if (id == "TCLR") return {"color", readColourBytes(body, id)};
    if (id == "TVAL") return {"value", readIntensity(body)};
    if (id == "TAMP") return {"value", MorvLValue::Real(body.getIEEEReal())};
    if (id == "TFRQ") return {"frequency", MorvLValue::Int(body.readU2())};
    if (id == "TOPC") return {"opacity", MorvLValue::Real(body.getIEEEReal())};
    if (id.size() == 4 && id.substr(0, 3) == "TSP" && id[3] >= '0' && id[3] <= '9')
        return {"param", MorvLValue::Real(body.getIEEEReal()), id[3] - '0'};
    return {};
}

void setTextureParam(std::vector<Field>& texture, int slot, MorvLValue value) {
    std::vector<MorvLValue> params;
    if (const MorvLValue* old = lookup(texture, "param"))
        params = old->items();
    else
        params.assign(10, MorvLValue::Real(0.0));
    params[static_cast<std::size_t>(slot)] = std::move(value);
    put(texture, "param", MorvLValue::Array(std::move(params)));
}

void readSurfaceSubchunk(const SubchunkHeader& header, ByteCursor& body, SurfaceBuild& surface,
                         std::ostream& messages) {
    const std::string_view id = header.id;
    if (id == "COLR") {
        put(surface.fields, "color", readColourBytes(body, id));
    } else if (const char* field = intensityField(id)) {
        put(surface.fields, field, readIntensity(body));
    } else if (id == "FLAG") {
        put(surface.fields, "flags", MorvLValue::Int(body.readU2()));
    } else if (id == "SMAN") {
        put(surface.fields, "smoothingAngle", MorvLValue::Real(body.readReal()));
    } else if (startsTexture(id)) {
        std::string type = body.readString().value;
        surface.textures.push_back({{"id", MorvLValue::String(header.id)}, {"type", MorvLValue::String(std::move(type))}});
    } else {
        TextureValue v = readTextureSubchunk(id, body, messages);
        if (!v.field) return;  // a subchunk this reader does not use
        if (surface.textures.empty()) {
            messages << "Warning: No TEX chunk met in function updateFirstTextureF!\n";
            return;
        }
        auto& texture = surface.textures.back();
        if (v.paramSlot >= 0)
            setTextureParam(texture, v.paramSlot, std::move(v.value));
        else
            put(texture, v.field, std::move(v.value));
    }
}

MorvLValue readSurface(ByteCursor body, std::ostream& messages) {
    SurfaceBuild surface;
    surface.fields.push_back({"name", MorvLValue::String(body.readString().value)});
    while (!body.atEnd()) {
        const SubchunkHeader header = body.readSubchunkHeader();
        ByteCursor sub = body.readChunkBody(header.id, header.length);
        // Odd bodies are padded to even; a missing pad at the very end of the chunk is tolerated.
        if (header.length % 2 != 0 && !body.atEnd()) body.skip(1, header.id);
        readSurfaceSubchunk(header, sub, surface, messages);
    }
    return std::move(surface).finish();
}

void readPoints(ByteCursor body, std::int32_t length, LWOBObject& object) {
    if (length % 12 != 0) raiseSyntax("chunk PNTS: length " + intToText(length) + " is not a multiple of 12");
    const std::size_t count = body.remaining() / 12;
    reserveMore(object.points, count);
    for (std::size_t i = 0; i < count; ++i) object.points.push_back(body.getIEEEPoint());
}

void readSurfaceNames(ByteCursor body, LWOBObject& object) {
    while (!body.atEnd()) {
        try {
            object.surfaceNames.push_back(body.readString().value);
        } catch (const Error&) {
            raiseSyntax("Error in vectorToStrings");
        }
    }
}

// Polygons: a U2 vertex count n, n U2 vertex indices, a signed 16-bit surface
// number. A negative number marks a polygon with detail polygons: its surface
// is the magnitude, and a U2 count of detail polygons follows, then those
// polygons in the same layout. Detail polygons are kept as faces; since they
// are read like any polygon, nesting needs no recursion, only a count of the
// detail polygons still announced.
void readPolygons(ByteCursor body, LWOBObject& object) {
    reserveMore(object.polygonVertices, body.remaining() / 2);
    std::uint64_t announcedDetails = 0;
    while (!body.atEnd()) {
        const std::uint16_t n = body.readU2();
        if (2 * std::size_t{n} + 2 > body.remaining())
            raiseSyntax("chunk POLS: a polygon of " + intToText(n) + " vertices runs past the end of the chunk");
        if (n > std::numeric_limits<std::uint32_t>::max() - object.polygonVertices.size())
            raiseSyntax("chunk POLS: too many polygon corners in one object");
        for (std::uint16_t i = 0; i < n; ++i) object.polygonVertices.push_back(body.readU2());
        object.polygonOffsets.push_back(static_cast<std::uint32_t>(object.polygonVertices.size()));
        std::int32_t surface = static_cast<std::int16_t>(body.readU2());
        if (announcedDetails > 0) --announcedDetails;
        if (surface < 0) {
            surface = -surface;
            announcedDetails += body.readU2();
        }
        object.polygonSurfaces.push_back(surface);
    }
    if (announcedDetails > 0)
        raiseSyntax("chunk POLS: " + intToText(static_cast<std::int64_t>(announcedDetails)) +
                    " announced detail polygons missing at the end of the chunk");
}

enum class ChunkKind { PNTS, SRFS, POLS, CRVS, SURF, Other };

ChunkKind chunkKind(std::string_view id) {
    if (id == "PNTS") return ChunkKind::PNTS;
    if (id == "SRFS") return ChunkKind::SRFS;
    if (id == "POLS") return ChunkKind::POLS;
    if (id == "CRVS") return ChunkKind::CRVS;
    if (id == "SURF") return ChunkKind::SURF;
    return ChunkKind::Other;
}

struct Seen {
    bool points = false, names = false, polygons = false;
};

Seen readChunks(ByteCursor& file, LWOBObject& object, std::ostream& messages) {
    const ChunkHeader form = file.readChunk();
    if (form.id != "FORM") raiseSyntax("No IFF FORM chunk found!");
    if (file.readId() != "LWOB") raiseSyntax("Not an IFF LWOB file!");

    Seen seen;
    // Bytes of the form after its type; a form that claims more than the file
    // holds is read as far as it goes, with a warning.
    std::int64_t left = form.length < 4 ? 0 : static_cast<std::int64_t>(usableFormLength(form.length, file.remaining(), messages));
    while (left > 0) {
        const ChunkHeader chunk = file.readChunk();
        left -= 8;
        const ChunkKind kind = chunkKind(chunk.id);
        // A chunk may not reach past the end of its form (nor past the file: the body read checks that).
        if (chunk.length < 0 || chunk.length > left)
            raiseSyntax((kind == ChunkKind::Other || kind == ChunkKind::CRVS
                             ? "Error while trying to skip bytes in chunk "
                             : "Could not read chunk data in chunk ") +
                        chunk.id);
        left -= chunk.length;
        switch (kind) {
            case ChunkKind::PNTS:
                readPoints(file.readChunkBody(chunk.id, chunk.length), chunk.length, object);
                seen.points = true;
                break;
            case ChunkKind::SRFS:
                readSurfaceNames(file.readChunkBody(chunk.id, chunk.length), object);
                seen.names = true;
                break;
            case ChunkKind::POLS:
                readPolygons(file.readChunkBody(chunk.id, chunk.length), object);
                seen.polygons = true;
                break;
            case ChunkKind::SURF:
                object.surfaces.push_back(readSurface(file.readChunkBody(chunk.id, chunk.length), messages));
                break;
            case ChunkKind::CRVS:  // curves add no faces
            case ChunkKind::Other:
                file.skip(chunk.length, chunk.id);
                break;
        }
        // The pad byte of an odd body, unless the form ends with the body.
        if (chunk.length % 2 != 0 && left > 0) {
            file.skip(1, chunk.id);
            --left;
        }
    }
    return seen;
}

void checkIndices(const LWOBObject& object) {
    const std::size_t points = object.points.size();
    for (std::uint32_t v : object.polygonVertices)
        if (v >= points)
            raiseSyntax("chunk POLS: vertex index " + intToText(v) + " beyond the " +
                        intToText(static_cast<std::int64_t>(points)) + " points of the object");
    const std::size_t names = object.surfaceNames.size();
    for (std::int32_t s : object.polygonSurfaces) {
        if (s == 0) raiseSyntax("chunk POLS: surface number 0 is not valid; surface numbers count from 1");
        if (static_cast<std::size_t>(s) > names)
            raiseSyntax("chunk POLS: surface number " + intToText(s) + " beyond the " +
                        intToText(static_cast<std::int64_t>(names)) + " names of SRFS");
    }
}

LWOBObject parseObject(std::span<const std::uint8_t> bytes, std::ostream& messages) {
    LWOBObject object;
    Seen seen;
    try {
        ByteCursor file(bytes.data(), bytes.size());
        seen = readChunks(file, object, messages);
    } catch (const Error& e) {
        // Short reads of the byte layer are format errors of this file.
        raiseSyntax(e.message());
    }
    if (!seen.points) raiseSyntax("No PNTS chunk found in file!");
    if (!seen.names) raiseSyntax("No SRFS chunk found in file!");
    if (!seen.polygons) raiseSyntax("No POLS chunk found in file!");
    checkIndices(object);
    return object;
}

class LWOBFile final : public ImportedFile {
public:
    explicit LWOBFile(LWOBObject object) : object_(std::move(object)) {}
    MorvLValue toCanonical(std::ostream& messages) override { return LWOBToMorvLScene(object_, messages); }

private:
    LWOBObject object_;
};

}  // namespace

bool probeLWOB(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 12 && std::equal(bytes.begin(), bytes.begin() + 4, "FORM") &&
           std::equal(bytes.begin() + 8, bytes.begin() + 12, "LWOB");
}

std::string lwobProgressLine(const std::string& fileName) {
    return "Reading IFF LWOB (LightWave3D Object before [6]) file " + fileName + "\n";
}

std::unique_ptr<ImportedFile> parseLWOBBytes(std::span<const std::uint8_t> bytes, std::ostream& messages) {
    return std::make_unique<LWOBFile>(parseObject(bytes, messages));
}

std::unique_ptr<ImportedFile> parseLWOB(const std::string& fileName, std::ostream& messages) {
    return parseLWOBBytes(loadObjectFile(fileName), messages);
}

MorvLValue readLWOBScene(const std::string& fileName, std::ostream& messages) {
    return parseLWOB(fileName, messages)->toCanonical(messages);
}

MorvLValue readLWOBSceneFromBytes(std::span<const std::uint8_t> bytes, std::ostream& messages) {
    return parseLWOBBytes(bytes, messages)->toCanonical(messages);
}

}  // namespace morv
