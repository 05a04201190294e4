// Writes a large LWO2 object for the speed tests: one layer holding a grid of
// quads, all bound to one surface.
//
//   make_big_lwo2 OUT.lwo [quads] [uv]     (default 1,000,000 quads)
//
// With the word uv, a TXUV map "uv" gives every point texture coordinates, and
// the surface has an image texture (clip "grid.tif") mapped with it.
//
// The quads fill rows of ceil(sqrt(quads)) each, the last row possibly short,
// over a grid of (columns + 1) x (rows + 1) points: 1,002,001 points for the
// default. Indices above 65,279 take the 4-byte form.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "support/GetCs.hpp"

namespace {

using morv::IffWriter;
using morv::stringSize;
using morv::vertexIndexSize;

struct Grid {
    std::uint64_t quads;
    std::uint64_t columns;    // quads per row
    std::uint64_t pointRows;  // rows of columns + 1 points

    std::uint64_t points() const { return (columns + 1) * pointRows; }
    void corners(std::uint64_t quad, std::uint64_t out[4]) const {
        const std::uint64_t row = quad / columns, col = quad % columns, stride = columns + 1;
        out[0] = row * stride + col;
        out[1] = row * stride + col + 1;
        out[2] = (row + 1) * stride + col + 1;
        out[3] = (row + 1) * stride + col;
    }
};

Grid makeGrid(std::uint64_t quads) {
    std::uint64_t columns = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(quads))));
    while (columns * columns < quads) ++columns;
    const std::uint64_t quadRows = (quads + columns - 1) / columns;
    return {quads, columns, quadRows + 1};
}

const char* const surfaceName = "Grid";
const char* const layerName = "grid";
const char* const clipName = "grid.tif";

void putChunkHeader(IffWriter& w, const char* id, std::uint64_t length) {
    w.putID(id);
    w.putU4(static_cast<std::uint32_t>(length));
}

