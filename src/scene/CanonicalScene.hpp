// Building and reading canonical scenes: the scene record with its mesh,
// surfaces and images, the mesh merge, face-to-surface binding and the image
// table keyed by file name.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

// ---- What a mesh record holds besides its vertices and faces ----
// Optional fields, each describing the mesh as a whole:
// - `faceKinds`: what the faces are, as runs: a LIST of records {kind STRING,
//   faces INT} that cover the faces in order from face 0. Kinds: "polygon", a
//   plain face; "subPatch" and "catmullClark", faces of a subdivision cage
//   whose smooth surface they define (LightWave's PTCH and SUBD polygons).
//   Without the field every face is a polygon. A writer that knows no cages
//   takes every face as a polygon.
// - `layers`: the layers the mesh was read from, in order, each holding the
//   next `vertices` points and `faces` faces: a LIST of records {number INT,
//   flags INT, name STRING, pivot point, parent INT (optional), vertices INT,
//   faces INT}. The pivot moves with the points.
// - `stNames`: the name of the UV map behind each texture-coordinate slot, a
//   LIST of STRING; "" for a map without a name.
// - `normals`: the normals the object carries itself (LightWave's NORM vertex
//   maps), which win over normals a writer works out: a LIST of records
//   {vertex INT, face INT, x REAL, y REAL, z REAL}. Face -1 gives the vertex's
//   normal in every face, any other face its normal in that face alone (where
//   it wins over the vertex's). Moving the mesh turns them with it.

enum class FaceKind : std::uint8_t { Polygon, SubPatch, CatmullClark };

struct FaceKindRun {
    FaceKind kind = FaceKind::Polygon;
    std::size_t first = 0, count = 0;
};

// The runs of a mesh record, covering its faces (none for a mesh without
// faces). Raises Error when its faceKinds field does not fit the faces.
std::vector<FaceKindRun> faceKindRuns(const MorvLValue& mesh);

struct MeshLayer {
    std::int32_t number = 0;
    std::int32_t flags = 0;
    std::string name;
    XYZ pivot;
    std::optional<std::int32_t> parent;
    std::size_t vertices = 0, faces = 0;
};

// The layers of a mesh record; empty when it has none, or when they do not
// cover its vertices and faces exactly (a mesh changed by code that did not
// know them), so that a writer falls back to one layer.
std::vector<MeshLayer> meshLayers(const MorvLValue& mesh);
MorvLValue layerRecord(const MeshLayer& layer);

// The names of the mesh record's texture-coordinate slots; empty without stNames.
std::vector<std::string> stNames(const MorvLValue& mesh);

// Builds a packed mesh record {vertices, faces}. Vertices and faces are added
// in order; corner vertex indices refer to this builder's vertices.
class MeshBuilder {
public:
    MeshBuilder();
    MeshBuilder(MeshBuilder&&) noexcept;
    MeshBuilder& operator=(MeshBuilder&&) noexcept;
    ~MeshBuilder();

