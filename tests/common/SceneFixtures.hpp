// Small canonical scenes for the writer tests: images, textures, surfaces and
// a mesh whose faces name their surface.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "scene/CanonicalScene.hpp"
#include "support/Pictures.hpp"
#include "support/NeutralFileName.hpp"

namespace morv::testing {

// An image file, with a resolution when width is given.
inline MorvLValue image(const std::string& name, double width = 0, double height = 0) {
    std::vector<Field> fields{{"fileName", anyFileNameToMorvLNeutral(name)}};
    if (width > 0) fields.push_back({"resolution", makeImageResolution(width, height)});
    return MorvLValue::Record(std::move(fields));
}

// A UV colour texture of image 0 and coordinate set 0; changes replace or add
// fields, and a change to an absent value leaves the field out.
inline MorvLValue texture(const std::vector<Field>& changes = {}) {
    std::vector<Field> fields{{"textureChannel", MorvLValue::String("color")}, {"projection", MorvLValue::String("st")},
                              {"image", MorvLValue::Int(0)},       {"stIndex", MorvLValue::Int(0)},
                              {"transforms", MorvLValue::List({})}, {"coordinateSystem", MorvLValue::String("object")},
                              {"opacity", MorvLValue::Real(1.0)},   {"enabled", MorvLValue::Bool(true)}};
    for (const Field& c : changes) {
        std::erase_if(fields, [&](const Field& f) { return f.name == c.name; });
        if (c.value.kind() != Kind::ABSENT) fields.push_back(c);
    }
    return MorvLValue::Record(std::move(fields));
}

inline MorvLValue planar(std::vector<Field> changes = {}) {
    changes.insert(changes.begin(), {"projection", MorvLValue::String("planar")});
    return texture(changes);
}

inline MorvLValue surface(const std::string& name, std::vector<MorvLValue> textures = {}, std::vector<Field> values = {}) {
    values.insert(values.begin(), {"name", MorvLValue::String(name)});
    values.push_back({"textures", MorvLValue::List(std::move(textures))});
    return MorvLValue::Record(std::move(values));
}

struct SceneFace {
    std::vector<std::uint32_t> corners;
    std::int32_t surface = 0;
};

// sts: texture coordinates of slot 0, one per point, or none at all.
inline MorvLValue scene(const std::vector<XYZ>& points, const std::vector<SceneFace>& faces,
                        std::vector<MorvLValue> surfaces, std::vector<MorvLValue> images = {},
                        const std::vector<std::optional<ST>>& sts = {}) {
    MeshBuilder mesh;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const std::uint32_t v = mesh.addVertex(points[i]);
        if (!sts.empty()) mesh.setVertexSts(v, std::span(&sts[i], 1));
    }
    for (const SceneFace& f : faces) mesh.addFace(f.corners, MorvLValue::Int(f.surface));
    return makeScene(std::move(mesh).build(), std::move(surfaces), std::move(images));
}

}  // namespace morv::testing