void writeGrid(const std::string& path, const Grid& g, bool withUv) {
    // Every length first, so that the file is written front to back.
    const std::uint64_t tags = stringSize(surfaceName);
    const std::uint64_t layr = 2 + 2 + 12 + stringSize(layerName);
    const std::uint64_t pnts = 12 * g.points();
    std::uint64_t pols = 4, ptag = 4;
    for (std::uint64_t q = 0; q < g.quads; ++q) {
        std::uint64_t c[4];
        g.corners(q, c);
        pols += 2;
        for (std::uint64_t v : c) pols += vertexIndexSize(v);
        ptag += vertexIndexSize(q) + 2;
    }
    std::uint64_t vmap = 4 + 2 + stringSize("uv");
    for (std::uint64_t p = 0; p < g.points(); ++p) vmap += vertexIndexSize(p) + 8;
    const std::uint64_t clip = 4 + 6 + stringSize(clipName);
    // BLOK: IMAP (ordinal, CHAN), PROJ, IMAG, VMAP subchunks
    const std::uint64_t blok = 6 + (6 + 2 + 10) + 8 + 8 + (6 + stringSize("uv"));
    const std::uint64_t surf = stringSize(surfaceName) + stringSize("") + 6 + 14 + (withUv ? blok : 0);
    std::uint64_t form = 4 + 8 * 6 + tags + layr + pnts + pols + ptag + surf;  // all lengths are even
    if (withUv) form += 8 + vmap + 8 + clip;
    if (form > 0x7FFFFFFF) throw std::runtime_error("too many quads for one LWO2 file");

    IffWriter w(path);
    putChunkHeader(w, "FORM", form);
    w.putID("LWO2");
    putChunkHeader(w, "TAGS", tags);
    w.putString(surfaceName);
    putChunkHeader(w, "LAYR", layr);
    w.putU2(0);
    w.putU2(0);
    w.putPoint({0.0, 0.0, 0.0});
    w.putString(layerName);
    putChunkHeader(w, "PNTS", pnts);
    const double step = 1.0 / static_cast<double>(g.columns);
    for (std::uint64_t r = 0; r < g.pointRows; ++r)
        for (std::uint64_t c = 0; c <= g.columns; ++c)
            w.putPoint({static_cast<double>(c) * step, 0.0, static_cast<double>(r) * step});
    if (withUv) {
        putChunkHeader(w, "VMAP", vmap);
        w.putID("TXUV");
        w.putU2(2);
        w.putString("uv");
        for (std::uint64_t r = 0, p = 0; r < g.pointRows; ++r)
            for (std::uint64_t c = 0; c <= g.columns; ++c, ++p) {
                w.putVertexIndex(p);
                w.putReal(static_cast<double>(c) * step);
                w.putReal(static_cast<double>(r) * step);
            }
    }
    putChunkHeader(w, "POLS", pols);
    w.putID("FACE");
    for (std::uint64_t q = 0; q < g.quads; ++q) {
        std::uint64_t c[4];
        g.corners(q, c);
        w.putU2(4);
        for (std::uint64_t v : c) w.putVertexIndex(v);
    }
    putChunkHeader(w, "PTAG", ptag);
    w.putID("SURF");
    for (std::uint64_t q = 0; q < g.quads; ++q) {
        w.putVertexIndex(q);
        w.putU2(0);
    }
    if (withUv) {
        putChunkHeader(w, "CLIP", clip);
        w.putU4(1);
        w.putID("STIL");
        w.putU2(static_cast<std::uint16_t>(stringSize(clipName)));
        w.putString(clipName);
    }
    putChunkHeader(w, "SURF", surf);
    w.putString(surfaceName);
    w.putString("");
    w.putID("COLR");
    w.putU2(14);
    w.putPoint({0.6, 0.6, 0.6});
    w.putU2(0);
    if (withUv) {
        w.putID("BLOK");
        w.putU2(static_cast<std::uint16_t>(blok - 6));
        w.putID("IMAP");
        w.putU2(12);
        w.putString("\x80");
        w.putID("CHAN");
        w.putU2(4);
        w.putID("COLR");
        w.putID("PROJ");
        w.putU2(2);
        w.putU2(5);  // UV
        w.putID("IMAG");
        w.putU2(2);
        w.putVertexIndex(1);
        w.putID("VMAP");
        w.putU2(static_cast<std::uint16_t>(stringSize("uv")));
        w.putString("uv");
    }
    if (w.size() != form + 8) throw std::logic_error("chunk lengths do not add up");
    w.finish();
}

}  // namespace

int main(int argc, char** argv) {
    const bool withUv = argc == 4 && std::strcmp(argv[3], "uv") == 0;
    if (argc < 2 || argc > 4 || (argc == 4 && !withUv)) {
        std::fputs("usage: make_big_lwo2 OUT.lwo [quads] [uv]\n", stderr);
        return 2;
    }
    std::uint64_t quads = 1000000;
    if (argc >= 3) {
        const char* end = argv[2] + std::strlen(argv[2]);
        const auto [ptr, ec] = std::from_chars(argv[2], end, quads);
        if (ec != std::errc() || ptr != end || quads == 0) {
            std::fputs("make_big_lwo2: quads must be a positive whole number\n", stderr);
            return 2;
        }
    }
    // Each quad takes at least 16 bytes, and a chunk at most 2^31 - 1.
    if (quads > 0x7FFFFFFF / 16) {
        std::fputs("make_big_lwo2: too many quads for one LWO2 file\n", stderr);
        return 2;
    }
    try {
        const Grid g = makeGrid(quads);
        writeGrid(argv[1], g, withUv);
        std::printf("Wrote %llu quads over %llu points to %s\n", static_cast<unsigned long long>(g.quads),
                    static_cast<unsigned long long>(g.points()), argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_big_lwo2: %s\n", e.what());
        return 1;
    }
    return 0;
}
