#include "exporters/lightwave/MorvLToLWO2.hpp"

#include <algorithm>
#include <functional>
#include <limits>

#include "base/Excn.hpp"
#include "exporters/PolygonMesh.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/GetCs.hpp"
#include "base/NumberText.hpp"

namespace morv {
namespace {

// Chunk lengths are read back as signed 32-bit numbers, so no chunk and no
// FORM may hold more bytes than this.
constexpr std::uint64_t maxFormLength = 0x7FFFFFFF;
// The low 10 bits of a polygon's count word hold its number of vertices.
constexpr std::size_t maxPolygonVertices = 0x3FF;

const char* const surfaceName = "default";

// One typed item of a chunk body; its size in the file is known before it is written.
struct Element {
    enum class Type : std::uint8_t { ID, U2, U4, Real, Vector, String, Index, List };
    Type type = Type::U4;
    std::uint32_t number = 0;  // U2, U4, Index
    double real = 0.0;
    XYZ vector{};
    std::string text;            // ID, String
    std::vector<Element> items;  // List
};

Element u2Element(std::uint16_t v) {
    Element e;
    e.type = Element::Type::U2;
    e.number = v;
    return e;
}
Element vectorElement(const XYZ& v) {
    Element e;
    e.type = Element::Type::Vector;
    e.vector = v;
    return e;
}
Element stringElement(std::string s) {
    Element e;
    e.type = Element::Type::String;
    e.text = std::move(s);
    return e;
}

std::uint64_t elementSize(const Element& e) {
    switch (e.type) {
        case Element::Type::ID:
            return 4;
        case Element::Type::U2:
            return 2;
        case Element::Type::U4:
        case Element::Type::Real:
            return 4;
        case Element::Type::Vector:
            return 12;
        case Element::Type::String:
            return stringSize(e.text);
        case Element::Type::Index:
            return vertexIndexSize(e.number);
        case Element::Type::List: {
            std::uint64_t sum = 0;
            for (const Element& item : e.items) sum += elementSize(item);
            return sum;
        }
    }
    throw Bug("Internal error: unknown element type in MorvLToLWO2.elementSize\n");
}

void putElement(IffWriter& out, const Element& e) {
    switch (e.type) {
        case Element::Type::ID:
            out.putID(e.text);
            return;
        case Element::Type::U2:
            out.putU2(static_cast<std::uint16_t>(e.number));
            return;
        case Element::Type::U4:
            out.putU4(e.number);
            return;
        case Element::Type::Real:
            out.putReal(e.real);
            return;
        case Element::Type::Vector:
            out.putPoint(e.vector);
            return;
        case Element::Type::String:
            out.putString(e.text);
            return;
        case Element::Type::Index:
            out.putVertexIndex(e.number);
            return;
        case Element::Type::List:
            for (const Element& item : e.items) putElement(out, item);
            return;
    }
}

// The chunks that do not depend on the scene.
const std::vector<Element> tagsBody{stringElement(surfaceName)};
const std::vector<Element> layerBody{u2Element(0), u2Element(0), vectorElement({0.0, 0.0, 0.0}),
                                     stringElement("layer1")};
const std::vector<Element> surfBody{stringElement(surfaceName), stringElement("")};

// A chunk ready to be written: its length is known, body() emits exactly that many bytes.
struct ChunkPlan {
    ChunkPlan(const char* chunkId, const char* handlerText) : id(chunkId), context(handlerText) {}
    const char* id;
    const char* context;  // the handler text an exception inside this chunk is passed on with
    std::uint64_t length = 0;
    std::function<void(IffWriter&)> body;
};

// Runs fn; an exception escaping it is passed on as Error with context in front of its cause.
template <class Fn>
auto underHandler(const char* context, Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const std::exception& e) {
        throw Error(Excn::compose(context, e));
    }
}

ChunkPlan constantChunk(const char* id, const char* context, const std::vector<Element>& body) {
    ChunkPlan plan{id, context};
    plan.length = underHandler(context, [&] {
        std::uint64_t sum = 0;
        for (const Element& e : body) sum += elementSize(e);
        return sum;
    });
    plan.body = [&body](IffWriter& out) {
        for (const Element& e : body) putElement(out, e);
    };
    return plan;
}

ChunkPlan pointsChunk(const PolygonMesh& mesh) {
    ChunkPlan plan{"PNTS", "Exception in outPoints"};
    // Points are stored as IEEE singles: a coordinate beyond their range would
    // be written as an infinity that readers refuse.
    underHandler(plan.context, [&] {
        std::size_t vertex = 0;
        mesh.forEachPoint([&](const XYZ& p) {
            checkVertexCoordinates(p, vertex++, "an LWO2 file", std::numeric_limits<float>::max());
        });
    });
    plan.length = 12 * std::uint64_t{mesh.vertexCount};
    plan.body = [&mesh](IffWriter& out) { mesh.forEachPoint([&](const XYZ& p) { out.putPoint(p); }); };
    return plan;
}

// Bytes of one polygon in POLS: its count word and its vertex indices. Checks
// every index against the mesh so that a broken scene never reaches the file.
std::uint64_t polygonSize(std::span<const std::int32_t> corners, std::size_t face, std::size_t vertexCount) {
    if (corners.size() > maxPolygonVertices)
        throw Error("Face " + intToText(static_cast<std::int64_t>(face)) + " has " +
                    intToText(static_cast<std::int64_t>(corners.size())) + " corners, more than the " +
                    intToText(maxPolygonVertices) + " that an LWO2 polygon can hold");
    std::uint64_t size = 2;
    for (std::size_t c = 0; c < corners.size(); ++c) {
        const std::int32_t v = corners[c];
        if (v < 0 || static_cast<std::size_t>(v) >= vertexCount)
            throw Error("Corner " + intToText(static_cast<std::int64_t>(c)) + " of face " +
                        intToText(static_cast<std::int64_t>(face)) + " refers to vertex " + intToText(v) +
                        ", which is not one of the " + intToText(static_cast<std::int64_t>(vertexCount)) +
                        " vertices of the mesh");
        size += vertexIndexSize(static_cast<std::uint32_t>(v));
    }
    return size;
}

ChunkPlan polygonsChunk(const PolygonMesh& mesh) {
    ChunkPlan plan{"POLS", "Exception in outPolygons"};
    plan.length = underHandler(plan.context, [&] {
        std::uint64_t sum = 4;
        mesh.forEachFace([&](std::size_t f, std::span<const std::int32_t> corners) {
            sum += underHandler("Exception in outPolygon", [&] { return polygonSize(corners, f, mesh.vertexCount); });
        });
        return sum;
    });
    plan.body = [&mesh](IffWriter& out) {
        out.putID("FACE");
        mesh.forEachFace([&](std::size_t, std::span<const std::int32_t> corners) {
            underHandler("Exception in outPolygon", [&] {
                out.putU2(static_cast<std::uint16_t>(corners.size()));
                for (std::int32_t v : corners) out.putVertexIndex(static_cast<std::uint32_t>(v));
            });
        });
    };
    return plan;
}

// Every polygon refers to tag 0, the one surface.
ChunkPlan ptagChunk(const PolygonMesh& mesh) {
    ChunkPlan plan{"PTAG", "Exception in outPTAG"};
    plan.length = underHandler(plan.context, [&] {
        const std::uint64_t faces = mesh.faceCount;
        if (faces > 0) vertexIndexSize(faces - 1);  // refuses polygon indices beyond the long form
        const std::uint64_t shortForm = std::min<std::uint64_t>(faces, std::uint64_t{maxShortIndex} + 1);
        return 4 + shortForm * (2 + 2) + (faces - shortForm) * (4 + 2);
    });
    plan.body = [&mesh](IffWriter& out) {
        out.putID("SURF");
        for (std::size_t f = 0; f < mesh.faceCount; ++f) {
            out.putVertexIndex(f);
            out.putU2(0);
        }
    };
    return plan;
}

void writeChunk(IffWriter& out, const ChunkPlan& chunk) {
    underHandler(chunk.context, [&] {
        const std::uint64_t start = out.size();
        out.putID(chunk.id);
        out.putU4(static_cast<std::uint32_t>(chunk.length));
        chunk.body(out);
        const std::uint64_t written = out.size() - start - 8;
        if (written != chunk.length)
            throw Bug("Internal error: chunk " + std::string(chunk.id) + " took " +
                      intToText(static_cast<std::int64_t>(written)) + " bytes instead of the " +
                      intToText(static_cast<std::int64_t>(chunk.length)) + " computed in MorvLToLWO2.translate\n");
        if (chunk.length % 2 != 0) out.putU1(0);
    });
}

}  // namespace

