// The shader generator: the program tree of one surface shader, built from
// the surface's values and its image textures, with the texture-mapping
// functions it calls. The tree is checked and printed by the caller.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "exporters/renderman/ShadingLanguage.hpp"

namespace morv::ShaderGeneration {

enum class Channel { Color, Diffusion, Specularity, Luminosity, Transparency, Bump };

// One texture lookup of the shader. Lookup i reads the shader parameter
// textureName<i>.
struct TextureLookup {
    Channel channel = Channel::Color;
    bool planar = false;                // PlanarTextureMap; otherwise UVTextureMap
    std::string space = "object";       // planar: the space the point is projected from
    std::array<double, 16> xForm{};     // planar: that space to texture space, for row vectors
    int stIndex = 0;                    // UV: the coordinate set, parameters s<stIndex> and t<stIndex>
    double value = 1.0;                 // the weight of the lookup; for bump, the displacement per unit
    std::string textureFile;            // default of the texture-name parameter
};

struct SurfaceShader {
    std::string name;  // a valid, unused identifier
    double kd = 1.0, ks = 0.0, luminosity = 0.0;
    std::vector<TextureLookup> lookups;
};

// The specular roughness of every shader.
inline constexpr double roughness = 0.1;

SL::Program buildSurfaceShader(const SurfaceShader& surface);

// The coordinate-set numbers the shader reads, ascending and without repeats.
std::vector<int> coordinateSets(const SurfaceShader& surface);

}  // namespace morv::ShaderGeneration
