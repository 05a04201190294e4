#include "scene/CanonicalScene.hpp"

#include <cstdint>
#include <limits>

#include "driver/Excn.hpp"
#include "support/NumberText.hpp"

namespace morv {

namespace {

// Column storage of a faces list before it is packed.
struct FaceColumns {
    std::vector<std::uint32_t> offsets{0};
    std::vector<std::int32_t> cornerVertices;
    std::vector<MorvLValue> cornerSts;  // empty when no corner has sts
    std::vector<MorvLValue> surfaces;

    void addFace(std::span<const std::int32_t> vertices, MorvLValue surface) {
        if (vertices.size() > std::numeric_limits<std::uint32_t>::max() - cornerVertices.size())
            throw Error("Internal error: too many polygon corners in one mesh\n");
        cornerVertices.insert(cornerVertices.end(), vertices.begin(), vertices.end());
        offsets.push_back(static_cast<std::uint32_t>(cornerVertices.size()));
        surfaces.push_back(std::move(surface));
    }
    void setCornerSts(std::size_t cornerIndex, MorvLValue sts) {
        if (cornerSts.size() < cornerVertices.size()) cornerSts.resize(cornerVertices.size(), MorvLValue::Absent());
        cornerSts[cornerIndex] = std::move(sts);
    }

    MorvLValue build() && {
        const std::size_t corners = cornerVertices.size();
        const bool withSts = !cornerSts.empty();
        PackedRecords cornerTable(withSts ? std::vector<std::string>{"vertex", "sts"} : std::vector<std::string>{"vertex"},
                                  corners);
        cornerTable.setInts(0, std::move(cornerVertices));
        if (withSts) {
            cornerSts.resize(corners, MorvLValue::Absent());
            cornerTable.setValues(1, std::move(cornerSts));
        }
        PackedRecords faces({"corners", "surface"}, surfaces.size());
        faces.setSlices(0, std::move(cornerTable), std::move(offsets));
        bool allInts = true;
        for (const auto& s : surfaces) allInts = allInts && s.kind() == Kind::INT;
        if (allInts) {
            std::vector<std::int32_t> ints;
            ints.reserve(surfaces.size());
            for (const auto& s : surfaces) ints.push_back(s.asInt());
            faces.setInts(1, std::move(ints));
        } else {
            faces.setValues(1, std::move(surfaces));
        }
        return std::move(faces).toList();
    }
};

Fields recordOf(const MorvLValue& v, std::string_view what) {
    if (!v.isRecord()) throw Error(std::string("record match error: function ") + std::string(what));
    return v.fields();
}

MorvLValue meshField(const MorvLValue& mesh, std::string_view name) {
    return forceGetListField(recordOf(mesh, "mesh"), name);
}

// Calls fn(corner vertex indices, surface, corner sts or nullptr) for every face.
template <class Fn>
void walkFaces(const MorvLValue& faces, Fn&& fn) {
    if (auto view = PackedView::of(faces)) {
        auto cornersCol = view->column("corners");
        auto surfaceCol = view->column("surface");
        if (cornersCol && surfaceCol && !view->offsets(*cornersCol).empty() && !view->hasValues(*surfaceCol)) {
            auto offsets = view->offsets(*cornersCol);
            auto child = view->sliceChild(*cornersCol);
            auto vertexCol = child->column("vertex");
            auto surfaces = view->ints(*surfaceCol);
            if (vertexCol && child->ints(*vertexCol).size() == child->rows() && !child->column("sts") &&
                surfaces.size() == view->rows()) {
                auto vertices = child->ints(*vertexCol);
                for (std::size_t f = 0; f < view->rows(); ++f)
                    fn(vertices.subspan(offsets[f], offsets[f + 1] - offsets[f]), MorvLValue::Int(surfaces[f]),
                       static_cast<const std::vector<MorvLValue>*>(nullptr));
                return;
            }
        }
    }
    std::vector<std::int32_t> vertices;
    std::vector<MorvLValue> sts;
    const std::size_t n = faces.size();
    for (std::size_t f = 0; f < n; ++f) {
        const Fields face = recordOf(faces.at(f), "forEachFace");
        const MorvLValue corners = forceGetListField(face, "corners");
        vertices.clear();
        sts.clear();
        bool anySts = false;
        const std::size_t nc = corners.size();
        for (std::size_t c = 0; c < nc; ++c) {
            const Fields corner = recordOf(corners.at(c), "forEachFace");
            vertices.push_back(forceGetIntegerField(corner, "vertex"));
            auto st = corner.find("sts");
            anySts = anySts || st.has_value();
            sts.push_back(st ? *st : MorvLValue::Absent());
        }
        fn(std::span<const std::int32_t>(vertices), requireField(face, "surface"), anySts ? &sts : nullptr);
    }
}

// Calls fn(point, sts or Absent) for every vertex.
template <class Fn>
void walkVertices(const MorvLValue& vertices, Fn&& fn) {
    if (auto view = PackedView::of(vertices)) {
        auto pointCol = view->column("point");
        if (pointCol && !view->column("sts")) {
            if (auto points = view->nested(*pointCol)) {
                auto xc = points->column("x"), yc = points->column("y"), zc = points->column("z");
                if (xc && yc && zc) {
                    auto xs = points->reals(*xc), ys = points->reals(*yc), zs = points->reals(*zc);
                    if (xs.size() == view->rows() && ys.size() == xs.size() && zs.size() == xs.size()) {
                        const MorvLValue absent = MorvLValue::Absent();
                        for (std::size_t i = 0; i < xs.size(); ++i) fn(XYZ{xs[i], ys[i], zs[i]}, absent);
                        return;
                    }
                }
            }
        }
    }
    const std::size_t n = vertices.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Fields vertex = recordOf(vertices.at(i), "forEachVertexPoint");
        auto sts = vertex.find("sts");
        fn(RecordToXYZ(getRecordField(vertex, "point")), sts ? *sts : MorvLValue::Absent());
    }
}

}  // namespace