namespace MorvLToLWO2 {


void translate(const MorvLValue& scene, const std::string& destination) {
    if (!scene.isRecord()) raiseMissingSceneData("MorvLToLWO2.translate");
    const PolygonMesh mesh = unpackPolygonMeshTop(scene);

    const ChunkPlan chunks[] = {
        constantChunk("TAGS", "Exception in outTAGS", tagsBody),
        constantChunk("LAYR", "Exception in outLayer", layerBody),
        pointsChunk(mesh),
        polygonsChunk(mesh),
        ptagChunk(mesh),
        constantChunk("SURF", "Exception in outSURF", surfBody),
    };
    std::uint64_t formLength = 4;
    for (const ChunkPlan& chunk : chunks) formLength += 8 + chunk.length + chunk.length % 2;
    if (formLength > maxFormLength)
        throw Error("The object is too large for an LWO2 file: its FORM would hold " +
                    intToText(static_cast<std::int64_t>(formLength)) + " bytes, at most " +
                    intToText(static_cast<std::int64_t>(maxFormLength)) + " are possible");

    IffWriter out(destination);
    out.putID("FORM");
    out.putU4(static_cast<std::uint32_t>(formLength));
    out.putID("LWO2");
    for (const ChunkPlan& chunk : chunks) writeChunk(out, chunk);
    out.finish();
}

std::string lwo2ProgressLine(const std::string& destination) {
    return "Writing LightWave LWO2 (LightWave3D Object after [6]) file " + destination + "\n";
}

}  // namespace MorvLToLWO2

std::string lwo2WriterProgressLine(const std::string& destination) {
    return MorvLToLWO2::lwo2ProgressLine(destination);
}

void writeLWO2(const MorvLValue& scene, const std::string& destination, const ExportSettings&) {
    MorvLToLWO2::translate(scene, destination);
}

}  // namespace morv
