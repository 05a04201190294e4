// Binary glTF read back for tests, apart from the writer's code: the JSON as a map
// from each value's path ("/meshes/0/primitives/1/indices") to its text, the triangles,
// the pictures, and a decoder of 8-bit PNG pictures. Faults raise std::runtime_error.
#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/Pictures.hpp"

namespace morv::testing {

struct GlbPrimitive {
    std::vector<std::array<float, 3>> positions;
    std::vector<std::array<float, 2>> uvs;  // empty without TEXCOORD_0
    std::vector<std::array<std::uint32_t, 1>> indices;
    std::string material;  // the path of its material, empty without one
    std::vector<std::array<float, 3>> normals;  // empty without NORMAL
};

struct Glb {
    std::map<std::string, std::string> json;
    std::vector<GlbPrimitive> primitives;
    std::vector<std::string> pictures;  // each image's bytes
};
Glb readGlb(const std::filesystem::path& file);

Picture decodePng(const std::string& png);

}  // namespace morv::testing
