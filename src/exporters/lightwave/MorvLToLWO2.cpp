#include "exporters/lightwave/MorvLToLWO2.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <unordered_set>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "exporters/PolygonMesh.hpp"
#include "scene/CanonicalScene.hpp"
#include "scene/TexturePlacement.hpp"
#include "scene/Matrix4x4.hpp"
#include "scene/MorvLCoordTransforms.hpp"
#include "support/GetCs.hpp"
#include "support/NeutralFileName.hpp"

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
    std::string text = {};            // ID, String
    std::vector<Element> items = {};  // List
};

Element u2Element(std::uint16_t v) { return {.type = Element::Type::U2, .number = v}; }
Element u4Element(std::uint32_t v) { return {.type = Element::Type::U4, .number = v}; }
Element indexElement(std::uint32_t v) { return {.type = Element::Type::Index, .number = v}; }
Element realElement(double v) { return {.type = Element::Type::Real, .real = v}; }
Element vectorElement(const XYZ& v) { return {.type = Element::Type::Vector, .vector = v}; }
Element stringElement(std::string s) { return {.type = Element::Type::String, .text = std::move(s)}; }
Element idElement(const char* id) { return {.type = Element::Type::ID, .text = id}; }

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

std::uint64_t bodySize(const std::vector<Element>& body) {
    std::uint64_t sum = 0;
    for (const Element& e : body) sum += elementSize(e);
    return sum;
}

ChunkPlan constantChunk(const char* id, const char* context, const std::vector<Element>& body) {
    ChunkPlan plan{id, context};
    plan.length = underHandler(context, [&] { return bodySize(body); });
    plan.body = [&body](IffWriter& out) {
        for (const Element& e : body) putElement(out, e);
    };
    return plan;
}

// A chunk built from the scene as elements, which it keeps.
ChunkPlan elementChunk(const char* id, const char* context, std::vector<Element> body) {
    ChunkPlan plan{id, context};
    plan.length = underHandler(context, [&] { return bodySize(body); });
    plan.body = [body = std::move(body)](IffWriter& out) {
        for (const Element& e : body) putElement(out, e);
    };
    return plan;
}

// Where a layer's points and faces lie in the mesh. Inside the layer, points
// and polygons are numbered from its first ones.
struct Span {
    std::size_t first = 0, count = 0;
    std::size_t end() const { return first + count; }
};

// One POLS chunk: faces of one kind.
struct PolygonChunk {
    FaceKind kind = FaceKind::Polygon;
    Span faces;
};

struct LayerPlan {
    MeshLayer header;
    Span points, faces;
    std::vector<PolygonChunk> chunks;
};

const char* polygonType(FaceKind kind) {
    switch (kind) {
        case FaceKind::Polygon:
            return "FACE";
        case FaceKind::SubPatch:
            return "PTCH";
        case FaceKind::CatmullClark:
            return "SUBD";
    }
    throw Bug("Internal error: unknown face kind in MorvLToLWO2.polygonType\n");
}

// The layer's faces as POLS chunks, one per run of a kind; a layer without
// faces has one empty FACE chunk.
std::vector<PolygonChunk> polygonChunks(const MeshView& mesh, Span faces) {
    std::vector<PolygonChunk> chunks;
    for (const FaceKindRun& run : mesh.kindRuns()) {
        const std::size_t first = std::max(run.first, faces.first), end = std::min(run.first + run.count, faces.end());
        if (first < end) chunks.push_back({run.kind, {first, end - first}});
    }
    if (chunks.empty()) chunks.push_back({FaceKind::Polygon, {faces.first, 0}});
    return chunks;
}

ChunkPlan pointsChunk(const MeshView& mesh, Span points) {
    ChunkPlan plan{"PNTS", "Exception in outPoints"};
    // Points are stored as IEEE singles: a coordinate beyond their range would
    // be written as an infinity that readers refuse.
    underHandler(plan.context, [&] {
        for (std::size_t v = points.first; v < points.end(); ++v)
            checkVertexCoordinates(mesh.point(v), v, "an LWO2 file", std::numeric_limits<float>::max());
    });
    plan.length = 12 * std::uint64_t{points.count};
    plan.body = [&mesh, points](IffWriter& out) {
        for (std::size_t v = points.first; v < points.end(); ++v) out.putPoint(mesh.point(v));
    };
    return plan;
}

