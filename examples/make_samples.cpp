// Writes the sample objects of examples/: sample.lwo, a LightWave 6 object with
// two layers (the second a child of the first), two surfaces of different
// colours, a UV map, an image texture mapped with it and a planar image
// texture; and images/checker.bmp (64 x 32) and images/stripes.bmp (64 x 64),
// the images the textures name, and images/wood.tga (32 x 32), the image that
// sample_old.lwo names.
//
//   make_samples [OUTDIR]     (default: the current directory)
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/GetCs.hpp"

namespace {

using morv::IffWriter;
using morv::XYZ;

// The bytes that fill() puts, collected in memory so that their count is
// known before the header that carries it.
std::string collect(const std::function<void(IffWriter&)>& fill) {
    IffWriter w;
    fill(w);
    return std::string(w.bytes());
}

void putBytes(IffWriter& w, const std::string& bytes) {
    for (char c : bytes) w.putU1(static_cast<std::uint8_t>(c));
}

void chunk(IffWriter& w, const char* id, const std::function<void(IffWriter&)>& fill) {
    const std::string body = collect(fill);
    w.putID(id);
    w.putU4(static_cast<std::uint32_t>(body.size()));
    putBytes(w, body);
    if (body.size() % 2 != 0) w.putU1(0);
}

void subchunk(IffWriter& w, const char* id, const std::function<void(IffWriter&)>& fill) {
    const std::string body = collect(fill);
    w.putID(id);
    w.putU2(static_cast<std::uint16_t>(body.size()));
    putBytes(w, body);
    if (body.size() % 2 != 0) w.putU1(0);
}

struct Layer {
    std::uint16_t number;
    const char* name;
    int parent;  // -1: none
    std::vector<XYZ> points;
    std::vector<std::vector<std::uint32_t>> faces;
    std::vector<std::uint16_t> faceTags;  // index into the TAGS strings, per face
};

void writeLayer(IffWriter& w, const Layer& layer) {
    chunk(w, "LAYR", [&](IffWriter& b) {
        b.putU2(layer.number);
        b.putU2(0);
        b.putPoint({0.0, 0.0, 0.0});
        b.putString(layer.name);
        if (layer.parent >= 0) b.putU2(static_cast<std::uint16_t>(layer.parent));
    });
    chunk(w, "PNTS", [&](IffWriter& b) {
        for (const XYZ& p : layer.points) b.putPoint(p);
    });
    chunk(w, "POLS", [&](IffWriter& b) {
        b.putID("FACE");
        for (const auto& face : layer.faces) {
            b.putU2(static_cast<std::uint16_t>(face.size()));
            for (std::uint32_t v : face) b.putVertexIndex(v);
        }
    });
    chunk(w, "PTAG", [&](IffWriter& b) {
        b.putID("SURF");
        for (std::size_t f = 0; f < layer.faceTags.size(); ++f) {
            b.putVertexIndex(f);
            b.putU2(layer.faceTags[f]);
        }
    });
}

// A cube standing on the origin, and a four-sided roof on top of it.
Layer cubeLayer() {
    Layer l{0, "house", -1, {}, {}, {}};
    l.points = {{-1, 0, -1}, {1, 0, -1}, {1, 0, 1}, {-1, 0, 1}, {-1, 2, -1}, {1, 2, -1}, {1, 2, 1}, {-1, 2, 1}};
    l.faces = {{0, 1, 2, 3}, {4, 7, 6, 5}, {0, 4, 5, 1}, {1, 5, 6, 2}, {2, 6, 7, 3}, {3, 7, 4, 0}};
    l.faceTags = {1, 0, 0, 0, 0, 0};  // floor "Red", walls and ceiling "Checker"
    return l;
}

Layer roofLayer() {
    Layer l{1, "roof", 0, {}, {}, {}};
    l.points = {{-1.25, 2, -1.25}, {1.25, 2, -1.25}, {1.25, 2, 1.25}, {-1.25, 2, 1.25}, {0, 3, 0}};
    l.faces = {{0, 4, 1}, {1, 4, 2}, {2, 4, 3}, {3, 4, 0}};
    l.faceTags = {1, 1, 1, 1};
    return l;
}

void writeUVMap(IffWriter& w, const Layer& cube) {
    chunk(w, "VMAP", [&](IffWriter& b) {
        b.putID("TXUV");
        b.putU2(2);
        b.putString("uv");
        for (std::uint32_t v = 0; v < cube.points.size(); ++v) {
            const XYZ& p = cube.points[v];
            b.putVertexIndex(v);
            b.putReal((p.x + 1) / 2);  // u along x, v along height
            b.putReal(p.y / 2);
        }
    });
}

// A subchunk of a point and an envelope index of 0.
void pointSubchunk(IffWriter& w, const char* id, const XYZ& p) {
    subchunk(w, id, [&p](IffWriter& s) {
        s.putPoint(p);
        s.putVertexIndex(0);
    });
}

// A subchunk of a real and an envelope index of 0.
void realSubchunk(IffWriter& w, const char* id, double v) {
    subchunk(w, id, [v](IffWriter& s) {
        s.putReal(v);
        s.putVertexIndex(0);
    });
}

// The header of an enabled image block on the colour channel.
void colourImageHeader(IffWriter& blok, double opacity) {
    subchunk(blok, "IMAP", [opacity](IffWriter& h) {
        h.putString("\x80");
        subchunk(h, "CHAN", [](IffWriter& s) { s.putID("COLR"); });
        subchunk(h, "ENAB", [](IffWriter& s) { s.putU2(1); });
        subchunk(h, "OPAC", [opacity](IffWriter& s) {
            s.putU2(0);
            s.putReal(opacity);
            s.putVertexIndex(0);
        });
    });
}

void writeCheckerSurface(IffWriter& w) {
    chunk(w, "SURF", [](IffWriter& b) {
        b.putString("Checker");
        b.putString("");
        pointSubchunk(b, "COLR", {0.9, 0.9, 0.85});
        realSubchunk(b, "DIFF", 0.8);
        subchunk(b, "BLOK", [](IffWriter& blok) {
            colourImageHeader(blok, 1.0);
            subchunk(blok, "TMAP", [](IffWriter& t) {
                pointSubchunk(t, "CNTR", {0.0, 1.0, 0.0});
                pointSubchunk(t, "SIZE", {2.0, 2.0, 2.0});
                pointSubchunk(t, "ROTA", {0.0, 0.0, 0.0});
                subchunk(t, "OREF", [](IffWriter& s) { s.putString("(none)"); });
                subchunk(t, "CSYS", [](IffWriter& s) { s.putU2(0); });
            });
            subchunk(blok, "PROJ", [](IffWriter& s) { s.putU2(5); });
            subchunk(blok, "AXIS", [](IffWriter& s) { s.putU2(2); });
            subchunk(blok, "IMAG", [](IffWriter& s) { s.putVertexIndex(1); });
            subchunk(blok, "WRAP", [](IffWriter& s) {
                s.putU2(1);
                s.putU2(1);
            });
            subchunk(blok, "VMAP", [](IffWriter& s) { s.putString("uv"); });
        });
    });
}

// Red, with a striped picture projected along y onto the floor and the roof.
void writeRedSurface(IffWriter& w) {
    chunk(w, "SURF", [](IffWriter& b) {
        b.putString("Red");
        b.putString("");
        pointSubchunk(b, "COLR", {0.8, 0.1, 0.1});
        realSubchunk(b, "DIFF", 1.0);
        realSubchunk(b, "SPEC", 0.25);
        subchunk(b, "BLOK", [](IffWriter& blok) {
            colourImageHeader(blok, 0.75);
            subchunk(blok, "TMAP", [](IffWriter& t) {
                pointSubchunk(t, "CNTR", {0.0, 2.5, 0.0});
                pointSubchunk(t, "SIZE", {2.5, 2.5, 2.5});
                subchunk(t, "CSYS", [](IffWriter& s) { s.putU2(0); });
            });
            subchunk(blok, "PROJ", [](IffWriter& s) { s.putU2(0); });
            subchunk(blok, "AXIS", [](IffWriter& s) { s.putU2(1); });
            subchunk(blok, "IMAG", [](IffWriter& s) { s.putVertexIndex(2); });
        });
    });
}

void writeSampleObject(const std::string& path) {
    const Layer cube = cubeLayer();
    const Layer roof = roofLayer();
    const std::string form = collect([&](IffWriter& w) {
        w.putID("LWO2");
        chunk(w, "TAGS", [](IffWriter& b) {
            b.putString("Checker");
            b.putString("Red");
        });
        writeLayer(w, cube);
        writeUVMap(w, cube);
        writeLayer(w, roof);
        chunk(w, "CLIP", [](IffWriter& b) {
            b.putU4(1);
            subchunk(b, "STIL", [](IffWriter& s) { s.putString("images/checker.bmp"); });
        });
        chunk(w, "CLIP", [](IffWriter& b) {
            b.putU4(2);
            subchunk(b, "STIL", [](IffWriter& s) { s.putString("images/stripes.bmp"); });
        });
        writeCheckerSurface(w);
        writeRedSurface(w);
    });
    IffWriter out(path);
    out.putID("FORM");
    out.putU4(static_cast<std::uint32_t>(form.size()));
    putBytes(out, form);
    out.finish();
}

void putLE(std::string& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

struct Rgb {
    std::uint8_t r, g, b;
};

// An uncompressed 24-bit BMP, rows stored bottom-up; pixel(x, y) counts y from the top.
void writeBmp(const std::string& path, std::uint32_t width, std::uint32_t height,
              const std::function<Rgb(std::uint32_t, std::uint32_t)>& pixel) {
    const std::uint32_t rowBytes = (width * 3 + 3) / 4 * 4, pixelBytes = rowBytes * height;
    std::string bmp = "BM";
    putLE(bmp, 54 + pixelBytes, 4);  // file size
    putLE(bmp, 0, 4);                // reserved
    putLE(bmp, 54, 4);               // offset of the pixels
    putLE(bmp, 40, 4);               // information header size
    putLE(bmp, width, 4);
    putLE(bmp, height, 4);
    putLE(bmp, 1, 2);   // planes
    putLE(bmp, 24, 2);  // bits per pixel
    putLE(bmp, 0, 4);   // no compression
    putLE(bmp, pixelBytes, 4);
    putLE(bmp, 2835, 4);  // 72 dpi
    putLE(bmp, 2835, 4);
    putLE(bmp, 0, 4);
    putLE(bmp, 0, 4);
    for (std::uint32_t row = 0; row < height; ++row) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const Rgb c = pixel(x, height - 1 - row);
            bmp += {static_cast<char>(c.b), static_cast<char>(c.g), static_cast<char>(c.r)};
        }
        bmp.append(rowBytes - width * 3, '\0');
    }
    std::ofstream out(path, std::ios::binary);
    out.write(bmp.data(), static_cast<std::streamsize>(bmp.size()));
    out.close();
    if (!out) throw std::runtime_error("Could not write " + path);
}