// ---- MeshBuilder ----

void MeshBuilder::reserve(std::size_t vertices, std::size_t faces, std::size_t corners) {
    xs_.reserve(vertices);
    ys_.reserve(vertices);
    zs_.reserve(vertices);
    faceOffsets_.reserve(faces + 1);
    surfaces_.reserve(faces);
    cornerVertices_.reserve(corners);
}

std::uint32_t MeshBuilder::addVertex(const XYZ& p) {
    if (xs_.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw Error("Internal error: too many vertices in one mesh\n");
    xs_.push_back(p.x);
    ys_.push_back(p.y);
    zs_.push_back(p.z);
    return static_cast<std::uint32_t>(xs_.size() - 1);
}

void MeshBuilder::setVertexSts(std::uint32_t vertex, MorvLValue sts) {
    if (vertexSts_.size() < xs_.size()) vertexSts_.resize(xs_.size(), MorvLValue::Absent());
    vertexSts_.at(vertex) = std::move(sts);
}

void MeshBuilder::addFace(std::span<const std::uint32_t> vertices, MorvLValue surface) {
    if (vertices.size() > std::numeric_limits<std::uint32_t>::max() - cornerVertices_.size())
        throw Error("Internal error: too many polygon corners in one mesh\n");
    for (std::uint32_t v : vertices) cornerVertices_.push_back(static_cast<std::int32_t>(v));
    faceOffsets_.push_back(static_cast<std::uint32_t>(cornerVertices_.size()));
    surfaces_.push_back(std::move(surface));
}

void MeshBuilder::setCornerSts(std::size_t corner, MorvLValue sts) {
    if (cornerSts_.size() < cornerVertices_.size()) cornerSts_.resize(cornerVertices_.size(), MorvLValue::Absent());
    cornerSts_.at(faceOffsets_[faceOffsets_.size() - 2] + corner) = std::move(sts);
}

namespace {
MorvLValue buildVertices(std::vector<double> xs, std::vector<double> ys, std::vector<double> zs,
                         std::vector<MorvLValue> sts) {
    const std::size_t n = xs.size();
    PackedRecords points({"x", "y", "z"}, n);
    points.setReals(0, std::move(xs));
    points.setReals(1, std::move(ys));
    points.setReals(2, std::move(zs));
    const bool withSts = !sts.empty();
    PackedRecords vertices(withSts ? std::vector<std::string>{"point", "sts"} : std::vector<std::string>{"point"}, n);
    vertices.setNested(0, std::move(points));
    if (withSts) {
        sts.resize(n, MorvLValue::Absent());
        vertices.setValues(1, std::move(sts));
    }
    return std::move(vertices).toList();
}
}  // namespace

MorvLValue MeshBuilder::build() && {
    FaceColumns faces;
    faces.offsets = std::move(faceOffsets_);
    faces.cornerVertices = std::move(cornerVertices_);
    faces.cornerSts = std::move(cornerSts_);
    faces.surfaces = std::move(surfaces_);
    MorvLValue vertices = buildVertices(std::move(xs_), std::move(ys_), std::move(zs_), std::move(vertexSts_));
    return MorvLValue::Record({{"vertices", std::move(vertices)}, {"faces", std::move(faces).build()}});
}

MorvLValue makeScene(MorvLValue mesh, std::vector<MorvLValue> surfaces, std::vector<MorvLValue> images) {
    return MorvLValue::Record({{"mesh", std::move(mesh)},
                               {"surfaces", MorvLValue::List(std::move(surfaces))},
                               {"images", MorvLValue::List(std::move(images))}});
}

// ---- Merging ----

MorvLValue displaceFaces2(const MorvLValue& faces, std::int32_t offset) {
    FaceColumns out;
    std::vector<std::int32_t> shifted;
    walkFaces(faces, [&](std::span<const std::int32_t> vertices, const MorvLValue& surface,
                         const std::vector<MorvLValue>* sts) {
        shifted.assign(vertices.begin(), vertices.end());
        for (auto& v : shifted) v += offset;
        out.addFace(shifted, surface);
        if (sts) {
            const std::size_t first = out.offsets[out.offsets.size() - 2];
            for (std::size_t c = 0; c < sts->size(); ++c)
                if ((*sts)[c].kind() != Kind::ABSENT) out.setCornerSts(first + c, (*sts)[c]);
        }
    });
    return std::move(out).build();
}

MorvLValue mergeMeshList(const std::vector<MorvLValue>& meshes) {
    if (meshes.empty()) throw Bug("Internal error: No meshes in mergeMeshList!\n");
    if (meshes.size() == 1) return meshes.front();
    std::vector<double> xs, ys, zs;
    std::vector<MorvLValue> sts;
    bool anySts = false;
    FaceColumns faces;
    for (const auto& mesh : meshes) {
        const auto offset = static_cast<std::int32_t>(xs.size());
        walkVertices(meshField(mesh, "vertices"), [&](const XYZ& p, const MorvLValue& st) {
            xs.push_back(p.x);
            ys.push_back(p.y);
            zs.push_back(p.z);
            sts.push_back(st);
            anySts = anySts || st.kind() != Kind::ABSENT;
        });
        const MorvLValue shifted = displaceFaces2(meshField(mesh, "faces"), offset);
        walkFaces(shifted, [&](std::span<const std::int32_t> vertices, const MorvLValue& surface,
                               const std::vector<MorvLValue>* cornerSts) {
            faces.addFace(vertices, surface);
            if (cornerSts) {
                const std::size_t first = faces.offsets[faces.offsets.size() - 2];
                for (std::size_t c = 0; c < cornerSts->size(); ++c)
                    if ((*cornerSts)[c].kind() != Kind::ABSENT) faces.setCornerSts(first + c, (*cornerSts)[c]);
            }
        });
    }
    if (!anySts) sts.clear();
    MorvLValue vertices = buildVertices(std::move(xs), std::move(ys), std::move(zs), std::move(sts));
    return MorvLValue::Record({{"vertices", std::move(vertices)}, {"faces", std::move(faces).build()}});
}

// ---- Surfaces and images ----

MorvLValue setFaceSurfaceIndex(const MorvLValue& mesh, const MorvLValue& surfaces) {
    std::unordered_map<std::string, std::int32_t> indexByName;
    const std::size_t ns = surfaces.size();
    for (std::size_t i = 0; i < ns; ++i) {
        const std::string name = getStringField(recordOf(surfaces.at(i), "setFaceSurfaceIndex"), "name", "");
        indexByName.emplace(name, static_cast<std::int32_t>(i));  // the first surface of a name wins
    }
    FaceColumns out;
    walkFaces(meshField(mesh, "faces"), [&](std::span<const std::int32_t> vertices, const MorvLValue& surface,
                                            const std::vector<MorvLValue>* sts) {
        MorvLValue index = surface;
        if (surface.kind() == Kind::STRING) {
            auto it = indexByName.find(surface.asString());
            if (it == indexByName.end())
                throw Error("Internal error: Index for surface " + surface.asString() +
                            " not found in function setFaceSurfaceIndex\n");
            index = MorvLValue::Int(it->second);
        }
        out.addFace(vertices, std::move(index));
        if (sts) {
            const std::size_t first = out.offsets[out.offsets.size() - 2];
            for (std::size_t c = 0; c < sts->size(); ++c)
                if ((*sts)[c].kind() != Kind::ABSENT) out.setCornerSts(first + c, (*sts)[c]);
        }
    });
    return setField(recordOf(mesh, "setFaceSurfaceIndex"), "faces", std::move(out).build()).record();
}

std::pair<MorvLValue, MorvLValue> getSurfacesImages(const MorvLValue& scene) {
    if (scene.isRecord()) {
        const Fields fields = scene.fields();
        auto surfaces = fields.find("surfaces");
        auto images = fields.find("images");
        if (surfaces && images && surfaces->kind() == Kind::LIST && images->kind() == Kind::LIST)
            return {*surfaces, *images};
    }
    throw Error("Internal error: Could not extract surface-images in getSurfacesImages!\n");
}

MorvLValue mapVertexPoints(const MorvLValue& vertices, const std::function<XYZ(const XYZ&)>& fn) {
    if (PackedView::of(vertices)) {
        std::vector<double> xs, ys, zs;
        std::vector<MorvLValue> sts;
        bool anySts = false;
        xs.reserve(vertices.size());
        ys.reserve(vertices.size());
        zs.reserve(vertices.size());
        walkVertices(vertices, [&](const XYZ& p, const MorvLValue& st) {
            const XYZ q = fn(p);
            xs.push_back(q.x);
            ys.push_back(q.y);
            zs.push_back(q.z);
            sts.push_back(st);
            anySts = anySts || st.kind() != Kind::ABSENT;
        });
        if (!anySts) sts.clear();
        return buildVertices(std::move(xs), std::move(ys), std::move(zs), std::move(sts));
    }
    // Hand-built vertex records: keep every field, replace only the point.
    std::vector<MorvLValue> out;
    const std::size_t n = vertices.size();
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const MorvLValue vertex = vertices.at(i);
        const Fields fields = recordOf(vertex, "mapVertexPoints");
        auto point = fields.find("point");
        if (!point || !point->isRecord()) throw Error("Internal error: Expected record field \"point\" not found!\n");
        const XYZ q = fn(RecordToXYZ(point->fields()));
        out.push_back(setField(fields, "point", makePointRecord(q.x, q.y, q.z)).record());
    }
    return MorvLValue::List(std::move(out));
}

