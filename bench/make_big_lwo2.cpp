// Writes a large LWO2 object for the speed tests: one layer holding a grid of
// quads, or of concave 40-gons, all bound to one surface.
//
//   make_big_lwo2 OUT.lwo [count] [uv|concave|smooth]     (default 1,000,000 quads)
//
// With the word uv, a TXUV map "uv" gives every point texture coordinates
// (its x and z), and the surface has an image texture (clip "grid.tif")
// mapped with it. With the word concave, the object is count stars of 40
// points each (20 spikes), one per grid cell, sharing no points. With the
// word smooth, the grid is a rolling landscape (a height field of waves a
// few cells long) and the surface is smoothed up to 89.5 degrees.
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
#include <functional>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "scene/MorvLValue.hpp"
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

// Any object the generator writes: its points and each polygon's corners.
struct Shape {
    std::uint64_t points;
    std::uint64_t polygons;
    std::function<morv::XYZ(std::uint64_t)> point;
    std::function<void(std::uint64_t, std::vector<std::uint64_t>&)> corners;
};

constexpr std::uint64_t starPoints = 40;

Grid makeGrid(std::uint64_t quads) {
    std::uint64_t columns = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(quads))));
    while (columns * columns < quads) ++columns;
    const std::uint64_t quadRows = (quads + columns - 1) / columns;
    return {quads, columns, quadRows + 1};
}

const char* const surfaceName = "Grid";
const char* const clipName = "grid.tif";
const char* const layerName = "grid";

void putChunkHeader(IffWriter& w, const char* id, std::uint64_t length) {
    w.putID(id);
    w.putU4(static_cast<std::uint32_t>(length));
}

Shape gridShape(const Grid& g, bool rolling) {
    const double step = 1.0 / static_cast<double>(g.columns);
    return {g.points(), g.quads,
            [g, step, rolling](std::uint64_t p) {
                const double x = static_cast<double>(p % (g.columns + 1)) * step;
                const double z = static_cast<double>(p / (g.columns + 1)) * step;
                const double wave = 8 * step;  // a wave over about 50 cells
                return morv::XYZ{x, rolling ? wave * std::sin(x / wave) * std::cos(z / wave) : 0.0, z};
            },
            [g](std::uint64_t q, std::vector<std::uint64_t>& out) {
                out.resize(4);
                g.corners(q, out.data());
            }};
}

// Stars of 40 points in the cells of a grid, spikes alternating in length.
Shape starShape(std::uint64_t stars) {
    const Grid g = makeGrid(stars);
    return {stars * starPoints, stars,
            [g](std::uint64_t p) {
                const std::uint64_t star = p / starPoints, k = p % starPoints;
                const double angle = 2 * std::numbers::pi * static_cast<double>(k) / starPoints;
                const double radius = k % 2 ? 0.2 : 0.45;
                return morv::XYZ{static_cast<double>(star % g.columns) + 0.5 + radius * std::cos(angle), 0.0,
                                 static_cast<double>(star / g.columns) + 0.5 + radius * std::sin(angle)};
            },
            [](std::uint64_t s, std::vector<std::uint64_t>& out) {
                out.resize(starPoints);
                for (std::uint64_t k = 0; k < starPoints; ++k) out[k] = s * starPoints + k;
            }};
}

void writeObject(const std::string& path, const Shape& shape, bool withUv, bool smooth) {
    // Every length first, so that the file is written front to back.
    const std::uint64_t tags = stringSize(surfaceName);
    const std::uint64_t layr = 2 + 2 + 12 + stringSize(layerName);
    const std::uint64_t pnts = 12 * shape.points;
    std::uint64_t pols = 4, ptag = 4;
    std::vector<std::uint64_t> c;
    for (std::uint64_t q = 0; q < shape.polygons; ++q) {
        shape.corners(q, c);
        pols += 2;
        for (std::uint64_t v : c) pols += vertexIndexSize(v);
        ptag += vertexIndexSize(q) + 2;
    }
    std::uint64_t vmap = 4 + 2 + stringSize("uv");
    for (std::uint64_t p = 0; p < shape.points; ++p) vmap += vertexIndexSize(p) + 8;
    const std::uint64_t clip = 4 + 6 + stringSize(clipName);
    // BLOK: IMAP (ordinal, CHAN), PROJ, IMAG, VMAP subchunks
    const std::uint64_t blok = 6 + (6 + 2 + 10) + 8 + 8 + (6 + stringSize("uv"));
    const std::uint64_t surf = stringSize(surfaceName) + stringSize("") + 6 + 14 + (withUv ? blok : 0) + (smooth ? 10 : 0);
    std::uint64_t form = 4 + 8 * 6 + tags + layr + pnts + pols + ptag + surf;  // all lengths are even
    if (withUv) form += 8 + vmap + 8 + clip;
    if (form > 0x7FFFFFFF) throw std::runtime_error("too many polygons for one LWO2 file");

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
    for (std::uint64_t p = 0; p < shape.points; ++p) w.putPoint(shape.point(p));
    if (withUv) {
        putChunkHeader(w, "VMAP", vmap);
        w.putID("TXUV");
        w.putU2(2);
        w.putString("uv");
        for (std::uint64_t p = 0; p < shape.points; ++p) {
            const morv::XYZ at = shape.point(p);
            w.putVertexIndex(p);
            w.putReal(at.x);
            w.putReal(at.z);
        }
    }
    putChunkHeader(w, "POLS", pols);
    w.putID("FACE");
    for (std::uint64_t q = 0; q < shape.polygons; ++q) {
        shape.corners(q, c);
        w.putU2(static_cast<std::uint16_t>(c.size()));
        for (std::uint64_t v : c) w.putVertexIndex(v);
    }
    putChunkHeader(w, "PTAG", ptag);
    w.putID("SURF");
    for (std::uint64_t q = 0; q < shape.polygons; ++q) {
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
    if (smooth) {
        w.putID("SMAN");
        w.putU2(4);
        w.putReal(89.5 * std::numbers::pi / 180);
    }
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
    const bool concave = argc == 4 && std::strcmp(argv[3], "concave") == 0;
    const bool smooth = argc == 4 && std::strcmp(argv[3], "smooth") == 0;
    if (argc < 2 || argc > 4 || (argc == 4 && !withUv && !concave && !smooth)) {
        std::fputs("usage: make_big_lwo2 OUT.lwo [count] [uv|concave|smooth]\n", stderr);
        return 2;
    }
    std::uint64_t quads = 1000000;
    if (argc >= 3) {
        const char* end = argv[2] + std::strlen(argv[2]);
        const auto [ptr, ec] = std::from_chars(argv[2], end, quads);
        if (ec != std::errc() || ptr != end || quads == 0) {
            std::fputs("make_big_lwo2: count must be a positive whole number\n", stderr);
            return 2;
        }
    }
    // Each quad takes at least 16 bytes, and a chunk at most 2^31 - 1.
    if (quads > 0x7FFFFFFF / 16) {
        std::fputs("make_big_lwo2: too many quads for one LWO2 file\n", stderr);
        return 2;
    }
    try {
        const Shape shape = concave ? starShape(quads) : gridShape(makeGrid(quads), smooth);
        writeObject(argv[1], shape, withUv, smooth);
        std::printf("Wrote %llu %s over %llu points to %s\n", static_cast<unsigned long long>(shape.polygons),
                    concave ? "concave 40-gons" : "quads", static_cast<unsigned long long>(shape.points), argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_big_lwo2: %s\n", e.what());
        return 1;
    }
    return 0;
}
