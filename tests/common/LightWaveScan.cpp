#include "common/LightWaveScan.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace morv::testing {

namespace {

namespace fs = std::filesystem;

const fs::path modelsDir = "/usr/share/assimp/models/LWO";

// Big-endian reads over a byte vector; any overrun marks the scan as failed.
struct Scan {
    const std::vector<std::uint8_t>& bytes;
    std::size_t pos = 0;
    bool failed = false;
    std::uint32_t get(std::size_t n) {
        if (n > bytes.size() - pos) {
            failed = true;
            pos = bytes.size();
            return 0;
        }
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = (v << 8) | bytes[pos++];
        return v;
    }
    std::string id() {
        std::string s;
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(get(1)));
        return s;
    }
    std::uint32_t vx() {
        if (pos < bytes.size() && bytes[pos] == 0xFF) return get(4) & 0xFFFFFF;
        return get(2);
    }
};

std::vector<std::uint8_t> fileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// LWOB polygons: count, indices, surface; a negative surface is followed by a
// count of detail polygons of the same layout, which are kept as faces after it.
void scanLwobPolygons(Scan& s, std::size_t end, ScannedGeometry& g) {
    while (s.pos < end && !s.failed) {
        const std::uint32_t n = s.get(2);
        std::vector<std::uint32_t> face;
        for (std::uint32_t i = 0; i < n; ++i) face.push_back(s.get(2));
        const auto surface = static_cast<std::int16_t>(s.get(2));
        g.faces.push_back(face);
        if (surface < 0) {
            const std::uint32_t details = s.get(2);
            for (std::uint32_t d = 0; d < details && !s.failed; ++d) {
                const std::uint32_t dn = s.get(2);
                std::vector<std::uint32_t> detail;
                for (std::uint32_t i = 0; i < dn; ++i) detail.push_back(s.get(2));
                s.get(2);
                g.faces.push_back(detail);
            }
        }
    }
}

}  // namespace

std::string formType(const fs::path& p) {
    const auto b = fileBytes(p);
    if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "FORM") return "";
    return std::string(b.begin() + 8, b.begin() + 12);
}

ScannedGeometry scanGeometry(const fs::path& p) {
    const auto bytes = fileBytes(p);
    Scan s{bytes};
    ScannedGeometry g;
    s.get(4);
    const std::size_t formEnd = std::min<std::size_t>(bytes.size(), 8 + std::size_t{s.get(4)});
    const bool lwob = s.id() == "LWOB";
    std::uint32_t layerBase = 0;
    while (s.pos + 8 <= formEnd && !s.failed) {
        const std::string id = s.id();
        const std::uint32_t length = s.get(4);
        const std::size_t end = s.pos + length;
        if (id == "LAYR") {
            layerBase = static_cast<std::uint32_t>(g.points.size() / 3);
        } else if (id == "PNTS") {
            for (std::uint32_t i = 0; i < length / 4; ++i) g.points.push_back(s.get(4));
        } else if (id == "POLS" && lwob) {
            scanLwobPolygons(s, end, g);
        } else if (const std::string type = id == "POLS" ? s.id() : ""; std::set<std::string>{"FACE", "PTCH", "SUBD"}.count(type)) {
            while (s.pos < end && !s.failed) {
                g.kinds.resize(g.faces.size(), "FACE");
                g.kinds.push_back(type);
                const std::uint32_t n = s.get(2) & 0x3FF;
                std::vector<std::uint32_t> face;
                for (std::uint32_t i = 0; i < n; ++i) face.push_back(layerBase + s.vx());
                g.faces.push_back(face);
            }
        }
        s.pos = std::min(end + (length & 1), bytes.size());
    }
    g.kinds.resize(g.faces.size(), "FACE");
    EXPECT_FALSE(s.failed) << p;
    return g;
}

std::vector<fs::path> lightWaveObjects() {
    std::vector<fs::path> out;
    std::error_code ec;
    if (!fs::is_directory(modelsDir, ec)) return out;
    for (const auto& entry : fs::recursive_directory_iterator(modelsDir, ec)) {
        const std::string type = entry.is_regular_file() ? formType(entry.path()) : "";
        if (type == "LWO2" || type == "LWOB") out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace morv::testing