void forEachVertexPoint(const MorvLValue& mesh, const std::function<void(const XYZ&)>& fn) {
    walkVertices(meshField(mesh, "vertices"), [&](const XYZ& p, const MorvLValue&) { fn(p); });
}

void forEachFace(const MorvLValue& mesh,
                 const std::function<void(std::span<const std::int32_t>, const MorvLValue&)>& fn) {
    walkFaces(meshField(mesh, "faces"),
              [&](std::span<const std::int32_t> vertices, const MorvLValue& surface, const std::vector<MorvLValue>*) {
                  fn(vertices, surface);
              });
}

std::int32_t ImageTable::enter(const std::string& fileName, MorvLValue record) {
    auto [it, added] = index_.emplace(fileName, static_cast<std::int32_t>(images_.size()));
    if (added) images_.push_back(std::move(record));
    return it->second;
}

std::int32_t ImageTable::indexOf(const std::string& fileName) const {
    auto it = index_.find(fileName);
    if (it == index_.end()) throw Error("Internal error: Filename " + fileName + " not in table as expected!\n");
    return it->second;
}

MorvLValue imageAt(const MorvLValue& images, std::int32_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= images.size())
        throw Error("Internal error: Image index " + intToText(index) + " not found!\n");
    return images.at(static_cast<std::size_t>(index));
}

}  // namespace morv
