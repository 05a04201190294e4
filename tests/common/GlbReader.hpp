// Reads binary glTF files back for tests, apart from the writer's code: a
// small JSON parser, the triangles of every primitive and the embedded
// pictures, and a PNG decoder for 8-bit pictures. Faults raise std::runtime_error.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morv::testing {

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    // The member of that name, or a null value.
    const Json& operator[](std::string_view name) const;
    const Json& operator[](std::size_t i) const { return items.at(i); }
    std::size_t size() const { return kind == Kind::Array ? items.size() : 0; }
};
Json parseJson(std::string_view text);

struct GlbPrimitive {
    std::vector<std::array<float, 3>> positions;
    std::vector<std::array<float, 2>> uvs;  // empty without TEXCOORD_0
    std::vector<std::uint32_t> indices;
    const Json* material = nullptr;          // null without one
};

struct Glb {
    Json json;
    std::vector<GlbPrimitive> primitives;
    std::vector<std::string> pictures;  // each image's bytes
};
Glb readGlb(const std::filesystem::path& file);

struct DecodedPng {
    std::uint32_t width = 0, height = 0, channels = 0;
    std::vector<std::uint8_t> pixels;
};
DecodedPng decodePng(std::string_view png);

}  // namespace morv::testing
