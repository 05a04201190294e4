#include "support/PictureDecoding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

#include "base/Excn.hpp"

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

}  // namespace morv