// An uncompressed 24-bit Targa picture, rows stored bottom-up; pixel(x, y) counts y from the top.
void writeTga(const std::string& path, std::uint32_t width, std::uint32_t height,
              const std::function<Rgb(std::uint32_t, std::uint32_t)>& pixel) {
    std::string tga;
    putLE(tga, 0, 1);  // no identification field
    putLE(tga, 0, 1);  // no colour map
    putLE(tga, 2, 1);  // true colour
    putLE(tga, 0, 4);  // colour-map layout (5 bytes)
    putLE(tga, 0, 1);
    putLE(tga, 0, 4);  // origin
    putLE(tga, width, 2);
    putLE(tga, height, 2);
    putLE(tga, 24, 1);  // bits per pixel
    putLE(tga, 0, 1);   // bottom-up rows
    for (std::uint32_t row = 0; row < height; ++row)
        for (std::uint32_t x = 0; x < width; ++x) {
            const Rgb c = pixel(x, height - 1 - row);
            tga += {static_cast<char>(c.b), static_cast<char>(c.g), static_cast<char>(c.r)};
        }
    std::ofstream out(path, std::ios::binary);
    out.write(tga.data(), static_cast<std::streamsize>(tga.size()));
    out.close();
    if (!out) throw std::runtime_error("Could not write " + path);
}