// Bytes of one polygon in POLS: its count word and its vertex indices, which
// count from the layer's first point. Checks every index against the layer's
// points so that a broken scene never reaches the file.
std::uint64_t polygonSize(std::span<const std::int32_t> corners, std::size_t face, Span points) {
    if (corners.size() > maxPolygonVertices)
        throw Error("Face " + intToText(static_cast<std::int64_t>(face)) + " has " +
                    intToText(static_cast<std::int64_t>(corners.size())) + " corners, more than the " +
                    intToText(maxPolygonVertices) + " that an LWO2 polygon can hold");
    std::uint64_t size = 2;
    for (std::size_t c = 0; c < corners.size(); ++c) {
        const std::int32_t v = corners[c];
        if (v < 0 || static_cast<std::size_t>(v) < points.first || static_cast<std::size_t>(v) >= points.end())
            raiseCornerBeyondVertices(c, face, v, points.count);
        size += vertexIndexSize(static_cast<std::size_t>(v) - points.first);
    }
    return size;
}

ChunkPlan polygonsChunk(const MeshView& mesh, const PolygonChunk& chunk, Span points) {
    ChunkPlan plan{"POLS", "Exception in outPolygons"};
    plan.length = underHandler(plan.context, [&] {
        std::uint64_t sum = 4;
        for (std::size_t f = chunk.faces.first; f < chunk.faces.end(); ++f)
            sum += underHandler("Exception in outPolygon", [&] { return polygonSize(mesh.corners(f), f, points); });
        return sum;
    });
    plan.body = [&mesh, chunk, points](IffWriter& out) {
        out.putID(polygonType(chunk.kind));
        for (std::size_t f = chunk.faces.first; f < chunk.faces.end(); ++f) {
            const auto corners = mesh.corners(f);
            out.putU2(static_cast<std::uint16_t>(corners.size()));
            for (std::int32_t v : corners) out.putVertexIndex(static_cast<std::size_t>(v) - points.first);
        }
    };
    return plan;
}

// Every polygon of the chunk refers to tag 0, the one surface.
ChunkPlan ptagChunk(Span faces) {
    ChunkPlan plan{"PTAG", "Exception in outPTAG"};
    plan.length = underHandler(plan.context, [&] {
        const std::uint64_t n = faces.count;
        if (n > 0) vertexIndexSize(n - 1);  // refuses polygon indices beyond the long form
        const std::uint64_t shortForm = std::min<std::uint64_t>(n, std::uint64_t{maxShortIndex} + 1);
        return 4 + shortForm * (2 + 2) + (n - shortForm) * (4 + 2);
    });
    plan.body = [faces](IffWriter& out) {
        out.putID("SURF");
        for (std::size_t f = 0; f < faces.count; ++f) {
            out.putVertexIndex(f);
            out.putU2(0);
        }
    };
    return plan;
}

// ---- The whole scene (--keepSurfaces=true) ----

// A subchunk: identifier, 16-bit length, items. Every item takes an even
// number of bytes, so no subchunk needs a pad byte.
Element subchunk(const char* id, std::vector<Element> items) {
    Element e;
    e.type = Element::Type::List;
    const std::uint64_t length = bodySize(items);
    if (length > 0xFFFF)
        throw Error(std::string("A ") + id + " subchunk would hold " + intToText(static_cast<std::int64_t>(length)) +
                    " bytes, more than the 65535 an LWO2 subchunk can hold");
    e.items.reserve(items.size() + 2);
    e.items.push_back(idElement(id));
    e.items.push_back(u2Element(static_cast<std::uint16_t>(length)));
    for (Element& item : items) e.items.push_back(std::move(item));
    return e;
}

// A value with envelope index 0 (no envelope), as surface and texture-map subchunks hold them.
Element realSubchunk(const char* id, double v) { return subchunk(id, {realElement(v), indexElement(0)}); }
Element vectorSubchunk(const char* id, const XYZ& v) { return subchunk(id, {vectorElement(v), indexElement(0)}); }

// Where a texture lies as LightWave's TMAP holds it: centre, size and
// heading, pitch and bank.
struct Placement {
    XYZ center, size, rotation;
};

XYZ pointField(const Fields& t, std::string_view name, XYZ fallback) {
    const auto v = t.find(name);
    return v && v->isRecord() ? RecordToXYZ(v->fields()) : fallback;
}

// The list with every zero factor of its scalings read as 1, as the inverse
// of a list reads it: an axis along which a texture has no size (a flat
// object sized automatically) keeps its direction.
MorvLValue zeroScalesAsOne(const MorvLValue& list) {
    std::vector<MorvLValue> items = list.items();
    for (MorvLValue& item : items)
        if (item.kind() == Kind::SUMVALUE && item.constructorName() == "ScaleXYZ" && item.argument().isRecord()) {
            XYZ f = RecordToXYZ(item.argument().fields());
            for (double* v : {&f.x, &f.y, &f.z})
                if (*v == 0) *v = 1;
            item = makeScaleXYZ(f.x, f.y, f.z);
        }
    return MorvLValue::List(std::move(items));
}

