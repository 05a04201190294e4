// Chunk bodies of LightWave objects of the IFF form LWOB, and a small complete
// object, for tests and for the example file examples/sample_old.lwo.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/LwoFixtures.hpp"

namespace morv::testing {

IffBuilder lwobPoints(const std::vector<XYZ>& points);
IffBuilder lwobSurfaceNames(const std::vector<std::string>& names);

// A polygon as stored in POLS. With details, the surface number is written
// negated and followed by the detail count and the detail polygons.
struct LwobPolygon {
    std::vector<std::uint16_t> vertices;
    std::int16_t surface = 1;
    std::vector<LwobPolygon> details;
};
IffBuilder lwobPolygons(const std::vector<LwobPolygon>& polygons);

// SURF: the name, then the subchunks.
IffBuilder lwobSurface(std::string_view name, const IffBuilder& subchunks);

// A FORM of type LWOB around the chunks.
inline Bytes lwobForm(const IffBuilder& chunks) { return iffForm("LWOB", chunks); }

// A cube of two surfaces ("Red" and "Textured"), whose front face carries a
// detail polygon; "Textured" has a planar colour image map started first and
// a cylindrical bump map without an image started last.
Bytes lwobSampleObject();

}  // namespace morv::testing
