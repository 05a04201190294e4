// Each texture of the scene carries the canonical fields
//   textureChannel, projection, image, stIndex, transforms, coordinateSystem,
//   axis, center, size, rotation, opacity, opacityType, enabled
// and, from the older format, textureType (the type name as stored, e.g.
// "Cylindrical Image Map", since projection knows only planar maps), negative,
// pixelblend, antialias, and whichever of falloff, velocity, color (the
// texture colour), value, frequency and param (ARRAY of 10 REALs) the file set.
// Defaults: center (0, 0, 0) and size (1, 1, 1) without TCTR/TSIZ, axis x and
// object coordinates without TFLG, opacity 1.0 without TOPC; the format stores
// no rotation, so rotation is (0, 0, 0), and no UV maps, so stIndex is -1.
// A texture without TIMG, or whose TIMG is empty or "(none)" (what LightWave
// stores for no image), has image -1.
//
// Surfaces: one per SRFS name, in SRFS order, so that polygon surface number n
// is surface n - 1; each takes the attributes and textures of the first SURF
// chunk of its name, and a name without a SURF chunk gives a surface with only
// its name and no textures. SURF chunks whose name SRFS lacks follow, in file
// order; no polygon refers to them.
#include "importers/lightwave/LWOBToMorvLScene.hpp"

#include <numbers>
#include <ostream>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "base/Excn.hpp"
#include "scene/TexturePlacement.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {

namespace {

const char* channelOf(std::string_view id) {
    if (id == "CTEX") return "color";
    if (id == "DTEX") return "diffusion";
    if (id == "STEX") return "specularity";
    if (id == "RTEX") return "reflectivity";
    if (id == "TTEX") return "transparency";
    if (id == "BTEX") return "bump";
    if (id == "LTEX") return "luminosity";
    return "unknown";
}

XYZ pointOr(const Fields& record, std::string_view name, XYZ dflt) {
    const auto value = record.find(name);
    return value && value->isRecord() ? RecordToXYZ(value->fields()) : dflt;
}

MorvLValue pointValue(const XYZ& p) { return makePointRecord(p.x, p.y, p.z); }

// Images entered by the name the object stores; each name once.
class Images {
public:
    explicit Images(std::ostream& messages) : messages_(messages) {}

