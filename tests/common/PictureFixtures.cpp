#include "common/PictureFixtures.hpp"

#include <cstdio>

#include <jpeglib.h>

namespace morv::testing {
namespace {

std::string big(std::uint32_t v, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i) & 0xFF);
    return out;
}

// An IFF chunk: its id, length, data and pad byte.
std::string chunk(const char* id, const std::string& data) {
    return id + big(static_cast<std::uint32_t>(data.size()), 4) + data + (data.size() % 2 ? std::string(1, '\0') : "");
}

// ByteRun1: runs of two or more equal bytes repeated, the others one-byte literals.
std::string byteRun1(const std::string& row) {
    std::string out;
    for (std::size_t i = 0; i < row.size();) {
        std::size_t n = 1;
        while (i + n < row.size() && row[i + n] == row[i] && n < 128) ++n;
        out += static_cast<char>(n > 1 ? 257 - n : 0);
        out += row[i];
        i += n;
    }
    return out;
}

}  // namespace

std::string jpegPicture(std::uint32_t width, std::uint32_t height, int components, bool progressive) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    if (progressive) jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(std::size_t{width} * static_cast<std::size_t>(components));
    while (info.next_scanline < height) {
        for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<unsigned char>((i * 7 + info.next_scanline * 13) & 0xFF);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

std::string gifHeader(std::uint16_t width, std::uint16_t height) {
    const char size[] = {char(width & 0xFF), char(width >> 8), char(height & 0xFF), char(height >> 8), 0, 0, 0};
    return "GIF89a" + std::string(size, sizeof size);
}

std::string ilbmPicture(const Ilbm& ilbm) {
    const std::string bmhd = big(ilbm.width, 2) + big(ilbm.height, 2) + big(0, 4) + char(ilbm.planes) +
                             char(ilbm.maskPlane ? 1 : 0) + char(ilbm.byteRun1 ? 1 : 0) + big(0, 3) + "\x0a\x0b" +
                             big(ilbm.width, 2) + big(ilbm.height, 2);
    std::string cmap, body;
    for (const auto& c : ilbm.cmap) cmap.append(c.begin(), c.end());
    const std::size_t rowBytes = (ilbm.width + 15u) / 16 * 2;
    for (std::uint32_t y = 0; y < ilbm.height; ++y) {
        std::string line;
        for (std::uint32_t p = 0; p < ilbm.planes + (ilbm.maskPlane ? 1u : 0u); ++p) {
            std::string row(rowBytes, '\0');
            for (std::uint32_t x = 0; x < ilbm.width; ++x)
                if (p == ilbm.planes ? true : (ilbm.value(x, y) >> p & 1))
                    row[x / 8] = static_cast<char>(row[x / 8] | 0x80 >> (x % 8));
            line += row;
        }
        body += ilbm.byteRun1 ? byteRun1(line) : line;
    }
    const std::string form = "ILBM" + chunk("BMHD", bmhd) + (ilbm.camg ? chunk("CAMG", big(ilbm.camg, 4)) : "") +
                             (cmap.empty() ? "" : chunk("CMAP", cmap)) + chunk("BODY", body);
    return "FORM" + big(static_cast<std::uint32_t>(form.size()), 4) + form;
}

Bytes texturedTriangle(const std::string& name) {
    IffBuilder c, block;
    c.chunk("TAGS", lwo2Tags({"S"})).chunk("LAYR", lwo2Layer(0, "top"));
    c.chunk("PNTS", lwo2Points({{0, 0, 0}, {1, 2, 0}, {0, 1, -3}})).chunk("POLS", lwo2Polygons("FACE", {{0, 1, 2}}));
    c.chunk("PTAG", lwo2PolygonTags("SURF", {{0, 0}})).chunk("CLIP", lwo2StillClip(1, name));
    block.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR"))).sub("PROJ", IffBuilder().u2(0)).sub("IMAG", IffBuilder().vx(1));
    return iffForm("LWO2", c.chunk("SURF", lwo2Surface("S", "", IffBuilder().sub("BLOK", block))));
}

}  // namespace morv::testing