// A placement list is M = T(center) R S A T(-0.5, -0.5, 0), maybe behind the
// object's transforms; this is M T(0.5, 0.5, 0) A^-1 = T(center) R S.
Matrix4x4 placementMatrix(const MorvLValue& list, std::int32_t axis) {
    std::vector<MorvLValue> items = list.items();
    items.push_back(makeTranslateXYZ(0.5, 0.5, 0.0));
    if (axis == 0) items.push_back(makeIntDegRotateY(90));
    if (axis == 1) items.push_back(makeIntDegRotateX(-90));
    return transformToMatrix4x4(MorvLValue::List(std::move(items)));
}

// Heading, pitch and bank of R = RotateY(heading) RotateX(pitch) RotateZ(bank).
// At a pitch of +-90 degrees only heading -+ bank is defined: the bank is
// taken as 0 and the heading read from the first row.
XYZ headingPitchBank(const double r[3][3]) {
    const double cosPitch = std::hypot(r[1][0], r[1][1]);
    const double pitch = std::atan2(-r[1][2], cosPitch);
    // Below this, rounding in the entries outweighs what they say about heading and bank apart.
    constexpr double gimbal = 1e-8;
    if (cosPitch > gimbal) return {std::atan2(r[0][2], r[2][2]), pitch, std::atan2(r[1][0], r[1][1])};
    return {-r[1][2] > 0 ? std::atan2(r[0][1], r[0][0]) : std::atan2(-r[0][1], r[0][0]), pitch, 0.0};
}

// Centre, rotation and size behind the axis turn of a moved placement list;
// none when its matrix has no rotation to read. An axis along which the
// texture has no size keeps size 0.
std::optional<Placement> decompose(const MorvLValue& list, const XYZ& ownSize, std::int32_t axis) {
    const Matrix4x4 m = placementMatrix(zeroScalesAsOne(list), axis);
    const Matrix4x4 real = placementMatrix(list, axis);
    Placement p{{m.rows[0][3], m.rows[1][3], m.rows[2][3]}, {}, {}};
    double r[3][3];
    double sizes[3];
    const double ownSizes[3] = {ownSize.x, ownSize.y, ownSize.z};
    for (int j = 0; j < 3; ++j) {
        sizes[j] = std::hypot(m.rows[0][j], m.rows[1][j], m.rows[2][j]);
        if (!(sizes[j] > 0) || !std::isfinite(sizes[j])) return std::nullopt;
        if (ownSizes[j] < 0) sizes[j] = -sizes[j];
        for (int i = 0; i < 3; ++i) r[i][j] = m.rows[i][j] / sizes[j];
    }
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                       r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    bool flat[3];
    for (int j = 0; j < 3; ++j) flat[j] = real.rows[0][j] == 0 && real.rows[1][j] == 0 && real.rows[2][j] == 0;
    if (det < 0) {
        // A mirror goes into the size along the projection axis, where it
        // changes nothing; when the texture has no size there (a size of 0
        // keeps no sign), into the first size it has.
        int j = axis >= 0 && axis < 3 ? axis : 2;
        for (int k = 0; flat[j] && k < 3; ++k) j = k;
        sizes[j] = -sizes[j];
        for (auto& row : r) row[j] = -row[j];
    }
    for (int j = 0; j < 3; ++j)
        if (flat[j]) sizes[j] = 0;
    p.size = {sizes[0], sizes[1], sizes[2]};
    p.rotation = headingPitchBank(r);
    return p;
}

bool closeMatrices(const Matrix4x4& a, const Matrix4x4& b) {
    double scale = 0;
    for (int j = 0; j < 3; ++j) scale = std::max(scale, std::hypot(b.rows[0][j], b.rows[1][j], b.rows[2][j]));
    // Single floats hold the written values: their rounding, and that of the
    // turns they give, stays far below this.
    constexpr double tolerance = 1e-5;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            const double size = j == 3 ? scale + std::fabs(b.rows[i][3]) : scale;
            if (!(std::fabs(a.rows[i][j] - b.rows[i][j]) <= tolerance * size)) return false;
        }
    return true;
}

