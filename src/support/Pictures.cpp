#include "support/Pictures.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "support/PNGEncoder.hpp"

namespace morv {
namespace {

std::string number(std::uint64_t n) { return std::to_string(n); }

// Little-endian reads over a picture file's bytes; each first checks that its
// bytes are there.
class Cursor {
public:
    Cursor(std::span<const std::uint8_t> bytes, const char* format) : bytes_(bytes), format_(format) {}

    std::size_t remaining() const { return bytes_.size() - pos_; }
    std::span<const std::uint8_t> take(std::uint64_t n, const char* what) {
        if (n > remaining())
            fail(std::string(what) + " at byte " + number(pos_) + " needs " + number(n) + " bytes, but the file has " +
                 number(remaining()) + " left");
        const auto taken = bytes_.subspan(pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return taken;
    }
    std::uint8_t u8(const char* what) { return take(1, what)[0]; }
    std::uint16_t u16(const char* what) {
        const auto b = take(2, what);
        return static_cast<std::uint16_t>(b[0] | b[1] << 8);
    }
    std::uint32_t u32(const char* what) {
        const auto b = take(4, what);
        return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
               static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    }
    void seek(std::uint64_t at, const char* what) {
        if (at > bytes_.size())
            fail(std::string(what) + " starts at byte " + number(at) + ", past the end of the file (" +
                 number(bytes_.size()) + " bytes)");
        pos_ = static_cast<std::size_t>(at);
    }
    [[noreturn]] void fail(const std::string& message) const {
        throw Error(std::string(format_) + " picture: " + message);
    }

private:
    std::span<const std::uint8_t> bytes_;
    const char* format_;
    std::size_t pos_ = 0;
};

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
    if (at + 4 > b.size()) return 0;
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The picture's pixels, allocated once its size has been checked and the
// file is known to hold the fewest bytes of pixel data (dataBytes(width,
// height)) that could give them.
template <class DataBytes>
Picture sizedPicture(const Cursor& c, std::uint64_t width, std::uint64_t height, std::uint32_t channels,
                     DataBytes dataBytes) {
    const std::string size = number(width) + " x " + number(height);
    if (width == 0 || height == 0) c.fail("its size " + size + " has no pixels");
    if (width * height > largestPicturePixels)
        c.fail("its size " + size + " is more than the " + number(largestPicturePixels) + " pixels a picture may have");
    if (dataBytes(width, height) > c.remaining())
        c.fail("its " + size + " pixels need at least " + number(dataBytes(width, height)) +
               " bytes of pixel data, but the file has " + number(c.remaining()) + " left");
    Picture p;
    p.width = static_cast<std::uint32_t>(width);
    p.height = static_cast<std::uint32_t>(height);
    p.channels = channels;
    p.pixels.resize(static_cast<std::size_t>(width * height * channels));
    return p;
}

// Samples in the picture's order, alpha last, from one 8-bit-per-sample colour.
void store(std::uint8_t* out, std::uint32_t channels, std::uint8_t r, std::uint8_t g, std::uint8_t b,
           std::uint8_t a) {
    out[0] = r;
    out[1] = g;
    out[2] = b;
    if (channels == 4) out[3] = a;
}

// ---- BMP ----

struct Masks {
    std::uint32_t red, green, blue, alpha;
};

// The bits of pixel under mask, scaled to 0..255.
std::uint8_t masked(std::uint32_t pixel, std::uint32_t mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const std::uint64_t top = mask >> shift;
    const std::uint64_t value = (pixel & mask) >> shift;
    return static_cast<std::uint8_t>((value * 255 + top / 2) / top);
}

using Palette = std::vector<std::array<std::uint8_t, 3>>;

// The index of pixel x in a row of 1-, 4- or 8-bit indices, the leftmost in the high bits.
std::uint8_t indexAt(const std::uint8_t* row, std::uint64_t x, std::uint32_t bits) {
    const std::uint64_t bit = x * bits;
    const std::uint32_t shift = 8 - bits - static_cast<std::uint32_t>(bit % 8);
    return static_cast<std::uint8_t>((row[bit / 8] >> shift) & ((1u << bits) - 1));
}

void storeIndexed(std::uint8_t* out, const Palette& palette, std::uint32_t index) {
    static constexpr std::array<std::uint8_t, 3> black{};
    const auto& c = index < palette.size() ? palette[index] : black;
    store(out, 3, c[0], c[1], c[2], 255);
}

// RLE8 and RLE4 data into one palette index per pixel, rows from the top.
// Pixels the data skips keep index 0; runs past a row's end are clipped.
std::vector<std::uint8_t> runLengthIndices(Cursor& c, std::uint64_t width, std::uint64_t height,
                                           std::uint32_t bits, bool topDown) {
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(width * height), 0);
    std::uint64_t x = 0, y = 0;  // y counts stored rows
    const auto put = [&](std::uint8_t index) {
        if (x < width && y < height) indices[static_cast<std::size_t>((topDown ? y : height - 1 - y) * width + x)] = index;
        ++x;
    };
    const auto literal = [bits](std::span<const std::uint8_t> data, std::size_t i) {
        if (bits == 8) return data[i];
        return static_cast<std::uint8_t>(i % 2 == 0 ? data[i / 2] >> 4 : data[i / 2] & 15);
    };
    // Data that ends without the end-of-picture mark ends the picture there.
    while (y < height && c.remaining() >= 2) {
        const std::uint8_t count = c.u8("a run-length code"), value = c.u8("a run-length code");
        if (count > 0) {
            // A run of RLE4 alternates the two indices of its byte.
            for (std::size_t i = 0; i < count; ++i)
                put(static_cast<std::uint8_t>(bits == 8 ? value : i % 2 == 0 ? value >> 4 : value & 15));
        } else if (value == 0) {
            x = 0;
            ++y;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            x += c.u8("a run-length move");
            y += c.u8("a run-length move");
        } else {
            const std::size_t bytes = bits == 8 ? value : (value + 1u) / 2;
            const auto data = c.take(bytes, "a run of literal pixels");
            for (std::size_t i = 0; i < value; ++i) put(literal(data, i));
            if (bytes % 2 != 0) c.take(1, "the padding of a run of literal pixels");
        }
    }
    return indices;
}

// ---- Targa ----

// One colour of 15, 16, 24 or 32 bits as stored (blue first; 15 and 16 bits
// as 5 bits per channel with the attribute bit on top).
void storeTargaColour(std::uint8_t* out, std::uint32_t channels, const std::uint8_t* p, std::uint32_t bits) {
    if (bits <= 16) {
        const std::uint32_t v = p[0] | p[1] << 8;
        const auto five = [](std::uint32_t s) { return static_cast<std::uint8_t>((s * 255 + 15) / 31); };
        store(out, channels, five((v >> 10) & 31), five((v >> 5) & 31), five(v & 31), (v >> 15) ? 255 : 0);
    } else {
        store(out, channels, p[2], p[1], p[0], bits == 32 ? p[3] : 255);
    }
}

}  // namespace

Picture decodeBMP(std::span<const std::uint8_t> bytes) {
    Cursor c(bytes, "BMP");
    if (c.u8("the signature") != 'B' || c.u8("the signature") != 'M') c.fail("it does not begin with \"BM\"");
    c.take(8, "the file header");
    const std::uint32_t dataOffset = c.u32("the file header");
    const std::uint32_t infoSize = c.u32("the information header");
    if (infoSize != 12 && infoSize < 16)
        c.fail("its information header of " + number(infoSize) + " bytes is not one of the known forms");
    // The header after its size field; fields it is too short for read as 0.
    const auto info = c.take(infoSize - 4, "the information header");
    std::int64_t width, height;
    std::uint32_t bits, compression = 0, colours = 0;
    std::size_t entryBytes = 4;
    if (infoSize == 12) {  // OS/2: 16-bit sizes, palette entries of three bytes
        width = info[0] | info[1] << 8;
        height = info[2] | info[3] << 8;
        bits = info[6] | info[7] << 8;
        entryBytes = 3;
    } else {
        width = static_cast<std::int32_t>(le32(info, 0));
        height = static_cast<std::int32_t>(le32(info, 4));
        bits = info[10] | info[11] << 8;
        compression = le32(info, 12);
        colours = le32(info, 28);
    }
    const bool topDown = height < 0;
    if (topDown) height = -height;
    if (width < 0) c.fail("its width " + std::to_string(width) + " is negative");

    const bool bitFields = compression == 3 || compression == 6;
    const bool known = (compression == 0 && (bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
                                             bits == 32)) ||
                       (compression == 1 && bits == 8) || (compression == 2 && bits == 4) ||
                       (bitFields && (bits == 16 || bits == 32));
    if (!known)
        c.fail(number(bits) + "-bit pixels with compression " + number(compression) +
               " are not a form this program reads (1, 4, 8, 16, 24 or 32 bits uncompressed, RLE8, RLE4 or bit fields)");

    Masks masks = bits == 16 ? Masks{0x7C00, 0x03E0, 0x001F, 0} : Masks{0xFF0000, 0xFF00, 0xFF, 0};
    if (bitFields) {
        // Masks follow a 40-byte header; headers from 52 bytes hold them (the
        // 64-byte OS/2 header's compression 3 is another code).
        if (infoSize != 40 && (infoSize < 52 || infoSize == 64))
            c.fail("its bit masks do not fit its information header of " + number(infoSize) + " bytes");
        const auto m = infoSize == 40 ? c.take(compression == 6 ? 16 : 12, "the bit masks") : info.subspan(36);
        masks = {le32(m, 0), le32(m, 4), le32(m, 8), le32(m, 12)};
    }
    Palette palette;
    if (bits <= 8) {
        const std::uint32_t most = 1u << bits;
        const std::uint32_t count = colours == 0 || colours > most ? most : colours;
        const auto entries = c.take(std::uint64_t{count} * entryBytes, "the palette");
        for (std::size_t i = 0; i < count; ++i)
            palette.push_back({entries[i * entryBytes + 2], entries[i * entryBytes + 1], entries[i * entryBytes]});
    }
    c.seek(dataOffset, "the pixel data");

    // Run-length data may end the picture at any point.
    const bool runLength = compression == 1 || compression == 2;
    Picture p = sizedPicture(c, static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                             bitFields && masks.alpha != 0 ? 4 : 3, [&](std::uint64_t w, std::uint64_t h) {
                                 return runLength ? 0 : (w * bits + 31) / 32 * 4 * h;
                             });
    const std::uint64_t w = p.width, h = p.height;
    if (runLength) {
        const auto indices = runLengthIndices(c, w, h, bits, topDown);
        for (std::size_t i = 0; i < indices.size(); ++i) storeIndexed(&p.pixels[i * 3], palette, indices[i]);
        return p;
    }
    const std::uint64_t stride = (w * bits + 31) / 32 * 4;
    const auto data = c.take(stride * h, "the pixel data");
    for (std::uint64_t r = 0; r < h; ++r) {
        const std::uint8_t* row = data.data() + r * stride;
        std::uint8_t* out = &p.pixels[static_cast<std::size_t>((topDown ? r : h - 1 - r) * w * p.channels)];
        for (std::uint64_t x = 0; x < w; ++x, out += p.channels) {
            if (bits <= 8) {
                storeIndexed(out, palette, indexAt(row, x, bits));
            } else if (bits == 24) {
                store(out, 3, row[3 * x + 2], row[3 * x + 1], row[3 * x], 255);
            } else {
                const std::uint8_t* q = row + x * (bits / 8);
                const std::uint32_t v = bits == 16 ? q[0] | q[1] << 8 : le32({q, 4}, 0);
                store(out, p.channels, masked(v, masks.red), masked(v, masks.green), masked(v, masks.blue),
                      masked(v, masks.alpha));
            }
        }
    }
    return p;
}

Picture decodeTarga(std::span<const std::uint8_t> bytes) {
    Cursor c(bytes, "Targa");
    const std::uint8_t idLength = c.u8("the header"), mapType = c.u8("the header"), type = c.u8("the header");
    const std::uint16_t mapFirst = c.u16("the header"), mapLength = c.u16("the header");
    const std::uint8_t mapBits = c.u8("the header");
    c.take(4, "the header");  // the picture's position on a screen
    const std::uint16_t width = c.u16("the header"), height = c.u16("the header");
    const std::uint8_t bits = c.u8("the header"), descriptor = c.u8("the header");

    const std::uint32_t kind = type & 7;  // 1 colour-mapped, 2 true colour, 3 grey; +8 run-length
    if ((type & ~8u) < 1 || (type & ~8u) > 3)
        c.fail("its image type " + number(type) + " is not one this program reads (1, 2, 3, 9, 10 or 11)");
    if (mapType > 1) c.fail("its colour-map type " + number(mapType) + " is neither 0 nor 1");
    if (kind == 1 && mapType != 1) c.fail("it is colour-mapped but has no colour map");
    const bool bitsFit = kind == 1 ? bits == 8 || bits == 16
                       : kind == 2 ? bits == 15 || bits == 16 || bits == 24 || bits == 32
                                   : bits == 8 || bits == 16;
    if (!bitsFit) c.fail(number(bits) + "-bit pixels do not fit its image type " + number(type));
    c.take(idLength, "the identification field");
    std::span<const std::uint8_t> map;
    const std::uint32_t entryBytes = (mapBits + 7u) / 8;
    if (mapType == 1) {
        if (mapBits != 15 && mapBits != 16 && mapBits != 24 && mapBits != 32)
            c.fail("its colour-map entries of " + number(mapBits) + " bits are not 15, 16, 24 or 32 bits");
        map = c.take(std::uint64_t{mapLength} * entryBytes, "the colour map");
    }

    const bool alpha = (descriptor & 15) != 0;
    const std::uint32_t colourBits = kind == 1 ? mapBits : bits;
    const std::uint32_t channels = kind == 3 ? bits / 8 : alpha && (colourBits == 16 || colourBits == 32) ? 4 : 3;
    const std::uint32_t pixelBytes = (bits + 7u) / 8;
    // A run-length packet holds 128 pixels at most.
    Picture p = sizedPicture(c, width, height, channels, [&](std::uint64_t w, std::uint64_t h) {
        return type < 9 ? w * h * pixelBytes : (w * h + 127) / 128 * (1 + pixelBytes);
    });
    const auto convert = [&](const std::uint8_t* q, std::uint8_t* out) {
        if (kind == 3) {
            std::copy(q, q + channels, out);
        } else if (kind == 2) {
            storeTargaColour(out, channels, q, bits);
        } else {
            const std::uint32_t index = q[0] | (bits == 16 ? q[1] << 8 : 0);
            if (index >= mapFirst && index - mapFirst < mapLength)
                storeTargaColour(out, channels, &map[(index - mapFirst) * entryBytes], mapBits);
            else
                store(out, channels, 0, 0, 0, 255);
        }
    };
    // Pixels come row by row from the picture's origin corner.
    const std::uint64_t w = width, h = height, total = w * h;
    const bool fromTop = (descriptor & 0x20) != 0, fromRight = (descriptor & 0x10) != 0;
    const auto place = [&](std::uint64_t i) {
        const std::uint64_t row = i / w, column = i % w;
        const std::uint64_t y = fromTop ? row : h - 1 - row, x = fromRight ? w - 1 - column : column;
        return &p.pixels[static_cast<std::size_t>((y * w + x) * channels)];
    };
    if (type < 9) {
        const auto data = c.take(total * pixelBytes, "the pixel data");
        for (std::uint64_t i = 0; i < total; ++i) convert(&data[static_cast<std::size_t>(i * pixelBytes)], place(i));
        return p;
    }
    std::array<std::uint8_t, 4> repeated{};
    for (std::uint64_t i = 0; i < total;) {
        const std::uint8_t header = c.u8("a run-length packet");
        const std::uint64_t count = std::min<std::uint64_t>((header & 127u) + 1, total - i);
        if (header & 128) {
            convert(c.take(pixelBytes, "a run-length packet").data(), repeated.data());
            for (std::uint64_t k = 0; k < count; ++k, ++i) std::copy_n(repeated.data(), channels, place(i));
        } else {
            const auto data = c.take(count * pixelBytes, "a run-length packet");
            for (std::uint64_t k = 0; k < count; ++k, ++i) convert(&data[static_cast<std::size_t>(k * pixelBytes)], place(i));
        }
    }
    return p;
}


// ---- Formats ----

namespace {

using Bytes = std::span<const std::uint8_t>;

bool startsWith(Bytes bytes, std::string_view magic, std::size_t at = 0) {
    return bytes.size() >= at + magic.size() &&
           std::equal(magic.begin(), magic.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

std::uint32_t be16(Bytes b, std::size_t at) { return static_cast<std::uint32_t>(b[at]) << 8 | b[at + 1]; }
std::uint32_t be32(Bytes b, std::size_t at) { return be16(b, at) << 16 | be16(b, at + 2); }
std::uint32_t le16(Bytes b, std::size_t at) { return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8; }

bool targaKnown(unsigned colourMapType, unsigned imageType) {
    if (colourMapType == 1) return imageType == 1 || imageType == 2 || imageType == 9 || imageType == 10;
    return imageType == 2 || imageType == 10;
}

}  // namespace

const char* pictureFormatName(PictureFormat format) {
    static constexpr const char* names[] = {"unknown", "BMP", "Targa", "PNG", "JPEG", "GIF", "ILBM"};
    return names[static_cast<int>(format)];
}

PictureFormat pictureFormat(Bytes bytes) {
    if (startsWith(bytes, "BM")) return PictureFormat::BMP;
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) return PictureFormat::PNG;
    if (startsWith(bytes, "\xFF\xD8\xFF")) return PictureFormat::JPEG;
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) return PictureFormat::GIF;
    if (startsWith(bytes, "FORM") && startsWith(bytes, "ILBM", 8)) return PictureFormat::ILBM;
    if (bytes.size() >= 3 && targaKnown(bytes[1], bytes[2])) return PictureFormat::Targa;
    return PictureFormat::Unknown;
}

// ---- Sizes ----

namespace {

constexpr std::int64_t kMaxBMPSide = 65535;

ImageProbe readError(PictureFormat format, std::string cause) {
    ImageProbe p;
    p.status = ImageProbeStatus::ReadError;
    p.format = format;
    p.cause = std::move(cause);
    return p;
}

ImageProbe sized(PictureFormat format, std::int64_t width, std::int64_t height, std::int64_t max) {
    ImageProbe p;
    p.format = format;
    if (width <= 0 || height <= 0 || width > max || height > max) return p;  // NotImage
    p.status = ImageProbeStatus::Read;
    p.width = static_cast<int>(width);
    p.height = static_cast<int>(height);
    return p;
}

// The BMP file header (14 bytes) and the first 12 bytes of the information header.
ImageProbe bmpSize(Bytes b) {
    const std::size_t n = b.size();
    if (n < 14) return readError(PictureFormat::BMP, "Could not read BMP header bytes");
    if (n < 18) return readError(PictureFormat::BMP, "Could not get 4 bytes");
    const std::uint32_t infoSize = le32(b, 14);
    if (infoSize == 12) {  // OS/2 core header: unsigned 16-bit sizes
        if (n < 22) return readError(PictureFormat::BMP, "Could not get 2 bytes");
        return sized(PictureFormat::BMP, le16(b, 18), le16(b, 20), kMaxBMPSide);
    }
    if (infoSize < 16) return ImageProbe{};  // no known information header
    if (n < 26) return readError(PictureFormat::BMP, "Could not get 4 bytes");
    const std::int64_t height = static_cast<std::int32_t>(le32(b, 22));
    // A negative height marks rows stored top down; the size is its magnitude.
    return sized(PictureFormat::BMP, static_cast<std::int32_t>(le32(b, 18)), height < 0 ? -height : height,
                 kMaxBMPSide);
}

ImageProbe targaSize(Bytes b) {
    // Bytes 3..11: colour-map layout and image origin, skipped.
    if (b.size() < 12) return readError(PictureFormat::Targa, "Could not get 9 bytes");
    if (b.size() < 16) return readError(PictureFormat::Targa, "Could not get 2 bytes");
    return sized(PictureFormat::Targa, le16(b, 12), le16(b, 14), 65535);
}

// The signature, then IHDR: its length (13), its type, width and height.
ImageProbe pngSize(Bytes b) {
    if (b.size() < 24) return readError(PictureFormat::PNG, "its IHDR chunk is cut short");
    if (!startsWith(b, "IHDR", 12) || be32(b, 8) != 13)
        return readError(PictureFormat::PNG, "it does not begin with an IHDR chunk of 13 bytes");
    return sized(PictureFormat::PNG, be32(b, 16), be32(b, 20), std::numeric_limits<std::int32_t>::max());
}

bool startOfFrame(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Segments from the start-of-image marker on, each checked against the bytes,
// up to the first start-of-frame: its height and width, and its marker.
ImageProbe jpegSize(Bytes b, std::uint8_t* frameMarker = nullptr) {
    std::size_t at = 2;
    for (;;) {
        if (at >= b.size()) return readError(PictureFormat::JPEG, "it ends before its frame header");
        if (b[at] != 0xFF)
            return readError(PictureFormat::JPEG, "byte " + number(at) + " is not the start of a marker");
        while (at < b.size() && b[at] == 0xFF) ++at;  // fill bytes
        if (at >= b.size()) return readError(PictureFormat::JPEG, "it ends before its frame header");
        const std::uint8_t marker = b[at++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // markers without a segment
        if (marker == 0xD9 || marker == 0xDA)
            return readError(PictureFormat::JPEG, "its image data begins before a frame header");
        if (at + 2 > b.size()) return readError(PictureFormat::JPEG, "a segment at byte " + number(at) + " is cut short");
        const std::size_t length = be16(b, at);
        if (length < 2 || at + length > b.size())
            return readError(PictureFormat::JPEG, "the segment at byte " + number(at) + " of " + number(length) +
                                                      " bytes does not fit the file");
        if (startOfFrame(marker)) {
            if (length < 8) return readError(PictureFormat::JPEG, "its frame header is cut short");
            if (frameMarker) *frameMarker = marker;
            return sized(PictureFormat::JPEG, be16(b, at + 5), be16(b, at + 3), 65535);
        }
        at += length;
    }
}

ImageProbe gifSize(Bytes b) {
    if (b.size() < 10) return readError(PictureFormat::GIF, "its logical screen is cut short");
    return sized(PictureFormat::GIF, le16(b, 6), le16(b, 8), 65535);
}

// ---- ILBM chunks ----

struct IlbmChunks {
    std::uint32_t width = 0, height = 0, planes = 0, masking = 0, compression = 0, camg = 0;
    bool header = false;
    Bytes cmap, body;
};

// The chunks of the FORM, each checked against the FORM and the bytes. With
// untilHeader the walk ends at BMHD (enough for the size).
IlbmChunks ilbmChunks(Bytes b, bool untilHeader) {
    Cursor c(b, "ILBM");
    c.take(4, "the FORM header");
    const std::uint64_t formEnd = std::uint64_t{be32(c.take(4, "the FORM header"), 0)} + 8;
    c.take(4, "the FORM type");
    IlbmChunks found;
    while (b.size() - c.remaining() + 8 <= formEnd && c.remaining() >= 8) {
        const auto head = c.take(8, "a chunk header");
        const std::uint32_t length = be32(head, 4);
        const std::size_t at = b.size() - c.remaining();
        if (at + std::uint64_t{length} > formEnd)
            c.fail("the chunk at byte " + number(at - 8) + " of " + number(length) + " bytes runs past its FORM");
        const auto data = c.take(length, "a chunk");
        if (length % 2 && c.remaining() > 0) c.take(1, "a chunk's pad byte");
        if (startsWith(head, "BMHD")) {
            if (length < 20) c.fail("its BMHD chunk of " + number(length) + " bytes is shorter than 20 bytes");
            found.width = be16(data, 0);
            found.height = be16(data, 2);
            found.planes = data[8];
            found.masking = data[9];
            found.compression = data[10];
            found.header = true;
            if (untilHeader) return found;
        } else if (startsWith(head, "CMAP")) {
            found.cmap = data;
        } else if (startsWith(head, "CAMG") && length >= 4) {
            found.camg = be32(data, 0);
        } else if (startsWith(head, "BODY")) {
            found.body = data;
        }
    }
    if (!found.header) c.fail("it has no BMHD chunk");
    return found;
}

ImageProbe ilbmSize(Bytes b) {
    try {
        const IlbmChunks chunks = ilbmChunks(b, true);
        return sized(PictureFormat::ILBM, chunks.width, chunks.height, 65535);
    } catch (const Error& e) {
        return readError(PictureFormat::ILBM, e.message());
    }
}

}  // namespace

ImageProbe probeImageBytes(Bytes bytes) {
    switch (pictureFormat(bytes)) {
        case PictureFormat::BMP: return bmpSize(bytes);
        case PictureFormat::Targa: return targaSize(bytes);
        case PictureFormat::PNG: return pngSize(bytes);
        case PictureFormat::JPEG: return jpegSize(bytes);
        case PictureFormat::GIF: return gifSize(bytes);
        case PictureFormat::ILBM: return ilbmSize(bytes);
        case PictureFormat::Unknown: break;
    }
    return ImageProbe{};
}

// ---- ILBM pixels ----

namespace {

constexpr std::uint32_t camgHalfBright = 0x80, camgHoldAndModify = 0x800;

// The BODY as plain rows of planes (and the mask plane), ByteRun1 unpacked.
std::vector<std::uint8_t> ilbmRows(const Cursor& c, Bytes body, std::uint32_t compression, std::uint64_t total) {
    if (compression > 1) c.fail("its compression " + number(compression) + " is neither 0 (none) nor 1 (ByteRun1)");
    // ByteRun1 gives at most 128 bytes for 2.
    const std::uint64_t fewest = compression == 0 ? total : (total + 127) / 128 * 2;
    if (body.size() < fewest)
        c.fail("its BODY of " + number(body.size()) + " bytes is too short for " + number(total) + " bytes of rows");
    if (compression == 0) return {body.begin(), body.begin() + static_cast<std::ptrdiff_t>(total)};
    std::vector<std::uint8_t> rows;
    rows.reserve(static_cast<std::size_t>(total));
    std::size_t at = 0;
    while (rows.size() < total) {
        if (at >= body.size()) c.fail("its BODY ends after " + number(rows.size()) + " of " + number(total) + " bytes");
        const auto n = static_cast<std::int8_t>(body[at++]);
        const std::size_t room = static_cast<std::size_t>(total) - rows.size();
        if (n >= 0) {
            const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(n) + 1, room);
            if (body.size() - at < count) c.fail("a literal run at byte " + number(at - 1) + " of its BODY is cut short");
            rows.insert(rows.end(), body.begin() + static_cast<std::ptrdiff_t>(at),
                        body.begin() + static_cast<std::ptrdiff_t>(at + count));
            at += static_cast<std::size_t>(n) + 1;
        } else if (n != -128) {
            if (at >= body.size()) c.fail("a repeat run at byte " + number(at - 1) + " of its BODY is cut short");
            rows.insert(rows.end(), std::min<std::size_t>(static_cast<std::size_t>(1 - n), room), body[at++]);
        }
    }
    return rows;
}

// The colours an index of planes bits can take: CMAP's, then for extra
// half-bright the first 32 at half their brightness; black beyond.
Palette ilbmPalette(Bytes cmap, std::uint32_t planes, bool halfBright) {
    Palette palette(std::size_t{1} << planes, {0, 0, 0});
    const std::size_t given = std::min(palette.size(), cmap.size() / 3);
    for (std::size_t i = 0; i < given; ++i) palette[i] = {cmap[3 * i], cmap[3 * i + 1], cmap[3 * i + 2]};
    if (halfBright && planes == 6)
        for (std::size_t i = std::max<std::size_t>(given, 32); i < 64; ++i)
            for (int k = 0; k < 3; ++k) palette[i][k] = static_cast<std::uint8_t>(palette[i - 32][k] >> 1);
    return palette;
}

// One row's values: bit b of pixel x from plane b (plane 0 the lowest bit).
void gatherRow(const std::uint8_t* row, std::uint64_t rowBytes, std::uint32_t planes, std::uint64_t width,
               std::vector<std::uint32_t>& values) {
    for (std::uint64_t x = 0; x < width; ++x) {
        std::uint32_t v = 0;
        const std::uint8_t bit = static_cast<std::uint8_t>(0x80 >> (x % 8));
        for (std::uint32_t p = 0; p < planes; ++p)
            if (row[p * rowBytes + x / 8] & bit) v |= 1u << p;
        values[static_cast<std::size_t>(x)] = v;
    }
}

// Hold-and-modify: the two top bits keep the colour on the left and change
// one component (blue, red, green), or take a CMAP entry.
void holdAndModify(const std::vector<std::uint32_t>& values, std::uint32_t planes, const Palette& palette,
                   std::uint8_t* out) {
    const std::uint32_t dataBits = planes - 2, dataMask = (1u << dataBits) - 1;
    std::array<std::uint8_t, 3> colour = palette[0];
    for (std::uint32_t v : values) {
        const std::uint32_t control = v >> dataBits, data = v & dataMask;
        // The data bits become the component's top bits, repeated into the low ones.
        const auto level = static_cast<std::uint8_t>(dataBits == 4 ? data * 17 : data << 2 | data >> 4);
        if (control == 0) colour = palette[data];
        else colour[control == 1 ? 2 : control == 2 ? 0 : 1] = level;
        out = std::copy(colour.begin(), colour.end(), out);
    }
}

}  // namespace

Picture decodeILBM(Bytes bytes) {
    const IlbmChunks ilbm = ilbmChunks(bytes, false);
    Cursor c(ilbm.body, "ILBM");
    const std::uint32_t planes = ilbm.planes;
    const bool ham = (ilbm.camg & camgHoldAndModify) != 0;
    if (!(planes >= 1 && planes <= 8) && planes != 24 && planes != 32)
        c.fail("its " + number(planes) + " planes are not a form this program reads (1 to 8, 24 or 32)");
    if (ham && planes != 6 && planes != 8) c.fail("hold-and-modify with " + number(planes) + " planes is not HAM6 or HAM8");
    if (planes <= 8 && ilbm.cmap.empty()) c.fail("its " + number(planes) + " planes have no colour map (CMAP)");
    if (ilbm.body.empty()) c.fail("it has no BODY chunk");
    const std::uint64_t rowBytes = (std::uint64_t{ilbm.width} + 15) / 16 * 2;
    const std::uint64_t lineBytes = rowBytes * (planes + (ilbm.masking == 1 ? 1 : 0));
    Picture p = sizedPicture(c, ilbm.width, ilbm.height, planes == 32 ? 4 : 3,
                             [](std::uint64_t, std::uint64_t) { return std::uint64_t{0}; });
    const std::vector<std::uint8_t> rows = ilbmRows(c, ilbm.body, ilbm.compression, lineBytes * p.height);
    const Palette palette = planes <= 8 ? ilbmPalette(ilbm.cmap, planes, (ilbm.camg & camgHalfBright) != 0) : Palette{};
    std::vector<std::uint32_t> values(p.width);
    for (std::uint64_t y = 0; y < p.height; ++y) {
        gatherRow(&rows[static_cast<std::size_t>(y * lineBytes)], rowBytes, planes, p.width, values);
        std::uint8_t* out = &p.pixels[static_cast<std::size_t>(y * p.width * p.channels)];
        if (ham) {
            holdAndModify(values, planes, palette, out);
            continue;
        }
        for (std::uint32_t v : values) {
            if (planes <= 8) out = std::copy(palette[v].begin(), palette[v].end(), out);
            else for (std::uint32_t k = 0; k < p.channels; ++k) *out++ = static_cast<std::uint8_t>(v >> (8 * k));
        }
    }
    return p;
}

// ---- PNG and JPEG pixels ----

namespace {

void checkSize(const char* format, std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0 || width * height > largestPicturePixels)
        throw Error(std::string(format) + " picture: its size " + number(width) + " x " + number(height) +
                    " is not one a picture may have (at most " + number(largestPicturePixels) + " pixels)");
}

// libjpeg's error handling: a failure jumps back to decodeJPEG, every message
// is kept instead of printed, and a warning that the data ended early or is
// damaged also counts as a failure (libjpeg would show grey there). Warnings
// that lose nothing (extra bytes between segments, unknown versions) do not.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
    bool warned;
};

void jpegFail(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    info->err->format_message(info, errors->message);
    std::longjmp(errors->back, 1);
}

void jpegMessage(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    if (level >= 0 || errors->warned) return;  // trace messages, and warnings after the first
    static constexpr int damage[] = {JWRN_JPEG_EOF, JWRN_HIT_MARKER, JWRN_HUFF_BAD_CODE, JWRN_ARITH_BAD_CODE,
                                     JWRN_MUST_RESYNC, JWRN_BOGUS_PROGRESSION, JWRN_NOT_SEQUENTIAL};
    if (std::find(std::begin(damage), std::end(damage), info->err->msg_code) == std::end(damage)) return;
    info->err->format_message(info, errors->message);
    errors->warned = true;
}

void jpegSilent(j_common_ptr) {}

// CMYK as Adobe stores it (inverted) and as others do, to RGB.
void cmykToRgb(std::vector<std::uint8_t>& pixels, bool inverted) {
    const std::size_t count = pixels.size() / 4;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* q = &pixels[4 * i];
        const unsigned k = inverted ? q[3] : 255u - q[3];
        for (int s = 0; s < 3; ++s) {
            const unsigned v = inverted ? q[s] : 255u - q[s];
            pixels[3 * i + s] = static_cast<std::uint8_t>((v * k + 127) / 255);
        }
    }
    pixels.resize(count * 3);
}