    std::int32_t indexOf(const std::string& name) {
        if (name.empty() || name == "(none)") return -1;
        const auto it = known_.find(name);
        if (it != known_.end()) return it->second;
        const MorvLValue record =
            MorvLValue::Record({{"fileName", anyFileNameToMorvLNeutral(name, messages_)}});
        const std::int32_t index = table_.enter(name, record);
        known_.emplace(name, index);
        return index;
    }
    const std::vector<MorvLValue>& images() const { return table_.images(); }

private:
    std::ostream& messages_;
    ImageTable table_;
    std::unordered_map<std::string, std::int32_t> known_;
};

MorvLValue textureLWOBToMorvL(const MorvLValue& texture, Images& images) {
    if (texture.kind() != Kind::BUILDINGRECORD)
        throw Error(
            "Internal Error: Expected type BLV.BUILDINGRECORD not found in LWOBToMorvLScene.textureLWOBToMorvL!\n");
    const Fields t = texture.fields();
    const std::string type = getStringField(t, "type", "");

    std::int32_t axis = 0;
    bool world = false, negative = false, pixelblend = false, antialias = false;
    if (const auto flags = t.find("flags"); flags && flags->isRecord()) {
        const Fields f = flags->fields();
        axis = findIntegerField(f, "axis").value_or(0);
        world = getBooleanField(f, "world", false);
        negative = getBooleanField(f, "negative", false);
        pixelblend = getBooleanField(f, "pixelblend", false);
        antialias = getBooleanField(f, "antialias", false);
    }
    const XYZ center = pointOr(t, "center", {0, 0, 0});
    const XYZ size = pointOr(t, "size", {1, 1, 1});
    const XYZ rotation{0, 0, 0};

    std::vector<Field> out{
        {"textureChannel", MorvLValue::String(channelOf(getStringField(t, "id", "")))},
        {"projection", MorvLValue::String(type == "Planar Image Map" ? "planar" : "unknown")},
        {"image", MorvLValue::Int(images.indexOf(getStringField(t, "file", "")))},
        {"stIndex", MorvLValue::Int(-1)},
        {"transforms", textureTransforms(center, rotation, size, axis)},
        {"coordinateSystem", MorvLValue::String(world ? "world" : "object")},
        {"axis", MorvLValue::Int(axis)},
        {"center", pointValue(center)},
        {"size", pointValue(size)},
        {"rotation", pointValue(rotation)},
        {"opacity", MorvLValue::Real(getRealField(t, "opacity", 1.0))},
        {"opacityType", MorvLValue::Int(0)},
        {"enabled", MorvLValue::Bool(true)},
        {"textureType", MorvLValue::String(type)},
        {"negative", MorvLValue::Bool(negative)},
        {"pixelblend", MorvLValue::Bool(pixelblend)},
        {"antialias", MorvLValue::Bool(antialias)},
    };
    for (const char* name : {"falloff", "velocity", "color", "value", "frequency", "param"})
        if (auto value = t.find(name)) out.push_back({name, std::move(*value)});
    return MorvLValue::Record(std::move(out));
}

MorvLValue surfaceLWOBToMorvL(const std::string& name, const MorvLValue* surf, Images& images) {
    std::vector<Field> out{{"name", MorvLValue::String(name)}};
    std::vector<MorvLValue> textures;
    if (surf) {
        const Fields s = surf->fields();
        for (const char* attribute :
             {"color", "luminosity", "diffusion", "specularity", "reflectivity", "transparency"})
            if (auto value = s.find(attribute)) out.push_back({attribute, std::move(*value)});
        // Flag 4 smooths the surface, up to the angle SMAN gives (radians) or
        // else LightWave's 89.5 degrees; flag 256 shows both sides of its polygons.
        if (const auto flags = findIntegerField(s, "flags")) {
            const double angle = (*flags & 4) ? getRealField(s, "smoothingAngle", 89.5 * std::numbers::pi / 180) : 0.0;
            out.push_back({"smoothingAngle", MorvLValue::Real(angle)});
            out.push_back({"doubleSided", MorvLValue::Bool((*flags & 256) != 0)});
        }
        const MorvLValue list = getListField(s, "textures", MorvLValue::List({}));
        const std::size_t n = list.size();
        textures.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const MorvLValue texture = list.at(i);
            if (texture.kind() != Kind::BUILDINGRECORD)
                throw Error("Internal Error: Expected BUILDINGRECORD type not found in texture list!\n");
            textures.push_back(textureLWOBToMorvL(texture, images));
        }
    }
    out.push_back({"textures", MorvLValue::List(std::move(textures))});
    return MorvLValue::Record(std::move(out));
}

MorvLValue buildMesh(const LWOBObject& object) {
    MeshBuilder mesh;
    mesh.reserve(object.points.size(), object.polygonSurfaces.size(), object.polygonVertices.size());
    for (const XYZ& p : object.points) mesh.addVertex(p);
    const std::span<const std::uint32_t> vertices(object.polygonVertices);
    for (std::size_t i = 0; i < object.polygonSurfaces.size(); ++i) {
        const std::uint32_t begin = object.polygonOffsets[i];
        mesh.addFace(vertices.subspan(begin, object.polygonOffsets[i + 1] - begin),
                     MorvLValue::Int(object.polygonSurfaces[i] - 1));
    }
    return std::move(mesh).build();
}

}  // namespace

MorvLValue LWOBToMorvLScene(const LWOBObject& object, std::ostream& messages) {
    // The first SURF chunk of each name.
    std::unordered_map<std::string, std::size_t> surfByName;
    for (std::size_t i = 0; i < object.surfaces.size(); ++i)
        surfByName.emplace(getStringField(object.surfaces[i].fields(), "name", ""), i);

    Images images(messages);
    std::vector<MorvLValue> surfaces;
    surfaces.reserve(object.surfaceNames.size() + object.surfaces.size());
    std::vector<bool> used(object.surfaces.size(), false);
    for (const std::string& name : object.surfaceNames) {
        const auto it = surfByName.find(name);
        const MorvLValue* surf = nullptr;
        if (it != surfByName.end()) {
            surf = &object.surfaces[it->second];
            used[it->second] = true;
        }
        surfaces.push_back(surfaceLWOBToMorvL(name, surf, images));
    }
    for (std::size_t i = 0; i < object.surfaces.size(); ++i) {
        const std::string name = getStringField(object.surfaces[i].fields(), "name", "");
        if (!used[i] && surfByName.at(name) == i)
            surfaces.push_back(surfaceLWOBToMorvL(name, &object.surfaces[i], images));
    }
    return makeScene(buildMesh(object), std::move(surfaces), images.images());
}

}  // namespace morv
