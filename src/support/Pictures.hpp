// Picture files: which format a file is, its size in pixels, and its pixels.
// One reader per format serves both the size and the pixels.
//
// Formats are told by their first bytes, never by the name's extension: BMP
// ("BM"), PNG, JPEG, GIF ("GIF87a", "GIF89a"), IFF ILBM ("FORM" ... "ILBM"),
// and last Targa, which has no signature (colour-map type 1 with image type
// 1, 2, 9 or 10, or another colour-map type with image type 2 or 10).
//
// Sizes: BMP and Targa from their headers (a BMP whose height is negative
// gives its magnitude; a width or height of 0, a negative BMP width, or a BMP
// side above 65535 is no size); PNG from IHDR; JPEG from the first
// start-of-frame marker, other segments skipped; GIF from the logical screen;
// ILBM from BMHD. Every length is checked against the bytes that hold it; a
// header that is damaged or cut short is a read error with its cause.
//
// Pixels:
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
// ILBM: 1 to 8 planes through CMAP (extra half-bright and hold-and-modify of
// 6 and 8 planes as CAMG says), 24-bit RGB and 32-bit RGBA; uncompressed or
// ByteRun1; a mask plane is skipped. An index beyond CMAP gives black.
//
// PNG through libpng and JPEG through libjpeg, which never print: their
// messages become the reason of the Error. A JPEG whose data ends early or
// holds damaged data does not decode (libjpeg would fill it with grey). GIF
// is sized but not decoded.
//
// Every size and count is checked against the bytes that must hold it and
// against largestPicturePixels before anything is allocated; a damaged file
// raises Error with a message that says what and where. An index beyond the
// palette or colour map gives black.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

enum class PictureFormat { Unknown, BMP, Targa, PNG, JPEG, GIF, ILBM };

// "BMP", "Targa", "PNG", "JPEG", "GIF", "ILBM"; "unknown".
const char* pictureFormatName(PictureFormat format);

// The format the bytes begin as (Targa when nothing else fits and its header does).
PictureFormat pictureFormat(std::span<const std::uint8_t> bytes);

// ---- Sizes ----

MorvLValue makeImageResolution(double w, double h);

enum class ImageProbeStatus {
    Read,        // width and height are valid
    CannotOpen,  // missing, not a regular file, or unreadable; cause is the system's reason
    NotImage,    // no format this program knows, or an unusable size
    ReadError,   // a header of a known format damaged or cut short; cause says which read failed
};

struct ImageProbe {
    ImageProbeStatus status = ImageProbeStatus::NotImage;
    PictureFormat format = PictureFormat::Unknown;
    int width = 0;
    int height = 0;
    std::string cause;
};

// The size read from the header bytes of a picture file (its first bytes, or all of it).
ImageProbe probeImageBytes(std::span<const std::uint8_t> bytes);

// Never throws (but for memory exhaustion). Only a regular file is opened; a
// file's first 64 KB are read, the rest only for a JPEG or ILBM whose size
// lies further on.
ImageProbe probeImage(const std::string& platformName);
std::optional<std::pair<int, int>> probeImageFile(const std::string& platformName);

// The resolution for one image file (a name already rendered for the platform).
// With force the default is returned and nothing is opened or printed.
// Otherwise prints "Using pixel resolution WxH for the image file NAME" to
// out, or, when no resolution can be read, the reason ("Could not open file
// NAME: REASON" to out; a damaged header as the composed "Error: Could not
// read FORMAT image file NAME" text on the Excn reporting stream) and the
// "Warning: Could not get resolution of the image file" line to out, and
// returns the default.
MorvLValue resolutionForImage(const std::string& platformName, double defaultW, double defaultH,
                              bool force, std::ostream& out);

// ---- Pixels ----

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
Picture decodeILBM(std::span<const std::uint8_t> bytes);
Picture decodePNG(std::span<const std::uint8_t> bytes);
Picture decodeJPEG(std::span<const std::uint8_t> bytes);
// Any format above, as its first bytes say.
Picture decodePicture(std::span<const std::uint8_t> bytes);

// A picture in a form every glTF viewer opens: a PNG that decodes whole, and
// a JPEG that decodes whole and is baseline or progressive with 1 or 3
// components, as they are; any other picture that decodes as PNG.
struct EmbeddablePicture {
    const char* mimeType;
    std::string bytes;
};
EmbeddablePicture embeddablePicture(std::span<const std::uint8_t> bytes);
// The same for a file; raises Error with the reason ("it could not be opened: REASON", ...).
EmbeddablePicture embeddablePictureFile(const std::string& path);

}  // namespace morv