// Only plain data and libjpeg's own state live across the jump back.
bool jpegDecode(Bytes bytes, jpeg_decompress_struct& info, JpegErrors& errors, Picture& p, bool& asIs) {
    if (setjmp(errors.back)) return false;
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    std::uint8_t frame = 0;  // SOF0 baseline, SOF2 progressive
    jpegSize(bytes, &frame);
    asIs = (frame == 0xC0 || frame == 0xC2) && (info.num_components == 1 || info.num_components == 3);
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    checkSize("JPEG", info.image_width, info.image_height);
    jpeg_start_decompress(&info);
    const std::size_t stride = std::size_t{info.output_width} * static_cast<std::size_t>(info.output_components);
    p.width = info.output_width;
    p.height = info.output_height;
    p.channels = cmyk ? 4 : static_cast<std::uint32_t>(info.output_components);
    p.pixels.resize(stride * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &p.pixels[stride * info.output_scanline];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    if (cmyk) {
        cmykToRgb(p.pixels, info.saw_Adobe_marker);
        p.channels = 3;
    }
    return !errors.warned;
}

// The pixels, and whether the file is a JPEG glTF allows as it is.
std::pair<Picture, bool> readJPEG(Bytes bytes) {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFail;
    errors.manager.emit_message = jpegMessage;
    errors.manager.output_message = jpegSilent;
    Picture p;
    bool asIs = false;
    bool decoded = false;
    try {
        decoded = jpegDecode(bytes, info, errors, p, asIs);
    } catch (...) {  // a size beyond the limit, or memory
        jpeg_destroy_decompress(&info);
        throw;
    }
    jpeg_destroy_decompress(&info);
    if (!decoded) {
        const std::string why = errors.message[0] ? errors.message : "it is damaged";
        throw Error("JPEG picture: " + why);
    }
    return {std::move(p), asIs};
}

}  // namespace