    void reserve(std::size_t vertices, std::size_t faces, std::size_t corners);
    std::uint32_t addVertex(const XYZ& point);
    // Many vertices at once, as columns of one length: taken over whole when
    // the builder has none yet, so that a big reader's lists are not copied.
    void addVertices(std::vector<double> xs, std::vector<double> ys, std::vector<double> zs);
    // Optional per-vertex texture coordinates, one slot per UV map of the
    // object; a slot without a value is one that no map covers (it reads as a
    // record without s and t). Kept packed: no allocation per vertex.
    void setVertexSts(std::uint32_t vertex, std::span<const std::optional<ST>> slots);
    // The same given as an ARRAY of st records.
    void setVertexSts(std::uint32_t vertex, const MorvLValue& sts);
    // One covered slot for each vertex base + vertices[i] (ascending, past
    // every vertex given coordinates so far): s[i] and t[i], taken over whole
    // when no vertex has any yet.
    void addVertexStsOfOneSlot(std::span<const std::uint32_t> vertices, std::size_t base, std::vector<double> s,
                               std::vector<double> t);
    // Room for the texture coordinates of vertices up to `vertices` holding
    // `values` slots in all, so that a big UV map is not copied as it grows.
    void reserveVertexSts(std::size_t vertices, std::size_t values);
    // surface is an INT index, or a STRING name resolved later by setFaceSurfaceIndex.
    void addFace(std::span<const std::uint32_t> vertices, MorvLValue surface);
    // Many faces at once, all of one kind: offsets (from 0, one more than the
    // faces) into the corners' vertex indices, and each face's surface index.
    // Taken over whole when the builder has no faces yet.
    void addFaces(std::vector<std::uint32_t> offsets, std::vector<std::int32_t> corners,
                  std::vector<std::int32_t> surfaces, FaceKind kind = FaceKind::Polygon);
    // The vertices and faces added since the previous layer (or the start)
    // form a layer with this header; its counts are set here.
    void addLayer(MeshLayer header);
    void setStNames(std::vector<std::string> names);
    // Optional per-corner texture coordinates of the face added last; corner is its position.
    void setCornerSts(std::size_t corner, std::span<const std::optional<ST>> slots);
    void setCornerSts(std::size_t corner, const MorvLValue& sts);
    // The same for the corner of that number among all corners of the mesh.
    void setMeshCornerSts(std::size_t corner, std::span<const std::optional<ST>> slots);
    // One slot for every corner of the faces added, given whole instead of
    // corner by corner (s[i] and t[i] for corner i; taken over, not copied),
    // for readers that compute them all at once. No corner may have any yet.
    void setAllCornerSts(std::vector<double> s, std::vector<double> t);
    std::size_t vertexCount() const;
    std::size_t faceCount() const;
    std::size_t cornerCount() const;
    MorvLValue build() &&;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// The scene record {mesh, surfaces, images}.
MorvLValue makeScene(MorvLValue mesh, std::vector<MorvLValue> surfaces, std::vector<MorvLValue> images);

// One mesh holding the vertices and faces of all, in list order; each mesh's
// faces are shifted by displaceFaces2 past the vertices of the meshes before it.
// An empty list raises Bug("Internal error: No meshes in mergeMeshList!\n").
MorvLValue mergeMeshList(const std::vector<MorvLValue>& meshes);
// The faces list with every corner's vertex index increased by offset.
MorvLValue displaceFaces2(const MorvLValue& faces, std::int32_t offset);

// Replaces each face's STRING surface name by the index of the surface of that
// name in surfaces (a LIST of surface records). Returns the new mesh.
MorvLValue setFaceSurfaceIndex(const MorvLValue& mesh, const MorvLValue& surfaces);

// The scene's surfaces and images lists.
std::pair<MorvLValue, MorvLValue> getSurfacesImages(const MorvLValue& scene);

// The vertices list with every point replaced by fn(point); other fields kept.
MorvLValue mapVertexPoints(const MorvLValue& vertices, const std::function<XYZ(const XYZ&)>& fn);

// Fast walks over a mesh record, for writers.
void forEachVertexPoint(const MorvLValue& mesh, const std::function<void(const XYZ&)>& fn);
// fn(corner vertex indices, face surface value)
void forEachFace(const MorvLValue& mesh,
                 const std::function<void(std::span<const std::int32_t>, const MorvLValue&)>& fn);

// The faces list with every face's corners (and their texture coordinates) in
// reverse order, the first corner kept first: the face shows its other side.
MorvLValue reverseFaceWindings(const MorvLValue& faces);

// A surface read from an Unreal brush keeps its polygons' "Texture=" word
// (package, group and name) in this STRING field, so that a brush written from
// it names the same texture. The brush reader refuses longer texture names
// and the brush writer cuts longer names to this length.
inline constexpr std::string_view brushTextureField = "brushTexture";
inline constexpr std::size_t longestBrushTextureName = 1024;

// A polygon read from an Unreal brush keeps the texture placement it was
// written with (its Pan folded into the origin), so that a brush written from
// the scene shows exactly the same texels, also where its texture coordinates
// could not say so (a texture seen edge-on). The mesh holds them in the field
// facePlacementsField: per face, in face order, a record of the points
// origin, textureU and textureV, and pan: the Pan (x along U, y along V) that
// could not be folded into the origin because its axis has zero length
// (otherwise zero). Moving the mesh moves them with it; the pan, in pixels, stays.
struct FacePlacement {
    XYZ origin, textureU, textureV, pan;
};
inline constexpr std::string_view facePlacementsField = "facePlacements";

// Placements as columns, per face in face order: origin x, y, z, textureU x,
// y, z, textureV x, y, z, pan x, y, z.
using FacePlacementColumns = std::array<std::vector<double>, 12>;
// The mesh record with one placement per face, packed; the columns are taken over.
MorvLValue withFacePlacements(const MorvLValue& mesh, FacePlacementColumns columns);
// The mesh record with every placement replaced by fn(placement); a mesh
// without placements is returned as it is.
MorvLValue mapFacePlacements(const MorvLValue& mesh, const std::function<FacePlacement(const FacePlacement&)>& fn);

// The placements of a mesh's faces, read in place; none when the mesh has none.
class FacePlacements {
public:
    explicit FacePlacements(const MorvLValue& mesh);
    std::size_t size() const { return columns_[0].size(); }
    FacePlacement operator[](std::size_t face) const {
        const auto at = [&](int c) { return XYZ{columns_[c][face], columns_[c + 1][face], columns_[c + 2][face]}; };
        return {at(0), at(3), at(6), at(9)};
    }

private:
    MorvLValue list_;  // keeps the viewed storage alive
    std::vector<double> owned_;
    std::span<const double> columns_[12];
};

// One entry of a mesh's `normals` field.
struct MeshNormal {
    std::uint32_t vertex = 0;
    std::int32_t face = -1;
    XYZ normal;
};
inline constexpr std::string_view meshNormalsField = "normals";
// The mesh record with these normals, packed (a mesh without any is returned as it is).
MorvLValue withMeshNormals(const MorvLValue& mesh, const std::vector<MeshNormal>& normals);
// The normals of a mesh record; none when it has none.
std::vector<MeshNormal> meshNormals(const MorvLValue& mesh);

// Raises Error naming the vertex when a coordinate of p is not a finite number
// or is larger in size than limit, the largest the output format can hold.
// format names the output ("an LWO2 file").
[[noreturn, gnu::cold]] void raiseVertexCoordinates(const XYZ& p, std::size_t vertex, std::string_view format,
                                                    double limit);
inline void checkVertexCoordinates(const XYZ& p, std::size_t vertex, std::string_view format,
                                   double limit = std::numeric_limits<double>::max()) {
    // The comparisons fail for NaN and infinities as well as for coordinates too large.
    if (!(std::fabs(p.x) <= limit && std::fabs(p.y) <= limit && std::fabs(p.z) <= limit))
        raiseVertexCoordinates(p, vertex, format, limit);
}

// Read-only look at a mesh for writers: points, faces and texture coordinates
// by index. A mesh built by MeshBuilder is read in place; any other mesh is
// first copied once into the same packed form. Corner vertex indices are not
// checked here: writers check them against vertexCount().
class MeshView {
public:
    // Raises like forceGetListField when the mesh lacks vertices or faces.
    explicit MeshView(const MorvLValue& mesh);

