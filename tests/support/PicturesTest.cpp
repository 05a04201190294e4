// Pictures of every format made by our own code: the size each header gives,
// whether and how it is embedded, ILBM pixel for pixel; damaged headers.
#include "support/Pictures.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/Excn.hpp"
#include "common/PictureFixtures.hpp"
#include "support/PNGEncoder.hpp"

namespace morv {
namespace {

using Colour = std::array<std::uint8_t, 3>;
using testing::Ilbm;

std::span<const std::uint8_t> span(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

std::string png(std::uint32_t w, std::uint32_t h, std::uint32_t channels) {
    std::vector<std::uint8_t> pixels(std::size_t{w} * h * channels);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 31);
    return encodePNG(Picture{w, h, channels, pixels});
}

std::string cut(std::string s, std::size_t n) { return s.substr(0, n); }
std::string damaged(std::string s, std::size_t at) { return s.replace(at, 1, 1, static_cast<char>(s.at(at) ^ 0x55)); }

const std::vector<Colour> palette32 = [](std::vector<Colour> p) {
    for (int i = 0; i < 32; ++i) p.push_back({std::uint8_t(i * 8), std::uint8_t(255 - i * 8), std::uint8_t(i * 5 + 40)});
    return p;
}({});
std::uint32_t pattern(std::uint32_t x, std::uint32_t y) { return (x * 7 + y * 3) & 31; }

struct PictureCase {
    const char* name;
    std::string bytes;
    PictureFormat format;
    int width, height;
    const char* embeddedAs;  // mime type; nullptr: not embedded
    std::function<std::vector<std::uint8_t>(std::uint32_t, std::uint32_t)> pixel = {};  // expected ILBM pixels
};

std::vector<std::uint8_t> fromPalette(std::uint32_t x, std::uint32_t y) {
    const Colour c = palette32[pattern(x, y)];
    return {c[0], c[1], c[2]};
}

TEST(Pictures, EveryFormatGivesItsSizeAndEmbedsOnlyWhatViewersOpen) {
    const std::string jpeg = testing::jpegPicture(40, 20, 3);
    const std::string pngRgb = png(300, 2, 3);
    const auto ilbm = [](Ilbm i) { return testing::ilbmPicture(i); };
    const Ilbm indexed{37, 5, 5, false, false, 0, palette32, pattern};
    Ilbm rle = indexed, masked = indexed, ehb = indexed, ham6 = indexed, ham8 = indexed;
    rle.byteRun1 = true;
    masked.maskPlane = true;
    ehb.planes = 6, ehb.camg = 0x80, ehb.value = [](std::uint32_t x, std::uint32_t y) { return pattern(x, y) | (y & 1) << 5; };
    // Hold-and-modify: a CMAP colour, then red, green and blue changed in turn.
    ham6.planes = 6, ham6.camg = 0x800, ham6.width = 4, ham6.value = [](std::uint32_t x, std::uint32_t) { return std::array<std::uint32_t, 4>{0x03, 0x2F, 0x38, 0x10}[x]; };
    ham8 = ham6, ham8.planes = 8, ham8.value = [](std::uint32_t x, std::uint32_t) { return std::array<std::uint32_t, 4>{0x03, 0xBF, 0xE0, 0x41}[x]; };
    const Ilbm rgb{19, 3, 24, true, false, 0, {}, [](std::uint32_t x, std::uint32_t y) { return x * 0x010203u + y * 0x300000u; }};
    Ilbm rgba = rgb, nine = indexed, noMap = indexed;
    rgba.planes = 32, rgba.byteRun1 = false, rgba.value = [](std::uint32_t x, std::uint32_t y) { return 0x80000000u | x << 16 | y; };
    nine.planes = 9, noMap.cmap.clear();
    std::string packed = ilbm(rle);
    packed[20 + 10] = 2;  // BMHD's compression: an unknown code
    const auto half = [](std::uint32_t x, std::uint32_t y) {
        const std::uint32_t v = pattern(x, y) | (y & 1) << 5;
        const Colour c = palette32[v & 31];
        const int s = v >= 32 ? 1 : 0;
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(c[0] >> s), static_cast<std::uint8_t>(c[1] >> s), static_cast<std::uint8_t>(c[2] >> s)};
    };
    const auto hamPixels = [](std::vector<std::vector<std::uint8_t>> row) {
        return [row](std::uint32_t x, std::uint32_t) { return row[x]; };
    };
    const Colour c3 = palette32[3];
    const PictureCase cases[] = {
        {"PNG grey and alpha", png(5, 3, 2), PictureFormat::PNG, 5, 3, "image/png"},
        {"PNG colour", pngRgb, PictureFormat::PNG, 300, 2, "image/png"},
        {"PNG cut short", cut(pngRgb, pngRgb.size() - 20), PictureFormat::PNG, 300, 2, nullptr},
        {"PNG with a damaged chunk", damaged(pngRgb, 45), PictureFormat::PNG, 300, 2, nullptr},
        {"JPEG colour", jpeg, PictureFormat::JPEG, 40, 20, "image/jpeg"},
        {"JPEG grey progressive", testing::jpegPicture(1024, 256, 1, true), PictureFormat::JPEG, 1024, 256, "image/jpeg"},
        {"JPEG CMYK", testing::jpegPicture(9, 7, 4), PictureFormat::JPEG, 9, 7, "image/png"},
        {"JPEG cut short", cut(jpeg, jpeg.size() / 2), PictureFormat::JPEG, 40, 20, nullptr},
        {"GIF", testing::gifHeader(640, 48), PictureFormat::GIF, 640, 48, nullptr},
        {"ILBM 5 planes", ilbm(indexed), PictureFormat::ILBM, 37, 5, "image/png", fromPalette},
        {"ILBM ByteRun1", ilbm(rle), PictureFormat::ILBM, 37, 5, "image/png", fromPalette},
        {"ILBM with a mask plane", ilbm(masked), PictureFormat::ILBM, 37, 5, "image/png", fromPalette},
        {"ILBM extra half-bright", ilbm(ehb), PictureFormat::ILBM, 37, 5, "image/png", half},
        {"ILBM HAM6", ilbm(ham6), PictureFormat::ILBM, 4, 5, "image/png",
         hamPixels({{c3[0], c3[1], c3[2]}, {255, c3[1], c3[2]}, {255, 0x88, c3[2]}, {255, 0x88, 0}})},
        {"ILBM HAM8", ilbm(ham8), PictureFormat::ILBM, 4, 5, "image/png",
         hamPixels({{c3[0], c3[1], c3[2]}, {0xFF, c3[1], c3[2]}, {0xFF, 0x82, c3[2]}, {0xFF, 0x82, 0x04}})},
        {"ILBM 24 bits", ilbm(rgb), PictureFormat::ILBM, 19, 3, "image/png",
         [](std::uint32_t x, std::uint32_t y) { const std::uint32_t v = x * 0x010203u + y * 0x300000u; return std::vector<std::uint8_t>{std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16)}; }},
        {"ILBM 32 bits", ilbm(rgba), PictureFormat::ILBM, 19, 3, "image/png",
         [](std::uint32_t x, std::uint32_t y) { return std::vector<std::uint8_t>{std::uint8_t(y), 0, std::uint8_t(x), 0x80}; }},
        {"ILBM 9 planes", ilbm(nine), PictureFormat::ILBM, 37, 5, nullptr},
        {"ILBM without CMAP", ilbm(noMap), PictureFormat::ILBM, 37, 5, nullptr},
        {"ILBM unknown compression", packed, PictureFormat::ILBM, 37, 5, nullptr},
        {"ILBM BODY cut short", cut(ilbm(indexed), ilbm(indexed).size() - 7), PictureFormat::ILBM, 37, 5, nullptr},
    };
    for (const PictureCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageProbe probe = probeImageBytes(span(c.bytes));
        EXPECT_EQ(probe.status, ImageProbeStatus::Read) << probe.cause;
        EXPECT_EQ(std::tie(probe.format, probe.width, probe.height), std::tie(c.format, c.width, c.height));
        if (!c.embeddedAs) {
            EXPECT_THROW(embeddablePicture(span(c.bytes)), Error);
            continue;
        }
        const EmbeddablePicture embedded = embeddablePicture(span(c.bytes));
        EXPECT_STREQ(embedded.mimeType, c.embeddedAs);
        if (c.format == PictureFormat::PNG || std::string(c.embeddedAs) == "image/jpeg") {
            EXPECT_EQ(embedded.bytes, c.bytes);
        }
        const Picture got = std::string(c.embeddedAs) == "image/png" ? decodePNG(span(embedded.bytes)) : decodeJPEG(span(embedded.bytes));
        EXPECT_EQ(std::tie(got.width, got.height), std::tie(probe.width, probe.height));
        if (!c.pixel) continue;
        std::vector<std::uint8_t> expected;
        for (std::uint32_t y = 0; y < got.height; ++y)
            for (std::uint32_t x = 0; x < got.width; ++x) {
                const auto px = c.pixel(x, y);
                expected.insert(expected.end(), px.begin(), px.end());
            }
        EXPECT_EQ(got.pixels, expected);
    }
}

