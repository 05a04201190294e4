// Picture files made by our own code for the tests: JPEG through libjpeg's
// compressor, GIF and ILBM bytes built by hand (PNG comes from encodePNG).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/LwoFixtures.hpp"

namespace morv::testing {

// A JPEG of width x height with 1, 3 or 4 (CMYK) components, baseline or progressive.
std::string jpegPicture(std::uint32_t width, std::uint32_t height, int components, bool progressive = false);

// The GIF signature and logical screen of a picture of that size (enough for its size).
std::string gifHeader(std::uint16_t width, std::uint16_t height);

struct Ilbm {
    std::uint16_t width = 0, height = 0;
    std::uint8_t planes = 0;
    bool byteRun1 = false, maskPlane = false;
    std::uint32_t camg = 0;  // 0: no CAMG chunk
    std::vector<std::array<std::uint8_t, 3>> cmap;  // none when empty
    std::function<std::uint32_t(std::uint32_t x, std::uint32_t y)> value;  // each pixel's plane bits
};
std::string ilbmPicture(const Ilbm& ilbm);

// An LWO2 triangle (layer "top", points (0 0 0), (1 2 0), (0 1 -3)) whose
// surface "S" has one planar colour texture of the picture stored as name.
Bytes texturedTriangle(const std::string& name);

}  // namespace morv::testing