// 32 x 32 pixels of wavy brown grain, the picture the LWOB sample names.
void writeWoodImage(const std::string& path) {
    writeTga(path, 32, 32, [](std::uint32_t x, std::uint32_t y) {
        const bool dark = (x + (y / 4) % 3) % 6 < 2;
        return dark ? Rgb{0x6B, 0x42, 0x20} : Rgb{0xB0, 0x7A, 0x45};
    });
}

// 64 x 32 pixels in 8 x 8 squares, the bottom left one light.
void writeCheckerImage(const std::string& path) {
    writeBmp(path, 64, 32, [](std::uint32_t x, std::uint32_t y) {
        const bool light = ((x / 8) + ((31 - y) / 8)) % 2 == 0;
        return light ? Rgb{0xF0, 0xF0, 0xF0} : Rgb{0xA0, 0x30, 0x30};
    });
}

// 64 x 64 pixels: diagonal stripes, and a dark top row so that it shows which way is up.
void writeStripesImage(const std::string& path) {
    writeBmp(path, 64, 64, [](std::uint32_t x, std::uint32_t y) {
        if (y < 4) return Rgb{0x20, 0x20, 0x20};
        return ((x + y) / 8) % 2 == 0 ? Rgb{0xF0, 0xE0, 0x60} : Rgb{0x40, 0x80, 0xC0};
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fputs("usage: make_samples [OUTDIR]\n", stderr);
        return 2;
    }
    const std::filesystem::path dir = argc == 2 ? argv[1] : ".";
    try {
        std::filesystem::create_directories(dir / "images");
        writeSampleObject((dir / "sample.lwo").string());
        writeCheckerImage((dir / "images" / "checker.bmp").string());
        writeStripesImage((dir / "images" / "stripes.bmp").string());
        writeWoodImage((dir / "images" / "wood.tga").string());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_samples: %s\n", e.what());
        return 1;
    }
    std::printf("Wrote %s and the images in %s\n", (dir / "sample.lwo").c_str(), (dir / "images").c_str());
    return 0;
}
