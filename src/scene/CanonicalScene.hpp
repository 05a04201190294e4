// Building and reading canonical scenes: the scene record with its mesh,
// surfaces and images, the mesh merge, face-to-surface binding and the image
// table keyed by file name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

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
    // Optional per-vertex texture coordinates, one slot per UV map of the
    // object; a slot without a value is one that no map covers (it reads as a
    // record without s and t). Kept packed: no allocation per vertex.
    void setVertexSts(std::uint32_t vertex, std::span<const std::optional<ST>> slots);
    // The same given as an ARRAY of st records.
    void setVertexSts(std::uint32_t vertex, const MorvLValue& sts);
    // surface is an INT index, or a STRING name resolved later by setFaceSurfaceIndex.
    void addFace(std::span<const std::uint32_t> vertices, MorvLValue surface);
    // Optional per-corner texture coordinates of the face added last; corner is its position.
    void setCornerSts(std::size_t corner, std::span<const std::optional<ST>> slots);
    void setCornerSts(std::size_t corner, const MorvLValue& sts);
    std::size_t vertexCount() const;
    std::size_t faceCount() const;
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
