#include "common/PictureFixtures.hpp"

#include <cstdio>

#include <jpeglib.h>

namespace morv::testing {
namespace {

void putBig(std::string& out, std::uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

void chunk(std::string& out, const char* id, const std::string& data) {
    out += id;
    putBig(out, static_cast<std::uint32_t>(data.size()), 4);
    out += data;
    if (data.size() % 2) out += '\0';
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
    std::string out = "GIF89a";
    for (std::uint16_t v : {width, height}) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    }
    return out + std::string("\x00\x00\x00", 3);
}

std::string ilbmPicture(const Ilbm& ilbm) {
    std::string bmhd;
    putBig(bmhd, ilbm.width, 2);
    putBig(bmhd, ilbm.height, 2);
    putBig(bmhd, 0, 4);
    bmhd += static_cast<char>(ilbm.planes);
    bmhd += static_cast<char>(ilbm.maskPlane ? 1 : 0);
    bmhd += static_cast<char>(ilbm.byteRun1 ? 1 : 0);
    bmhd += '\0';
    putBig(bmhd, 0, 2);
    bmhd += "\x0a\x0b";
    putBig(bmhd, ilbm.width, 2);
    putBig(bmhd, ilbm.height, 2);
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
    std::string form = "ILBM";
    chunk(form, "BMHD", bmhd);
    if (ilbm.camg) {
        std::string camg;
        putBig(camg, ilbm.camg, 4);
        chunk(form, "CAMG", camg);
    }
    if (!cmap.empty()) chunk(form, "CMAP", cmap);
    chunk(form, "BODY", body);
    std::string out = "FORM";
    putBig(out, static_cast<std::uint32_t>(form.size()), 4);
    return out + form;
}

}  // namespace morv::testing