TEST(Pictures, DamagedHeadersAreReadErrorsOrNoSize) {
    const std::string pngRgb = png(3, 2, 3), jpeg = testing::jpegPicture(8, 8, 3), form = testing::ilbmPicture({4, 2, 1, false, false, 0, {{0, 0, 0}, {255, 255, 255}}, pattern});
    std::string notIhdr = pngRgb, zeroWidth = pngRgb, longSegment = jpeg, shortSegment = jpeg, scanFirst = jpeg, shortBmhd = form, longChunk = form;
    notIhdr[12] = 'X';
    zeroWidth.replace(16, 4, std::string(4, '\0'));
    longSegment.replace(4, 2, "\xFF\xF0");  // APP0's length past the end
    shortSegment.replace(4, 2, std::string("\x00\x00", 2));
    scanFirst[3] = static_cast<char>(0xDA);
    shortBmhd[19] = 12;
    longChunk[19] = 100;  // BMHD runs past its FORM
    const struct {
        const char* name;
        std::string bytes;
        ImageProbeStatus status;
        PictureFormat format;
        bool decodes = false;  // libjpeg finds its way past a damaged segment header
    } cases[] = {
        {"PNG cut in IHDR", cut(pngRgb, 20), ImageProbeStatus::ReadError, PictureFormat::PNG},
        {"PNG without IHDR first", notIhdr, ImageProbeStatus::ReadError, PictureFormat::PNG},
        {"PNG of width 0", zeroWidth, ImageProbeStatus::NotImage, PictureFormat::PNG},
        {"JPEG signature only", cut(jpeg, 3), ImageProbeStatus::ReadError, PictureFormat::JPEG},
        {"JPEG segment past the end", longSegment, ImageProbeStatus::ReadError, PictureFormat::JPEG},
        {"JPEG segment of length 0", shortSegment, ImageProbeStatus::ReadError, PictureFormat::JPEG, true},
        {"JPEG scan before its frame", scanFirst, ImageProbeStatus::ReadError, PictureFormat::JPEG},
        {"JPEG cut in its frame header", cut(jpeg, jpeg.find("\xFF\xC0") + 6), ImageProbeStatus::ReadError, PictureFormat::JPEG},
        {"GIF cut in its screen", cut(testing::gifHeader(5, 5), 8), ImageProbeStatus::ReadError, PictureFormat::GIF},
        {"GIF of height 0", testing::gifHeader(5, 0), ImageProbeStatus::NotImage, PictureFormat::GIF},
        {"ILBM FORM header only", cut(form, 12), ImageProbeStatus::ReadError, PictureFormat::ILBM},
        {"ILBM BMHD of 12 bytes", shortBmhd, ImageProbeStatus::ReadError, PictureFormat::ILBM},
        {"ILBM chunk past its FORM", longChunk, ImageProbeStatus::ReadError, PictureFormat::ILBM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageProbe probe = probeImageBytes(span(c.bytes));
        EXPECT_EQ(std::tie(probe.status, probe.format), std::tie(c.status, c.format)) << probe.cause;
        if (c.decodes) EXPECT_NO_THROW(decodePicture(span(c.bytes)));
        else EXPECT_THROW(decodePicture(span(c.bytes)), Error);
    }
}

TEST(Pictures, FilesGiveTheirSizeOrTheWarningWithTheCause) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("morv3d-pictures-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    // An ILBM whose BMHD follows 100 KB of another chunk: the whole file is read.
    std::string far = testing::ilbmPicture({4, 2, 1, false, false, 0, {{0, 0, 0}}, pattern});
    far.insert(12, "ANNO" + std::string("\x00\x01\x86\xA0", 4) + std::string(100000, 'a'));
    for (int i = 0; i < 4; ++i) far[static_cast<std::size_t>(4 + i)] = static_cast<char>((far.size() - 8) >> (24 - 8 * i) & 0xFF);
    const std::string farPath = (dir / "far.iff").string(), cutPath = (dir / "cut.png").string();
    std::ofstream(farPath, std::ios::binary) << far;
    std::ofstream(cutPath, std::ios::binary) << cut(png(3, 2, 3), 20);
    std::ostringstream out, report;
    Excn::setReportingStream(&report);
    EXPECT_EQ(resolutionForImage(farPath, 300, 200, false, out), makeImageResolution(4, 2));
    EXPECT_EQ(resolutionForImage(cutPath, 300, 200, false, out), makeImageResolution(300, 200));
    Excn::setReportingStream(nullptr);
    EXPECT_EQ(out.str(), "Using pixel resolution 4x2 for the image file " + farPath + "\nWarning: Could not get resolution of the image file \"" + cutPath + "\"\n");
    EXPECT_EQ(report.str(), "Error: Could not read PNG image file " + cutPath + "\n\nThe error which caused this:\nits IHDR chunk is cut short\n");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace morv
