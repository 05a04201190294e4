// Reads the geometry of LightWave objects for tests: a small scanner of its
// own, independent of the converter's readers, and the list of the real
// objects of Debian's assimp-testmodels package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace morv::testing {

struct ScannedGeometry {
    std::vector<std::uint32_t> points;  // IEEE bit patterns, x y z per point
    std::vector<std::vector<std::uint32_t>> faces;
    std::vector<std::string> kinds;  // per face: its POLS type ("FACE" in an LWOB object)
};

// "LWO2", "LWOB", or "" for a file that is not a LightWave object.
std::string formType(const std::filesystem::path& p);

// Points of every layer in file order, and the face polygons (cages too) with their
// indices moved past the points of the layers before (LWOB detail polygons
// kept as faces after their polygon). A scan that overruns the file fails the
// calling test.
ScannedGeometry scanGeometry(const std::filesystem::path& p);

// Every LightWave object under /usr/share/assimp/models/LWO, sorted; empty
// when the package is not installed.
std::vector<std::filesystem::path> lightWaveObjects();

}  // namespace morv::testing