Picture decodeJPEG(Bytes bytes) { return readJPEG(bytes).first; }

Picture decodePNG(Bytes bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        throw Error(std::string("PNG picture: ") + image.message);
    const bool alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0, colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    image.format = colour ? (alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB) : (alpha ? PNG_FORMAT_GA : PNG_FORMAT_GRAY);
    try {
        checkSize("PNG", image.width, image.height);
    } catch (const Error&) {
        png_image_free(&image);
        throw;
    }
    Picture p;
    p.width = image.width;
    p.height = image.height;
    p.channels = PNG_IMAGE_PIXEL_CHANNELS(image.format);
    p.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.pixels.data(), 0, nullptr))
        throw Error(std::string("PNG picture: ") + image.message);
    return p;
}

Picture decodePicture(Bytes bytes) {
    switch (pictureFormat(bytes)) {
        case PictureFormat::BMP: return decodeBMP(bytes);
        case PictureFormat::Targa: return decodeTarga(bytes);
        case PictureFormat::PNG: return decodePNG(bytes);
        case PictureFormat::JPEG: return decodeJPEG(bytes);
        case PictureFormat::ILBM: return decodeILBM(bytes);
        case PictureFormat::GIF: throw Error("it is a GIF picture, which this program does not decode");
        case PictureFormat::Unknown: break;
    }
    // Neither signature nor Targa header: the Targa reader says why.
    try {
        return decodeTarga(bytes);
    } catch (const Error& e) {
        throw Error("it is neither a PNG, JPEG, BMP or ILBM picture nor a Targa picture this program reads (" +
                    e.message() + ")");
    }
}

