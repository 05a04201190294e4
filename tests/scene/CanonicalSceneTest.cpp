#include "scene/CanonicalScene.hpp"

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

using V = MorvLValue;

V triangleMesh(double base, V surface) {
    MeshBuilder b;
    for (int i = 0; i < 3; ++i) b.addVertex({base + i, 0, 0});
    const std::uint32_t face[] = {0, 1, 2};
    b.addFace(face, std::move(surface));
    return std::move(b).build();
}

std::vector<std::vector<std::int32_t>> faceCorners(const V& mesh) {
    std::vector<std::vector<std::int32_t>> out;
    forEachFace(mesh, [&](std::span<const std::int32_t> c, const V&) { out.emplace_back(c.begin(), c.end()); });
    return out;
}

TEST(CanonicalScene, BuiltMeshReadsThroughTheGenericAccessors) {
    const V mesh = triangleMesh(0, V::Int(0));
    const V vertices = forceGetListField(mesh.fields(), "vertices");
    ASSERT_EQ(vertices.size(), 3u);
    EXPECT_EQ(RecordToXYZ(getRecordField(vertices.at(2).fields(), "point")), (XYZ{2, 0, 0}));
    const V face = forceGetListField(mesh.fields(), "faces").at(0);
    EXPECT_EQ(forceGetIntegerField(face.fields(), "surface"), 0);
    const V corners = forceGetListField(face.fields(), "corners");
    EXPECT_EQ(forceGetIntegerField(corners.at(2).fields(), "vertex"), 2);
}

TEST(CanonicalScene, MergeKeepsEveryFaceOnItsOwnPoints) {
    const V merged = mergeMeshList({triangleMesh(0, V::Int(0)), triangleMesh(10, V::Int(1))});
    std::vector<XYZ> points;
    forEachVertexPoint(merged, [&](const XYZ& p) { points.push_back(p); });
    ASSERT_EQ(points.size(), 6u);
    const auto faces = faceCorners(merged);
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_EQ(faces[1], (std::vector<std::int32_t>{3, 4, 5}));
    EXPECT_EQ(points[static_cast<std::size_t>(faces[1][0])].x, 10);
    EXPECT_THROW_MSG(mergeMeshList({}), Bug, "Internal error: No meshes in mergeMeshList!\n");
}

TEST(CanonicalScene, DisplaceFacesShiftsCornersAndKeepsCornerCoordinates) {
    MeshBuilder b;
    for (int i = 0; i < 3; ++i) b.addVertex({0, 0, 0});
    const std::uint32_t face[] = {0, 1, 2};
    b.addFace(face, V::Int(0));
    b.setCornerSts(1, V::Array({makeSTRecord(0.5, 0.5)}));
    const V faces = forceGetListField(std::move(b).build().fields(), "faces");
    const V shifted = displaceFaces2(faces, 5);
    const V corners = forceGetListField(shifted.at(0).fields(), "corners");
    EXPECT_EQ(forceGetIntegerField(corners.at(0).fields(), "vertex"), 5);
    EXPECT_FALSE(corners.at(0).fields().find("sts").has_value());
    EXPECT_EQ(forceGetArrayField(corners.at(1).fields(), "sts").size(), 1u);
}

TEST(CanonicalScene, FaceSurfaceNamesBecomeIndices) {
    const V surfaces = V::List({V::Record({{"name", V::String("wood")}}), V::Record({{"name", V::String("steel")}})});
    const V mesh = mergeMeshList({triangleMesh(0, V::String("steel")), triangleMesh(0, V::String("wood"))});
    std::vector<std::int32_t> indices;
    forEachFace(setFaceSurfaceIndex(mesh, surfaces),
                [&](std::span<const std::int32_t>, const V& s) { indices.push_back(s.asInt()); });
    EXPECT_EQ(indices, (std::vector<std::int32_t>{1, 0}));
    EXPECT_THROW_MSG(setFaceSurfaceIndex(triangleMesh(0, V::String("glass")), surfaces), Error,
                     "Internal error: Index for surface glass not found in function setFaceSurfaceIndex\n");
}

TEST(CanonicalScene, EmptyMeshIsValid) {
    const V scene = makeScene(MeshBuilder().build(), {}, {});
    const V mesh = requireField(scene.fields(), "mesh");
    EXPECT_EQ(forceGetListField(mesh.fields(), "faces").size(), 0u);
    EXPECT_TRUE(faceCorners(mesh).empty());
}

