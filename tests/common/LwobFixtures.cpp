#include "common/LwobFixtures.hpp"

namespace morv::testing {

namespace {

void putPolygon(IffBuilder& b, const LwobPolygon& p) {
    b.u2(static_cast<std::uint16_t>(p.vertices.size()));
    for (std::uint16_t v : p.vertices) b.u2(v);
    if (p.details.empty()) {
        b.u2(static_cast<std::uint16_t>(p.surface));
        return;
    }
    b.u2(static_cast<std::uint16_t>(-p.surface));
    b.u2(static_cast<std::uint16_t>(p.details.size()));
    for (const auto& d : p.details) putPolygon(b, d);
}

}  // namespace

IffBuilder lwobPoints(const std::vector<XYZ>& points) {
    IffBuilder b;
    for (const auto& p : points) b.vec(p.x, p.y, p.z);
    return b;
}

IffBuilder lwobSurfaceNames(const std::vector<std::string>& names) {
    IffBuilder b;
    for (const auto& n : names) b.str(n);
    return b;
}

IffBuilder lwobPolygons(const std::vector<LwobPolygon>& polygons) {
    IffBuilder b;
    for (const auto& p : polygons) putPolygon(b, p);
    return b;
}

IffBuilder lwobSurface(std::string_view name, const IffBuilder& subchunks) {
    IffBuilder b;
    b.str(name).raw(subchunks);
    return b;
}

Bytes lwobSampleObject() {
    const std::vector<XYZ> points = {
        {-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},  // back
        {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1},   // front
        {-0.5, -0.5, 1}, {0.5, -0.5, 1}, {0.5, 0.5, 1}, {-0.5, 0.5, 1},  // decal on the front
    };
    const std::vector<LwobPolygon> polygons = {
        {{0, 3, 2, 1}, 1, {}},
        {{4, 5, 6, 7}, 2, {{{8, 9, 10, 11}, 1, {}}}},
        {{0, 1, 5, 4}, 1, {}},
        {{1, 2, 6, 5}, 1, {}},
        {{2, 3, 7, 6}, 1, {}},
        {{3, 0, 4, 7}, 2, {}},
    };
    IffBuilder red;
    red.sub("COLR", IffBuilder().u1(255).u1(0).u1(0).u1(0))
        .sub("FLAG", IffBuilder().u2(4))
        .sub("LUMI", IffBuilder().u2(0))
        .sub("DIFF", IffBuilder().u2(256))
        .sub("SPEC", IffBuilder().u2(64))
        .sub("REFL", IffBuilder().u2(0))
        .sub("TRAN", IffBuilder().u2(0))
        .sub("VDIF", IffBuilder().f4(1.0));
    IffBuilder textured;
    textured.sub("COLR", IffBuilder().u1(200).u1(200).u1(200).u1(0))
        .sub("DIFF", IffBuilder().u2(230))
        .sub("CTEX", IffBuilder().str("Planar Image Map"))
        .sub("TIMG", IffBuilder().str("images/wood.tga"))
        .sub("TFLG", IffBuilder().u2(4 | 32))
        .sub("TSIZ", IffBuilder().vec(2, 2, 1))
        .sub("TCTR", IffBuilder().vec(0, 0, 1))
        .sub("TOPC", IffBuilder().f4(0.75))
        .sub("BTEX", IffBuilder().str("Cylindrical Image Map"))
        .sub("TIMG", IffBuilder().str("(none)"))
        .sub("TFLG", IffBuilder().u2(2))
        .sub("TAMP", IffBuilder().f4(0.5))
        .sub("TSP0", IffBuilder().f4(3.0));
    IffBuilder chunks;
    chunks.chunk("SRFS", lwobSurfaceNames({"Red", "Textured"}))
        .chunk("PNTS", lwobPoints(points))
        .chunk("POLS", lwobPolygons(polygons))
        .chunk("SURF", lwobSurface("Red", red))
        .chunk("SURF", lwobSurface("Textured", textured));
    return lwobForm(chunks);
}

}  // namespace morv::testing