    std::size_t vertexCount() const { return xs_.size(); }
    std::size_t faceCount() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }
    // The faces' kinds as runs in face order, and one face's kind.
    std::span<const FaceKindRun> kindRuns() const { return kindRuns_; }
    FaceKind faceKind(std::size_t face) const;
    XYZ point(std::size_t vertex) const { return {xs_[vertex], ys_[vertex], zs_[vertex]}; }
    // The corners of face f are numbered firstCorner(f) .. firstCorner(f + 1) - 1.
    std::size_t firstCorner(std::size_t face) const { return offsets_[face]; }
    std::size_t cornerCount() const { return cornerVertices_.size(); }
    std::span<const std::int32_t> corners(std::size_t face) const {
        return cornerVertices_.subspan(offsets_[face], offsets_[face + 1] - offsets_[face]);
    }
    // The face's surface index; nullopt when the face holds no INT there.
    std::optional<std::int32_t> surface(std::size_t face) const {
        if (!surfaceInts_.empty()) return surfaceInts_[face];
        const MorvLValue& v = surfaceValues_[face];
        if (v.kind() != Kind::INT) return std::nullopt;
        return v.asInt();
    }

    // Texture coordinates of one slot: the vertex's, the corner's own, and
    // what a writer uses at a corner (its own when it has them, else its vertex's).
    std::optional<ST> vertexSt(std::size_t slot, std::size_t vertex) const { return vertexSts_.get(slot, vertex); }
    std::optional<ST> cornerOwnSt(std::size_t slot, std::size_t corner) const { return cornerSts_.get(slot, corner); }
    std::optional<ST> cornerSt(std::size_t slot, std::size_t corner) const;
    bool hasCornerSts() const { return !cornerSts_.offsets.empty(); }
    // How many slots a vertex's or a corner's own coordinates hold; 0 without any.
    std::size_t vertexSlotCount(std::size_t vertex) const { return vertexSts_.count(vertex); }
    std::size_t cornerSlotCount(std::size_t corner) const { return cornerSts_.count(corner); }

private:
    struct Slots {
        std::span<const std::uint32_t> offsets;  // per owner; empty when no owner has coordinates
        std::span<const double> s, t;
        const std::vector<bool>* covered = nullptr;  // slots that have s and t; empty when all have
        std::optional<ST> get(std::size_t slot, std::size_t owner) const {
            if (offsets.empty()) return std::nullopt;
            const std::size_t first = offsets[owner];
            if (slot >= offsets[owner + 1] - first) return std::nullopt;
            if (!covered->empty() && !(*covered)[first + slot]) return std::nullopt;
            return ST{s[first + slot], t[first + slot]};
        }
        std::size_t count(std::size_t owner) const {
            return offsets.empty() ? 0 : offsets[owner + 1] - offsets[owner];
        }
    };
    MorvLValue vertices_, faces_;  // keep the viewed storage alive
    std::span<const double> xs_, ys_, zs_;
    std::span<const std::uint32_t> offsets_;
    std::span<const std::int32_t> cornerVertices_;
    std::span<const std::int32_t> surfaceInts_;
    std::span<const MorvLValue> surfaceValues_;
    Slots vertexSts_, cornerSts_;
    std::vector<FaceKindRun> kindRuns_;
};

// Images entered by file name: the same name always gives the same index.
class ImageTable {
public:
    // Index of the image with this file name, adding record when it is new.
    std::int32_t enter(const std::string& fileName, MorvLValue record);
    // "Internal error: Filename " + name + " not in table as expected!\n" when absent.
    std::int32_t indexOf(const std::string& fileName) const;
    const std::vector<MorvLValue>& images() const { return images_; }

private:
    std::unordered_map<std::string, std::int32_t> index_;
    std::vector<MorvLValue> images_;
};

// Element i of an images list; "Internal error: Image index " + i + " not found!\n" when absent.
MorvLValue imageAt(const MorvLValue& images, std::int32_t index);

}  // namespace morv