EmbeddablePicture embeddablePicture(Bytes bytes) {
    const PictureFormat format = pictureFormat(bytes);
    if (format == PictureFormat::PNG) {
        decodePNG(bytes);  // raises when it does not decode whole
        return {"image/png", std::string(bytes.begin(), bytes.end())};
    }
    if (format == PictureFormat::JPEG) {
        auto [picture, asIs] = readJPEG(bytes);
        if (asIs) return {"image/jpeg", std::string(bytes.begin(), bytes.end())};
        return {"image/png", encodePNG(picture)};
    }
    return {"image/png", encodePNG(decodePicture(bytes))};
}

// ---- Files ----

namespace {

constexpr std::uint64_t largestPictureFile = std::uint64_t{1} << 30;
constexpr std::size_t headerBytes = 64 * 1024;

// The file's first limit bytes; raises Error with the system's reason.
std::vector<std::uint8_t> readPictureFile(const std::string& path, std::uint64_t limit, std::uint64_t* fileSize) {
    // A directory or pipe is refused before it is opened (opening a pipe would wait for a writer).
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw Error(std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw Error(std::strerror(EISDIR));
    if (!S_ISREG(info.st_mode)) throw Error("Not a regular file");
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) throw Error(std::strerror(errno));
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    if (fileSize) *fileSize = size;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(size, limit)));
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) throw Error(std::strerror(error));
    bytes.resize(got);
    return bytes;
}

}  // namespace