TEST(CanonicalScene, SurfacesImagesAndTheImageTable) {
    EXPECT_THROW_MSG(getSurfacesImages(V::Record({})), Error,
                     "Internal error: Could not extract surface-images in getSurfacesImages!\n");
    ImageTable table;
    EXPECT_EQ(table.enter("a.bmp", V::Record({})), 0);
    EXPECT_EQ(table.enter("b.bmp", V::Record({})), 1);
    EXPECT_EQ(table.enter("a.bmp", V::Record({})), 0);
    EXPECT_EQ(table.indexOf("b.bmp"), 1);
    EXPECT_THROW_MSG(table.indexOf("c.bmp"), Error, "Internal error: Filename c.bmp not in table as expected!\n");
    const V images = V::List(table.images());
    EXPECT_THROW_MSG(imageAt(images, 2), Error, "Internal error: Image index 2 not found!\n");
    EXPECT_THROW_MSG(imageAt(images, -1), Error, "Internal error: Image index ~1 not found!\n");
}

TEST(CanonicalScene, MapVertexPointsKeepsTextureCoordinates) {
    MeshBuilder b;
    b.addVertex({1, 2, 3});
    b.addVertex({4, 5, 6});
    b.setVertexSts(1, V::Array({makeSTRecord(0.25, 0.75)}));
    const V vertices = forceGetListField(std::move(b).build().fields(), "vertices");
    const V moved = mapVertexPoints(vertices, [](const XYZ& p) { return XYZ{p.x * 2, p.y, -p.z}; });
    EXPECT_EQ(RecordToXYZ(getRecordField(moved.at(1).fields(), "point")), (XYZ{8, 5, -6}));
    EXPECT_EQ(forceGetArrayField(moved.at(1).fields(), "sts").size(), 1u);
    EXPECT_FALSE(moved.at(0).fields().find("sts").has_value());
    // Hand-built vertex lists keep every other field too.
    const V handMade = V::List({V::Record({{"point", makePointRecord(1, 1, 1)}, {"id", V::Int(3)}})});
    const V handMoved = mapVertexPoints(handMade, [](const XYZ& p) { return XYZ{p.x, p.y, p.z + 1}; });
    EXPECT_EQ(forceGetIntegerField(handMoved.at(0).fields(), "id"), 3);
    EXPECT_THROW_MSG(mapVertexPoints(V::List({V::Record({})}), [](const XYZ& p) { return p; }), Error,
                     "Internal error: Expected record field \"point\" not found!\n");
}

TEST(CanonicalScene, PackedTextureCoordinatesKeepUncoveredSlotsAndAbsentOnes) {
    MeshBuilder b;
    for (int i = 0; i < 3; ++i) b.addVertex({double(i), 0, 0});
    const std::optional<ST> first[] = {ST{0.5, 0.25}, std::nullopt};
    const std::optional<ST> replaced[] = {std::nullopt, ST{1, 2}};
    b.setVertexSts(2, first);
    b.setVertexSts(0, first);
    b.setVertexSts(2, replaced);  // the last setting wins
    const std::uint32_t face[] = {0, 1, 2};
    b.addFace(face, V::Int(0));
    b.setCornerSts(1, first);
    const V mesh = std::move(b).build();
    const V vertices = forceGetListField(mesh.fields(), "vertices");
    const V sts0 = forceGetArrayField(vertices.at(0).fields(), "sts");
    ASSERT_EQ(sts0.size(), 2u);
    EXPECT_EQ(RecordToST(sts0.at(0).fields()).t, 0.25);
    EXPECT_EQ(sts0.at(1).fields().size(), 0u);  // a slot no map covers
    EXPECT_FALSE(vertices.at(1).fields().find("sts").has_value());
    EXPECT_EQ(vertices.at(1).fields().size(), 1u);
    const V sts2 = forceGetArrayField(vertices.at(2).fields(), "sts");
    EXPECT_EQ(sts2.at(0).fields().size(), 0u);
    EXPECT_EQ(RecordToST(sts2.at(1).fields()).s, 1.0);
    // Merging and moving keep every coordinate where it was.
    const V merged = mergeMeshList({mesh, mesh});
    const V mergedVertices = forceGetListField(merged.fields(), "vertices");
    EXPECT_EQ(forceGetArrayField(mergedVertices.at(5).fields(), "sts"), sts2);
    EXPECT_FALSE(mergedVertices.at(4).fields().find("sts").has_value());
    const V corners = forceGetListField(forceGetListField(merged.fields(), "faces").at(1).fields(), "corners");
    EXPECT_EQ(forceGetIntegerField(corners.at(1).fields(), "vertex"), 4);
    EXPECT_EQ(forceGetArrayField(corners.at(1).fields(), "sts"), forceGetArrayField(vertices.at(0).fields(), "sts"));
    EXPECT_FALSE(corners.at(0).fields().find("sts").has_value());
    // Writers read the same through MeshView: an uncovered slot is no coordinate.
    const MeshView view(mesh);
    EXPECT_FALSE(view.vertexSt(0, 2).has_value());
    EXPECT_EQ(view.vertexSt(1, 2)->t, 2.0);
    EXPECT_EQ(view.vertexSt(0, 0)->s, 0.5);
    EXPECT_FALSE(view.vertexSt(0, 1).has_value());
    EXPECT_EQ(view.cornerOwnSt(0, 1)->t, 0.25);
    EXPECT_FALSE(view.cornerOwnSt(1, 1).has_value());
    EXPECT_EQ(view.cornerSt(1, 2)->s, 1.0);  // none of its own: its vertex's
}

