// Pictures read from BMP and Targa files into plain 8-bit pixels, for writers
// that embed a texture's picture in another form (PNG).
//
// BMP: the OS/2 core header and the Windows information headers of 40 to 124
// bytes; 1, 4 and 8 bits through the palette, 16 and 32 bits with their
// default layout or bit masks, 24 bits; uncompressed, RLE8, RLE4 and bit
// fields. Rows stored bottom up or (a negative height) top down. Pixels that
// run-length data skips take palette entry 0. A picture has alpha only where
// its header gives an alpha mask.
//
// Targa: image types 1, 2, 3 (colour-mapped, true-colour, grey) and their
// run-length forms 9, 10, 11; indices of 8 or 16 bits into colour maps of
// 15, 16, 24 or 32 bits; true colour of 15, 16, 24 or 32 bits; grey of 8 bits,
// or 16 with alpha; any of the four origins. A picture has alpha where the
// header counts attribute bits for 16- or 32-bit pixels. Run-length packets
// may run on across rows.
//
// Every size and count is checked against the bytes that must hold it and
// against largestPicturePixels before anything is allocated; a damaged file
// raises Error with a message that says what and where. An index beyond the
// palette or colour map gives black.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace morv {

// The most pixels a picture may have: 8192 x 8192 (256 MB with alpha).
inline constexpr std::uint64_t largestPicturePixels = std::uint64_t{1} << 26;

struct Picture {
    std::uint32_t width = 0, height = 0;
    // Samples per pixel: 1 grey, 2 grey and alpha, 3 red, green and blue, 4 with alpha.
    std::uint32_t channels = 0;
    std::vector<std::uint8_t> pixels;  // rows from the top, pixels from the left, samples interleaved
};

Picture decodeBMP(std::span<const std::uint8_t> bytes);
Picture decodeTarga(std::span<const std::uint8_t> bytes);

}  // namespace morv