// Whether the placement, stored as single floats and read back, gives the list's transform.
bool rebuilds(const Placement& p, std::int32_t axis, const MorvLValue& list) {
    const auto single = [](const XYZ& v) {
        return XYZ{static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
    };
    const MorvLValue rebuilt = textureTransforms(single(p.center), single(p.rotation), single(p.size), axis);
    return closeMatrices(transformToMatrix4x4(rebuilt), transformToMatrix4x4(list));
}

// The placement that gives back the texture's transforms when read: taken
// from the list when it is the readers' own form for these values; otherwise
// (the object was moved or scaled on the way) decomposed from the list's
// matrix as centre, rotation and size behind the axis turn. Every
// decomposition is checked by rebuilding the list; exact is false when no
// placement gives it back.
Placement placementOf(const Fields& t, std::int32_t axis, bool& exact) {
    const Placement own{pointField(t, "center", {0, 0, 0}), pointField(t, "size", {1, 1, 1}),
                        pointField(t, "rotation", {0, 0, 0})};
    exact = true;
    const auto list = t.find("transforms");
    if (!list || list->kind() != Kind::LIST) return own;
    if (*list == textureTransforms(own.center, own.rotation, own.size, axis)) return own;
    const std::optional<Placement> p = decompose(*list, own.size, axis);
    exact = p && rebuilds(*p, axis, *list);
    return p.value_or(own);
}

const char* channelId(const std::string& channel) {
    static const std::pair<const char*, const char*> ids[] = {
        {"color", "COLR"},        {"diffusion", "DIFF"},    {"specularity", "SPEC"}, {"reflectivity", "REFL"},
        {"transparency", "TRAN"}, {"bump", "BUMP"},         {"luminosity", "LUMI"},  {"translucency", "TRNL"}};
    for (const auto& [name, id] : ids)
        if (channel == name) return id;
    return "UNKN";  // read back as "unknown"
}

// The LWO2 projection mode; none for a projection LightWave does not know. An
// older object's image maps other than planar keep their kind in textureType.
std::optional<std::uint16_t> projectionMode(const Fields& t) {
    static const char* const names[] = {"planar", "cylindrical", "spherical", "cube", "front", "st"};
    static const char* const lwobTypes[] = {"Planar Image Map", "Cylindrical Image Map", "Spherical Image Map",
                                            "Cubic Image Map", "Front Projection Image Map"};
    const std::string projection = getStringField(t, "projection", "unknown");
    for (std::uint16_t i = 0; i < 6; ++i)
        if (projection == names[i]) return i;
    const std::string type = getStringField(t, "textureType", "");
    for (std::uint16_t i = 0; i < 5; ++i)
        if (type == lwobTypes[i]) return i;
    return std::nullopt;
}

// Block ordinals sort in the order of the surface's textures.
std::string ordinal(std::size_t i) {
    return std::string(i / 0x7F, '\xFF') + static_cast<char>(0x80 + i % 0x7F);
}

// Texture coordinate slots: how many, and the map name each is written under.
struct UvSlots {
    std::vector<std::string> names;
};

// The texture as a BLOK of type IMAP.
Element imageMapBlock(const MorvLValue& texture, std::size_t position, std::size_t imageCount, const UvSlots& uv,
                      const std::string& surface, std::ostream* messages) {
    if (!texture.isRecord()) throw Error("A texture that is not a record cannot be written");
    const Fields t = texture.fields();
    const std::int32_t axis = findIntegerField(t, "axis").value_or(0);
    const auto opacityType = static_cast<std::uint16_t>(findIntegerField(t, "opacityType").value_or(0));
    std::vector<Element> header{
        stringElement(ordinal(position)),
        subchunk("CHAN", {idElement(channelId(getStringField(t, "textureChannel", "")))}),
        subchunk("ENAB", {u2Element(getBooleanField(t, "enabled", true) ? 1 : 0)}),
        subchunk("OPAC", {u2Element(opacityType), realElement(getRealField(t, "opacity", 1.0)), indexElement(0)})};
    if (getBooleanField(t, "negative", false)) header.push_back(subchunk("NEGA", {u2Element(1)}));
    bool exact = true;
    const Placement p = placementOf(t, axis, exact);
    if (!exact && messages)
        *messages << "Warning: The placement of texture " << position + 1 << " of the surface \"" << printableBytes(surface)
                  << "\" is no centre, rotation and size that an LWO2 file can hold; the texture may lie elsewhere in "
                     "the written object\n";
    const std::string space = getStringField(t, "coordinateSystem", "object");
    std::vector<Element> items{
        subchunk("IMAP", std::move(header)),
        subchunk("TMAP", {vectorSubchunk("CNTR", p.center), vectorSubchunk("SIZE", p.size),
                          vectorSubchunk("ROTA", p.rotation),
                          subchunk("CSYS", {u2Element(space == "object" ? 0 : space == "world" ? 1 : 2)})})};
    if (const auto mode = projectionMode(t)) items.push_back(subchunk("PROJ", {u2Element(*mode)}));
    items.push_back(subchunk("AXIS", {u2Element(static_cast<std::uint16_t>(axis))}));
    const std::int32_t image = findIntegerField(t, "image").value_or(-1);
    if (image >= 0 && static_cast<std::size_t>(image) < imageCount)
        items.push_back(subchunk("IMAG", {indexElement(static_cast<std::uint32_t>(image) + 1)}));
    // Wrap modes (0 reset, 1 repeat, 2 mirror, 3 edge) and the wrap counts of
    // cylindrical and spherical maps; the counts are left out at their default.
    const auto wrapMode = [&t](const char* field) {
        const std::int32_t mode = findIntegerField(t, field).value_or(1);
        return u2Element(static_cast<std::uint16_t>(mode >= 0 && mode <= 0xFFFF ? mode : 1));
    };
    items.push_back(subchunk("WRAP", {wrapMode("wrapModeWidth"), wrapMode("wrapModeHeight")}));
    for (const auto& [id, field] : {std::pair{"WRPW", "wrapCountWidth"}, std::pair{"WRPH", "wrapCountHeight"}})
        if (const double count = getRealField(t, field, 1.0); count != 1.0) items.push_back(realSubchunk(id, count));
    const std::int32_t slot = findIntegerField(t, "stIndex").value_or(-1);
    if (slot >= 0 && static_cast<std::size_t>(slot) < uv.names.size())
        items.push_back(subchunk("VMAP", {stringElement(uv.names[static_cast<std::size_t>(slot)])}));
    return subchunk("BLOK", std::move(items));
}

ChunkPlan surfaceChunk(const MorvLValue& surface, std::size_t imageCount, const UvSlots& uv, std::ostream* messages) {
    return underHandler("Exception in outSURF", [&] {
        if (!surface.isRecord()) throw Error("A surface that is not a record cannot be written");
        const Fields f = surface.fields();
        const std::string name = getStringField(f, "name", "");
        std::vector<Element> body{stringElement(name),
                                  stringElement(getStringField(f, "source", ""))};
        if (const auto c = f.find("color"); c && c->kind() == Kind::COLOR) {
            const Color rgb = c->asColor();
            body.push_back(vectorSubchunk("COLR", {rgb.r, rgb.g, rgb.b}));
        }
        static const std::pair<const char*, const char*> channels[] = {
            {"DIFF", "diffusion"},    {"LUMI", "luminosity"},   {"SPEC", "specularity"},
            {"REFL", "reflectivity"}, {"TRAN", "transparency"}, {"TRNL", "translucency"},
            {"GLOS", "glossiness"}};
        for (const auto& [id, field] : channels)
            if (const auto v = f.find(field); v && v->kind() == Kind::REAL) body.push_back(realSubchunk(id, v->asReal()));
        if (const auto v = f.find("smoothingAngle"); v && v->kind() == Kind::REAL)
            body.push_back(subchunk("SMAN", {realElement(v->asReal())}));
        if (const auto v = f.find("doubleSided"); v && v->kind() == Kind::BOOL)
            body.push_back(subchunk("SIDE", {u2Element(v->asBool() ? 3 : 1)}));
        const MorvLValue textures = getListField(f, "textures", MorvLValue::List({}));
        for (std::size_t i = 0; i < textures.size(); ++i)
            body.push_back(imageMapBlock(textures.at(i), i, imageCount, uv, name, messages));
        return elementChunk("SURF", "Exception in outSURF", std::move(body));
    });
}

// An image name as LightWave stores it: "/" between folders, a volume before ":".
std::string lightWaveFileName(const MorvLValue& neutral) {
    const auto volume = getFileNameVolume(neutral);
    return (volume ? *volume + ":" : "") + (getFileNameAbsolute(neutral) ? "/" : "") + getFileNamePath(neutral);
}

ChunkPlan clipChunk(const MorvLValue& image, std::uint32_t index) {
    return underHandler("Exception in outCLIP", [&] {
        if (!image.isRecord()) throw Error("An image that is not a record cannot be written");
        const std::string name = lightWaveFileName(requireField(image.fields(), "fileName"));
        return elementChunk("CLIP", "Exception in outCLIP",
                            {u4Element(index), subchunk("STIL", {stringElement(name)})});
    });
}

ChunkPlan surfaceTagsChunk(const MorvLValue& surfaces) {
    std::vector<Element> names;
    for (std::size_t i = 0; i < surfaces.size(); ++i) {
        const MorvLValue s = surfaces.at(i);
        names.push_back(stringElement(s.isRecord() ? getStringField(s.fields(), "name", "") : ""));
    }
    return elementChunk("TAGS", "Exception in outTAGS", std::move(names));
}

// Each polygon's own surface; a face without a valid one gets none, which a
// reader gives its default surface.
ChunkPlan surfacePtagChunk(const MeshView& mesh, Span faces, std::size_t surfaces) {
    ChunkPlan plan{"PTAG", "Exception in outPTAG"};
    if (surfaces > 0x10000)
        throw Error(Excn::compose(plan.context, Error("The object has " + intToText(static_cast<std::int64_t>(surfaces)) +
                                                      " surfaces, more than the 65536 an LWO2 file can tell apart")));
    const auto surfaceOf = [&mesh, surfaces](std::size_t f) -> std::int32_t {
        const auto s = mesh.surface(f);
        return s && *s >= 0 && static_cast<std::size_t>(*s) < surfaces ? *s : -1;
    };
    plan.length = underHandler(plan.context, [&] {
        std::uint64_t sum = 4;
        for (std::size_t f = faces.first; f < faces.end(); ++f)
            if (surfaceOf(f) >= 0) sum += vertexIndexSize(f - faces.first) + 2;
        return sum;
    });
    plan.body = [faces, surfaceOf](IffWriter& out) {
        out.putID("SURF");
        for (std::size_t f = faces.first; f < faces.end(); ++f)
            if (const std::int32_t s = surfaceOf(f); s >= 0) {
                out.putVertexIndex(f - faces.first);
                out.putU2(static_cast<std::uint16_t>(s));
            }
    };
    return plan;
}

// Slots in use: those any vertex or corner holds, those textures name and
// those the mesh names. A slot is written under the name of its source map,
// else the name a texture gives it (VMAP), else "UV1", "UV2", ..., skipping
// names already taken, so that every slot reads back as a map of its own.
UvSlots uvSlots(const MeshView& mesh, const MorvLValue& meshRecord, const MorvLValue& surfaces) {
    const std::vector<std::string> sourceNames = stNames(meshRecord);
    std::size_t count = sourceNames.size();
    for (std::size_t v = 0; v < mesh.vertexCount(); ++v) count = std::max(count, mesh.vertexSlotCount(v));
    if (mesh.hasCornerSts())
        for (std::size_t c = 0; c < mesh.cornerCount(); ++c) count = std::max(count, mesh.cornerSlotCount(c));
    std::vector<std::pair<std::int32_t, std::string>> named;
    for (std::size_t slot = 0; slot < sourceNames.size(); ++slot)
        named.emplace_back(static_cast<std::int32_t>(slot), sourceNames[slot]);
    for (std::size_t i = 0; i < surfaces.size(); ++i) {
        const MorvLValue s = surfaces.at(i);
        if (!s.isRecord()) continue;
        const MorvLValue textures = getListField(s.fields(), "textures", MorvLValue::List({}));
        for (std::size_t k = 0; k < textures.size(); ++k) {
            const MorvLValue t = textures.at(k);
            if (!t.isRecord()) continue;
            const std::int32_t slot = findIntegerField(t.fields(), "stIndex").value_or(-1);
            if (slot < 0 || static_cast<std::size_t>(slot) > count + 0xFFFF) continue;  // no map to write
            count = std::max(count, static_cast<std::size_t>(slot) + 1);
            if (const auto name = t.fields().find("VMAP"); name && name->kind() == Kind::STRING)
                named.emplace_back(slot, name->asString());
        }
    }
    UvSlots uv;
    uv.names.resize(count);
    std::unordered_set<std::string> taken;
    for (const auto& [slot, name] : named)
        if (uv.names[static_cast<std::size_t>(slot)].empty() && !name.empty() && taken.insert(name).second)
            uv.names[static_cast<std::size_t>(slot)] = name;
    std::size_t next = 1;
    for (std::string& name : uv.names)
        while (name.empty()) {
            std::string candidate = "UV" + std::to_string(next++);
            if (taken.insert(candidate).second) name = std::move(candidate);
        }
    return uv;
}

// Map type, dimension and name: the start of VMAP and VMAD.
std::uint64_t mapHeaderSize(const std::string& name) { return 4 + 2 + stringSize(name); }
void putMapHeader(IffWriter& out, const std::string& name) {
    out.putID("TXUV");
    out.putU2(2);
    out.putString(name);
}

// VMAP TXUV: the layer's points that have coordinates in the slot.
ChunkPlan vertexMapChunk(const MeshView& mesh, Span points, std::size_t slot, const std::string& name) {
    ChunkPlan plan{"VMAP", "Exception in outVMAP"};
    std::uint64_t length = mapHeaderSize(name);
    for (std::size_t v = points.first; v < points.end(); ++v)
        if (mesh.vertexSt(slot, v)) length += vertexIndexSize(v - points.first) + 8;
    plan.length = length;
    plan.body = [&mesh, points, slot, &name](IffWriter& out) {
        putMapHeader(out, name);
        for (std::size_t v = points.first; v < points.end(); ++v)
            if (const auto st = mesh.vertexSt(slot, v)) {
                out.putVertexIndex(v - points.first);
                out.putReal(st->s);
                out.putReal(st->t);
            }
    };
    return plan;
}

// VMAD TXUV: the corners of the chunk's faces that hold coordinates of their own in the slot.
ChunkPlan cornerMapChunk(const MeshView& mesh, Span points, Span faces, std::size_t slot, const std::string& name) {
    ChunkPlan plan{"VMAD", "Exception in outVMAD"};
    std::uint64_t length = mapHeaderSize(name);
    for (std::size_t f = faces.first; f < faces.end(); ++f)
        for (std::size_t c = mesh.firstCorner(f); c < mesh.firstCorner(f + 1); ++c)
            if (mesh.cornerOwnSt(slot, c))
                length += vertexIndexSize(static_cast<std::size_t>(mesh.corners(f)[c - mesh.firstCorner(f)]) -
                                          points.first) +
                          vertexIndexSize(f - faces.first) + 8;
    plan.length = length;
    plan.body = [&mesh, points, faces, slot, &name](IffWriter& out) {
        putMapHeader(out, name);
        for (std::size_t f = faces.first; f < faces.end(); ++f)
            for (std::size_t c = mesh.firstCorner(f); c < mesh.firstCorner(f + 1); ++c)
                if (const auto st = mesh.cornerOwnSt(slot, c)) {
                    out.putVertexIndex(static_cast<std::size_t>(mesh.corners(f)[c - mesh.firstCorner(f)]) - points.first);
                    out.putVertexIndex(f - faces.first);
                    out.putReal(st->s);
                    out.putReal(st->t);
                }
    };
    return plan;
}

// VMAP NORM (faces empty: the layer's points' own normals) or VMAD NORM (the
// normals of the points in the chunk's faces), in the scene's order; nullopt
// when there are none.
std::optional<ChunkPlan> normalMapChunk(const std::vector<MeshNormal>& normals, Span points, std::optional<Span> faces) {
    const auto wanted = [points, faces](const MeshNormal& n) {
        if (n.vertex < points.first || n.vertex >= points.end()) return false;
        const auto face = static_cast<std::size_t>(n.face);
        return faces ? n.face >= 0 && face >= faces->first && face < faces->end() : n.face < 0;
    };
    static const std::string name = "Normals";
    std::uint64_t length = 4 + 2 + stringSize(name), entries = 0;
    for (const MeshNormal& n : normals)
        if (wanted(n))
            length += vertexIndexSize(n.vertex - points.first) +
                      (faces ? vertexIndexSize(static_cast<std::size_t>(n.face) - faces->first) : 0) + 12, ++entries;
    if (entries == 0) return std::nullopt;
    ChunkPlan plan{faces ? "VMAD" : "VMAP", faces ? "Exception in outVMAD" : "Exception in outVMAP"};
    plan.length = length;
    plan.body = [&normals, points, faces, wanted](IffWriter& out) {
        out.putID("NORM");
        out.putU2(3);
        out.putString(name);
        for (const MeshNormal& n : normals)
            if (wanted(n)) {
                out.putVertexIndex(n.vertex - points.first);
                if (faces) out.putVertexIndex(static_cast<std::size_t>(n.face) - faces->first);
                out.putReal(n.normal.x);
                out.putReal(n.normal.y);
                out.putReal(n.normal.z);
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

// The one layer of the plain writer, and of a scene that keeps no layers.
LayerPlan wholeMeshLayer(const MeshView& mesh) {
    LayerPlan layer{{0, 0, "layer1", {0, 0, 0}, std::nullopt, 0, 0}, {0, mesh.vertexCount()}, {0, mesh.faceCount()}, {}};
    layer.chunks = polygonChunks(mesh, layer.faces);
    return layer;
}

bool fitsU2(std::int32_t v) { return v >= 0 && v <= 0xFFFF; }

// The scene's layers when the file can hold them as they are: each face uses
// only points of its own layer and the numbers fit; otherwise one layer.
std::vector<LayerPlan> layerPlans(const MeshView& mesh, const MorvLValue& meshRecord) {
    std::vector<LayerPlan> plans;
    std::size_t vertex = 0, face = 0;
    for (MeshLayer& header : meshLayers(meshRecord)) {
        const Span points{vertex, header.vertices}, faces{face, header.faces};
        vertex = points.end();
        face = faces.end();
        if (!fitsU2(header.number) || !fitsU2(header.flags) || (header.parent && !fitsU2(*header.parent)))
            return {wholeMeshLayer(mesh)};
        for (std::size_t f = faces.first; f < faces.end(); ++f)
            for (const std::int32_t v : mesh.corners(f))
                if (v < 0 || static_cast<std::size_t>(v) < points.first || static_cast<std::size_t>(v) >= points.end())
                    return {wholeMeshLayer(mesh)};
        plans.push_back({std::move(header), points, faces, polygonChunks(mesh, faces)});
    }
    if (plans.empty()) plans.push_back(wholeMeshLayer(mesh));
    return plans;
}

ChunkPlan layerChunk(const MeshLayer& header) {
    const XYZ& p = header.pivot;
    const double limit = std::numeric_limits<float>::max();
    if (!(std::fabs(p.x) <= limit && std::fabs(p.y) <= limit && std::fabs(p.z) <= limit))
        throw Error(Excn::compose("Exception in outLayer",
                                  Error("The pivot of layer " + intToText(header.number) + " lies at (" +
                                        realToText(p.x) + ", " + realToText(p.y) + ", " + realToText(p.z) +
                                        ") after the transforms, beyond the coordinates an LWO2 file holds")));
    std::vector<Element> body{u2Element(static_cast<std::uint16_t>(header.number)),
                              u2Element(static_cast<std::uint16_t>(header.flags)), vectorElement(p),
                              stringElement(header.name)};
    if (header.parent) body.push_back(u2Element(static_cast<std::uint16_t>(*header.parent)));
    return elementChunk("LAYR", "Exception in outLayer", std::move(body));
}

// A layer with everything it holds: its points, then each POLS chunk
// followed by the chunks whose polygon indices count in it (PTAG, VMAD); the
// point maps come after the first one, slot by slot, since a reader numbers
// the slots in the order the maps appear.
void addLayerChunks(std::vector<ChunkPlan>& chunks, const MeshView& mesh, const LayerPlan& layer,
                    std::size_t surfaceCount, const UvSlots& uv, const std::vector<MeshNormal>& normals) {
    chunks.push_back(layerChunk(layer.header));
    chunks.push_back(pointsChunk(mesh, layer.points));
    for (std::size_t k = 0; k < layer.chunks.size(); ++k) {
        const PolygonChunk& pols = layer.chunks[k];
        chunks.push_back(polygonsChunk(mesh, pols, layer.points));
        chunks.push_back(surfacePtagChunk(mesh, pols.faces, surfaceCount));
        for (std::size_t slot = 0; slot < uv.names.size(); ++slot) {
            if (k == 0)
                chunks.push_back(underHandler("Exception in outVMAP", [&] {
                    return vertexMapChunk(mesh, layer.points, slot, uv.names[slot]);
                }));
            if (mesh.hasCornerSts())
                chunks.push_back(underHandler("Exception in outVMAD", [&] {
                    return cornerMapChunk(mesh, layer.points, pols.faces, slot, uv.names[slot]);
                }));
        }
        // The object's own normals: the points' after the first POLS chunk, the corners' after their own.
        if (k == 0)
            if (auto map = normalMapChunk(normals, layer.points, std::nullopt)) chunks.push_back(std::move(*map));
        if (auto map = normalMapChunk(normals, layer.points, pols.faces)) chunks.push_back(std::move(*map));
    }
}

}  // namespace

namespace MorvLToLWO2 {

void translate(const MorvLValue& scene, const std::string& destination, bool keepSurfaces, std::ostream* messages) {
    if (!scene.isRecord()) raiseMissingSceneData("MorvLToLWO2.translate");
    const PolygonMesh polygonMesh = unpackPolygonMeshTop(scene);
    const MeshView mesh(polygonMesh.mesh);

    std::vector<ChunkPlan> chunks;
    UvSlots uv;
    std::vector<LayerPlan> layers;
    std::vector<MeshNormal> normals;  // kept alive for the chunks' bodies
    if (!keepSurfaces) {
        layers.push_back(wholeMeshLayer(mesh));
        const LayerPlan& layer = layers.back();
        chunks.push_back(constantChunk("TAGS", "Exception in outTAGS", tagsBody));
        chunks.push_back(constantChunk("LAYR", "Exception in outLayer", layerBody));
        chunks.push_back(pointsChunk(mesh, layer.points));
        for (const PolygonChunk& pols : layer.chunks) {
            chunks.push_back(polygonsChunk(mesh, pols, layer.points));
            chunks.push_back(ptagChunk(pols.faces));
        }
        chunks.push_back(constantChunk("SURF", "Exception in outSURF", surfBody));
    } else {
        const auto [surfaces, images] = getSurfacesImages(scene);
        uv = uvSlots(mesh, polygonMesh.mesh, surfaces);
        layers = layerPlans(mesh, polygonMesh.mesh);
        normals = meshNormals(polygonMesh.mesh);
        chunks.push_back(surfaceTagsChunk(surfaces));
        for (const LayerPlan& layer : layers) addLayerChunks(chunks, mesh, layer, surfaces.size(), uv, normals);
        for (std::size_t i = 0; i < images.size(); ++i) chunks.push_back(clipChunk(images.at(i), static_cast<std::uint32_t>(i) + 1));
        for (std::size_t i = 0; i < surfaces.size(); ++i) chunks.push_back(surfaceChunk(surfaces.at(i), images.size(), uv, messages));
    }
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

}  // namespace MorvLToLWO2

std::string lwo2WriterProgressLine(const std::string& destination) {
    return "Writing LightWave LWO2 (LightWave3D Object after [6]) file " + destination + "\n";
}

void writeLWO2(const MorvLValue& scene, const std::string& destination, const ExportSettings& common,
               const LWO2Settings& own) {
    MorvLToLWO2::translate(scene, destination, own.keepSurfaces, &common.messages);
}

}  // namespace morv