EmbeddablePicture embeddablePictureFile(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;
    try {
        bytes = readPictureFile(path, largestPictureFile + 1, &size);
    } catch (const Error& e) {
        throw Error("it could not be opened: " + e.message());
    }
    if (size > largestPictureFile) throw Error("it is larger than the 1 GB a picture may have");
    return embeddablePicture(bytes);
}

ImageProbe probeImage(const std::string& platformName) {
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;
    try {
        bytes = readPictureFile(platformName, headerBytes, &size);
    } catch (const Error& e) {
        ImageProbe p;
        p.status = ImageProbeStatus::CannotOpen;
        p.cause = e.message();
        return p;
    }
    ImageProbe p = probeImageBytes(bytes);
    // A JPEG or ILBM header further on: the whole file.
    if (p.status == ImageProbeStatus::ReadError && bytes.size() < size && size <= largestPictureFile &&
        (p.format == PictureFormat::JPEG || p.format == PictureFormat::ILBM)) {
        try {
            p = probeImageBytes(readPictureFile(platformName, largestPictureFile, nullptr));
        } catch (const Error& e) {
            p = readError(p.format, e.message());
        }
    }
    return p;
}

std::optional<std::pair<int, int>> probeImageFile(const std::string& platformName) {
    const ImageProbe p = probeImage(platformName);
    if (p.status != ImageProbeStatus::Read) return std::nullopt;
    return std::pair<int, int>(p.width, p.height);
}