// Readers that compute every corner's coordinates at once hand them over
// whole; the mesh is the same as one given them corner by corner.
TEST(CanonicalScene, CornerCoordinatesGivenWholeMakeTheSameMesh) {
    const auto build = [](bool whole) {
        MeshBuilder b;
        for (int i = 0; i < 4; ++i) b.addVertex({double(i), double(i % 2), 0});
        const std::uint32_t first[] = {0, 1, 2}, second[] = {0, 2, 3};
        std::vector<double> s, t;
        for (const auto& face : {std::span<const std::uint32_t>(first), std::span<const std::uint32_t>(second)}) {
            b.addFace(face, V::Int(0));
            for (std::size_t k = 0; k < face.size(); ++k) {
                s.push_back(face[k] * 0.25);
                t.push_back(1 - face[k] * 0.125);
                const std::optional<ST> st = ST{s.back(), t.back()};
                if (!whole) b.setCornerSts(k, std::span(&st, 1));
            }
        }
        if (whole) b.setAllCornerSts(s, t);
        return std::move(b).build();
    };
    const V mesh = build(true);
    EXPECT_EQ(mesh, build(false));
    EXPECT_EQ(MeshView(mesh).cornerSt(0, 4)->t, 1 - 2 * 0.125);
    MeshBuilder b;
    b.addVertex({0, 0, 0});
    const std::uint32_t face[] = {0, 0, 0};
    b.addFace(face, V::Int(0));
    EXPECT_THROW(b.setAllCornerSts({0, 0}, {0, 0}), Bug);
}

// Readers hand over whole columns in batches (a layer at a time); the first
// is taken over, later ones appended. The mesh equals one built item by item,
// and vertices skipped by the UV map have no coordinates.
TEST(CanonicalScene, ColumnsGivenWholeInBatchesMakeTheSameMesh) {
    const std::vector<std::uint32_t> offsets{0, 3, 7};
    const std::vector<std::int32_t> corners{0, 1, 2, 0, 2, 3, 4};
    const std::vector<std::int32_t> surfaces{1, 0};
    const std::vector<std::uint32_t> mapped{0, 2, 3};  // vertex 1 and 4 have no coordinates
    const auto build = [&](bool whole) {
        MeshBuilder b;
        for (int batch = 0; batch < 2; ++batch) {
            const std::size_t base = b.vertexCount();
            std::vector<double> xs, s, t;
            for (int i = 0; i < 5; ++i) xs.push_back(batch * 10 + i);
            for (std::uint32_t v : mapped) s.push_back(v * 0.5), t.push_back(batch + v * 0.25);
            std::vector<std::int32_t> shifted = corners;
            for (auto& v : shifted) v += static_cast<std::int32_t>(base);
            if (whole) {
                b.addVertices(xs, xs, std::vector<double>(5, 1.0));
                b.addVertexStsOfOneSlot(mapped, base, s, t);
                b.addFaces(offsets, shifted, surfaces);
                continue;
            }
            for (double x : xs) b.addVertex({x, x, 1.0});
            for (std::size_t i = 0; i < mapped.size(); ++i) {
                const std::optional<ST> st = ST{s[i], t[i]};
                b.setVertexSts(static_cast<std::uint32_t>(base + mapped[i]), std::span(&st, 1));
            }
            const std::vector<std::uint32_t> indices(shifted.begin(), shifted.end());
            for (std::size_t f = 0; f + 1 < offsets.size(); ++f)
                b.addFace(std::span(indices).subspan(offsets[f], offsets[f + 1] - offsets[f]), V::Int(surfaces[f]));
        }
        return std::move(b).build();
    };
    const V mesh = build(true);
    EXPECT_EQ(mesh, build(false));
    const MeshView view(mesh);
    EXPECT_EQ(view.faceCount(), 4u);
    EXPECT_EQ(view.corners(3)[0], 5);
    EXPECT_EQ(view.vertexSt(0, 8)->t, 1 + 3 * 0.25);
    EXPECT_FALSE(view.vertexSt(0, 6).has_value());
    EXPECT_FALSE(view.vertexSt(0, 9).has_value());
}

}  // namespace
}  // namespace morv