MorvLValue makeImageResolution(double w, double h) {
    try {
        return MorvLValue::Record({Field{"w", MorvLValue::Real(w)}, Field{"h", MorvLValue::Real(h)}});
    } catch (const std::exception& e) {
        throw Error(exceptionName(e) + " in function ImageResolutions.makeImageResolution");
    }
}

MorvLValue resolutionForImage(const std::string& platformName, double defaultW, double defaultH,
                              bool force, std::ostream& out) {
    if (force) return makeImageResolution(defaultW, defaultH);

    const ImageProbe p = probeImage(platformName);
    const std::string shown = printableBytes(platformName);  // a name from a file may hold any byte
    std::string text;
    switch (p.status) {
        case ImageProbeStatus::Read: {
            const double w = p.width, h = p.height;
            text = "Using pixel resolution ";
            appendReal(text, w);
            text += 'x';
            appendReal(text, h);
            text += " for the image file " + shown + "\n";
            out << text;
            return makeImageResolution(w, h);
        }
        case ImageProbeStatus::CannotOpen:
            text = "Could not open file " + shown + ": " + p.cause + "\n";
            break;
        case ImageProbeStatus::ReadError:
            Excn::reportingStream() << Excn::compose(std::string("Error: Could not read ") +
                                                         pictureFormatName(p.format) + " image file " + shown + "\n",
                                                     Error(p.cause))
                                    << '\n';
            break;
        case ImageProbeStatus::NotImage:
            break;
    }
    text += "Warning: Could not get resolution of the image file \"" + shown + "\"\n";
    out << text;
    return makeImageResolution(defaultW, defaultH);
}

}  // namespace morv
