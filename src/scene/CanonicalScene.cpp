#include "scene/CanonicalScene.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"

namespace morv {

namespace {

// Texture coordinate slots of vertices or of corners, kept packed: s and t of
// all slots in two columns of reals, with a mark only once some slot is one
// that no map covers, and each owner's sts ARRAY a slice of them. A UV-mapped
// mesh pays 16 bytes per slot and no allocation per vertex.
//
// Owners set once each in ascending order (as readers and walks fill a mesh)
// are recorded as they come, as the slices' offsets; any other order switches
// to a list of runs that packInto sorts, the last setting of an owner winning.
class StColumn {
public:
    bool empty() const { return ordered_ ? present_.empty() : runs_.empty(); }

    void reserve(std::size_t owners, std::size_t values) {
        offsets_.reserve(owners + 1);
        present_.reserve(owners);
        s_.reserve(values);
        t_.reserve(values);
    }

    void set(std::size_t owner, std::span<const std::optional<ST>> slots) {
        beginOwner(owner, s_.size(), slots.size());
        for (const auto& slot : slots) slot ? add(slot->s, slot->t) : addUncovered();
    }

    // sts: an ARRAY whose elements are st records, or records without s and t
    // for slots no map covers; Absent leaves the owner without sts.
    void set(std::size_t owner, const MorvLValue& sts) {
        if (sts.kind() == Kind::ABSENT) return;
        if (sts.kind() != Kind::ARRAY) throw Error("Internal error: texture coordinates are not an ARRAY\n");
        const std::size_t n = sts.size();
        beginOwner(owner, s_.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            const MorvLValue slot = sts.at(i);
            auto sv = slot.isRecord() ? slot.fields().find("s") : std::nullopt;
            auto tv = slot.isRecord() ? slot.fields().find("t") : std::nullopt;
            if (sv && tv && sv->kind() == Kind::REAL && tv->kind() == Kind::REAL)
                add(sv->asReal(), tv->asReal());
            else
                addUncovered();
        }
    }

    // One covered slot for each of n owners, ownerOf(i) holding s[i] and
    // t[i]; the columns are taken over whole when nothing is held yet.
    template <class OwnerOf>
    void appendOneSlotEach(std::size_t n, OwnerOf ownerOf, std::vector<double> s, std::vector<double> t) {
        if (s.size() != n || t.size() != n) throw Bug("Internal error: texture coordinates given whole do not fit the mesh\n");
        if (n > std::numeric_limits<std::uint32_t>::max() - s_.size())
            throw Error("Internal error: too many texture coordinates in one mesh\n");
        const std::size_t first = s_.size();
        if (first == 0) {
            s_ = std::move(s);
            t_ = std::move(t);
        } else {
            s_.insert(s_.end(), s.begin(), s.end());
            t_.insert(t_.end(), t.begin(), t.end());
        }
        if (!covered_.empty()) covered_.resize(s_.size(), true);
        const std::size_t prior = present_.size();
        if (!ordered_ || n == 0 || ownerOf(0) < prior) {
            for (std::size_t i = 0; i < n; ++i) beginOwner(ownerOf(i), first + i, 1);
            return;
        }
        // Ascending owners past those so far: the offsets are written in one go.
        const std::size_t end = ownerOf(n - 1) + 1;
        if (end >= std::numeric_limits<std::uint32_t>::max())
            throw Error("Internal error: too many texture coordinates in one mesh\n");
        offsets_.resize(end + 1);
        present_.resize(end, false);
        std::size_t i = 0;
        for (std::size_t owner = prior; owner < end; ++owner) {
            offsets_[owner] = static_cast<std::uint32_t>(first + i);
            if (i < n && ownerOf(i) == owner) {
                present_[owner] = true;
                ++i;
            }
        }
        offsets_[end] = static_cast<std::uint32_t>(first + i);
        if (i != n) throw Bug("Internal error: texture coordinates given whole are not in ascending order\n");
    }

    // Column `column` of owners becomes the owners' sts ARRAYs; owners that
    // were given none lack the field.
    void packInto(PackedRecords& owners, std::size_t column) && {
        const std::size_t n = owners.rows();
        if (!ordered_) gatherRuns(n);
        if (present_.size() > n) throw Bug("Internal error: texture coordinates for a missing vertex or corner\n");
        offsets_.resize(n + 1, offsets_.back());
        present_.resize(n, false);
        PackedRecords slots({"s", "t"}, s_.size());
        slots.setReals(0, std::move(s_), covered_);
        slots.setReals(1, std::move(t_), std::move(covered_));
        owners.setSlices(column, std::move(slots), std::move(offsets_), Kind::ARRAY, std::move(present_));
    }

private:
    struct Run {
        std::uint32_t owner;
        std::uint32_t first, count;
    };

    // The owner's slots are to be s_[firstSlot .. firstSlot + count).
    void beginOwner(std::size_t owner, std::size_t firstSlot, std::size_t count) {
        if (count > std::numeric_limits<std::uint32_t>::max() - firstSlot ||
            owner >= std::numeric_limits<std::uint32_t>::max())
            throw Error("Internal error: too many texture coordinates in one mesh\n");
        const auto first = static_cast<std::uint32_t>(firstSlot);
        if (ordered_ && owner >= present_.size()) {
            offsets_.resize(owner + 1, first);  // owners skipped in between have no slots
            offsets_.push_back(static_cast<std::uint32_t>(first + count));
            present_.resize(owner, false);
            present_.push_back(true);
            return;
        }
        if (ordered_) {
            for (std::size_t o = 0; o < present_.size(); ++o)
                if (present_[o])
                    runs_.push_back({static_cast<std::uint32_t>(o), offsets_[o], offsets_[o + 1] - offsets_[o]});
            ordered_ = false;
        }
        runs_.push_back({static_cast<std::uint32_t>(owner), first, static_cast<std::uint32_t>(count)});
    }

    void add(double s, double t) {
        s_.push_back(s);
        t_.push_back(t);
        if (!covered_.empty()) covered_.push_back(true);
    }
    void addUncovered() {
        if (covered_.empty()) covered_.assign(s_.size(), true);
        s_.push_back(0);
        t_.push_back(0);
        covered_.push_back(false);
    }

    // The runs as ordered columns, the last run of each owner winning.
    void gatherRuns(std::size_t owners) {
        std::stable_sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.owner < b.owner; });
        if (!runs_.empty() && runs_.back().owner >= owners)
            throw Bug("Internal error: texture coordinates for a missing vertex or corner\n");
        std::vector<double> s, t;
        std::vector<bool> covered;
        offsets_.assign(1, 0);
        present_.clear();
        for (std::size_t r = 0; r < runs_.size(); ++r) {
            const Run& run = runs_[r];
            if (r + 1 < runs_.size() && runs_[r + 1].owner == run.owner) continue;
            offsets_.resize(run.owner + 1, static_cast<std::uint32_t>(s.size()));
            present_.resize(run.owner, false);
            present_.push_back(true);
            s.insert(s.end(), s_.begin() + run.first, s_.begin() + run.first + run.count);
            t.insert(t.end(), t_.begin() + run.first, t_.begin() + run.first + run.count);
            if (!covered_.empty())
                covered.insert(covered.end(), covered_.begin() + run.first, covered_.begin() + run.first + run.count);
            offsets_.push_back(static_cast<std::uint32_t>(s.size()));
        }
        s_ = std::move(s);
        t_ = std::move(t);
        covered_ = std::move(covered);
        runs_.clear();
        ordered_ = true;
    }

    bool ordered_ = true;
    std::vector<std::uint32_t> offsets_{0};  // ordered: the first slot of each owner so far, then the end
    std::vector<bool> present_;              // ordered: the owners so far that have slots
    std::vector<Run> runs_;                  // otherwise: every setting
    std::vector<double> s_, t_;
    std::vector<bool> covered_;  // per slot; empty while every slot is covered
};

// Column storage of a faces list before it is packed.
struct FaceColumns {
    std::vector<std::uint32_t> offsets{0};
    std::vector<std::int32_t> cornerVertices;
    StColumn cornerSts;
    std::vector<std::int32_t> surfaceIndices;  // while every surface is an INT
    std::vector<MorvLValue> surfaces;          // from the first that is not: all of them

    std::size_t faceCount() const { return offsets.size() - 1; }

    // Corner indices of either signedness; the builder hands out unsigned ones.
    template <class Index>
    void addFace(std::span<const Index> vertices, MorvLValue surface) {
        if (vertices.size() > std::numeric_limits<std::uint32_t>::max() - cornerVertices.size())
            throw Error("Internal error: too many polygon corners in one mesh\n");
        cornerVertices.insert(cornerVertices.end(), vertices.begin(), vertices.end());
        offsets.push_back(static_cast<std::uint32_t>(cornerVertices.size()));
        if (surfaces.empty() && surface.kind() == Kind::INT) {
            surfaceIndices.push_back(surface.asInt());
            return;
        }
        if (surfaces.empty()) {
            surfaces.reserve(surfaceIndices.size() + 1);
            for (const std::int32_t i : surfaceIndices) surfaces.push_back(MorvLValue::Int(i));
            std::vector<std::int32_t>().swap(surfaceIndices);
        }
        surfaces.push_back(std::move(surface));
    }
    // Faces given whole; see MeshBuilder::addFaces.
    void addFaces(std::vector<std::uint32_t> newOffsets, std::vector<std::int32_t> corners,
                  std::vector<std::int32_t> newSurfaces) {
        if (newOffsets.size() != newSurfaces.size() + 1 || newOffsets.front() != 0 || newOffsets.back() != corners.size())
            throw Bug("Internal error: faces given whole do not fit together\n");
        if (corners.size() > std::numeric_limits<std::uint32_t>::max() - cornerVertices.size())
            throw Error("Internal error: too many polygon corners in one mesh\n");
        if (faceCount() == 0 && surfaces.empty()) {
            offsets = std::move(newOffsets);
            cornerVertices = std::move(corners);
            surfaceIndices = std::move(newSurfaces);
            return;
        }
        const auto base = static_cast<std::uint32_t>(cornerVertices.size());
        for (std::size_t f = 1; f < newOffsets.size(); ++f) offsets.push_back(base + newOffsets[f]);
        cornerVertices.insert(cornerVertices.end(), corners.begin(), corners.end());
        if (surfaces.empty())
            surfaceIndices.insert(surfaceIndices.end(), newSurfaces.begin(), newSurfaces.end());
        else
            for (const std::int32_t i : newSurfaces) surfaces.push_back(MorvLValue::Int(i));
    }
    // Corner c of the face added last.
    std::size_t lastFaceCorner(std::size_t c) const { return offsets[offsets.size() - 2] + c; }

    MorvLValue build() && {
        const std::size_t corners = cornerVertices.size();
        const bool withSts = !cornerSts.empty();
        PackedRecords cornerTable(withSts ? std::vector<std::string>{"vertex", "sts"} : std::vector<std::string>{"vertex"},
                                  corners);
        cornerTable.setInts(0, std::move(cornerVertices));
        if (withSts) std::move(cornerSts).packInto(cornerTable, 1);
        PackedRecords faces({"corners", "surface"}, faceCount());
        faces.setSlices(0, std::move(cornerTable), std::move(offsets));
        if (surfaces.empty())
            faces.setInts(1, std::move(surfaceIndices));
        else
            faces.setValues(1, std::move(surfaces));
        return std::move(faces).toList();
    }

    // Appends a face read by a walk, with its corner coordinates.
    void addWalkedFace(std::span<const std::int32_t> vertices, MorvLValue surface,
                       const std::vector<MorvLValue>* sts) {
        addFace(vertices, std::move(surface));
        if (sts)
            for (std::size_t c = 0; c < sts->size(); ++c) cornerSts.set(lastFaceCorner(c), (*sts)[c]);
    }
};

Fields recordOf(const MorvLValue& v, std::string_view what) {
    if (!v.isRecord()) throw Error(std::string("record match error: function ") + std::string(what));
    return v.fields();
}

MorvLValue meshField(const MorvLValue& mesh, std::string_view name) {
    return forceGetListField(recordOf(mesh, "mesh"), name);
}

// Calls fn(corner vertex indices, surface, corner sts or nullptr) for every
// face. Callers that ignore the sts (WithSts false) get packed faces read in
// place even when their corners carry texture coordinates.
template <bool WithSts = true, class Fn>
void walkFaces(const MorvLValue& faces, Fn&& fn) {
    if (auto view = PackedView::of(faces)) {
        auto cornersCol = view->column("corners");
        auto surfaceCol = view->column("surface");
        if (cornersCol && surfaceCol && !view->offsets(*cornersCol).empty() && !view->hasValues(*surfaceCol)) {
            auto offsets = view->offsets(*cornersCol);
            auto child = view->sliceChild(*cornersCol);
            auto vertexCol = child->column("vertex");
            auto surfaces = view->ints(*surfaceCol);
            if (vertexCol && child->ints(*vertexCol).size() == child->rows() && (!WithSts || !child->column("sts")) &&
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

namespace {
MorvLValue buildVertices(std::vector<double> xs, std::vector<double> ys, std::vector<double> zs, StColumn sts) {
    const std::size_t n = xs.size();
    PackedRecords points({"x", "y", "z"}, n);
    points.setReals(0, std::move(xs));
    points.setReals(1, std::move(ys));
    points.setReals(2, std::move(zs));
    const bool withSts = !sts.empty();
    PackedRecords vertices(withSts ? std::vector<std::string>{"point", "sts"} : std::vector<std::string>{"point"}, n);
    vertices.setNested(0, std::move(points));
    if (withSts) std::move(sts).packInto(vertices, 1);
    return std::move(vertices).toList();
}

const char* const faceKindNames[] = {"polygon", "subPatch", "catmullClark"};

MorvLValue faceKindsValue(const std::vector<FaceKindRun>& runs) {
    std::vector<MorvLValue> items;
    items.reserve(runs.size());
    for (const FaceKindRun& run : runs)
        items.push_back(MorvLValue::Record({{"kind", MorvLValue::String(faceKindNames[static_cast<int>(run.kind)])},
                                            {"faces", MorvLValue::Int(static_cast<std::int32_t>(run.count))}}));
    return MorvLValue::List(std::move(items));
}

// Adds n faces of a kind, starting at face `first`, to runs that are kept
// only once some face is not a polygon.
void addKindRun(std::vector<FaceKindRun>& runs, FaceKind kind, std::size_t first, std::size_t n) {
    if (n == 0 || (runs.empty() && kind == FaceKind::Polygon)) return;
    if (runs.empty() && first > 0) runs.push_back({FaceKind::Polygon, 0, first});
    if (!runs.empty() && runs.back().kind == kind)
        runs.back().count += n;
    else
        runs.push_back({kind, first, n});
}

}  // namespace

std::vector<FaceKindRun> faceKindRuns(const MorvLValue& mesh) {
    const std::size_t faces = meshField(mesh, "faces").size();
    std::vector<FaceKindRun> runs;
    const auto field = recordOf(mesh, "faceKindRuns").find("faceKinds");
    if (!field) {
        if (faces > 0) runs.push_back({FaceKind::Polygon, 0, faces});
        return runs;
    }
    const auto bad = [] { throw Error("Internal error: the face kinds of a mesh do not fit its faces\n"); };
    if (field->kind() != Kind::LIST) bad();
    std::size_t next = 0;
    for (std::size_t i = 0; i < field->size(); ++i) {
        const MorvLValue run = field->at(i);
        if (!run.isRecord()) bad();
        const std::string name = getStringField(run.fields(), "kind", "");
        const auto count = findIntegerField(run.fields(), "faces");
        const auto* known = std::find(std::begin(faceKindNames), std::end(faceKindNames), name);
        if (known == std::end(faceKindNames) || !count || *count < 0) bad();
        const auto kind = static_cast<FaceKind>(known - std::begin(faceKindNames));
        const auto n = static_cast<std::size_t>(*count);
        if (n > faces - next) bad();
        if (n == 0) continue;
        if (!runs.empty() && runs.back().kind == kind)
            runs.back().count += n;
        else
            runs.push_back({kind, next, n});
        next += n;
    }
    if (next != faces) bad();
    return runs;
}

MorvLValue layerRecord(const MeshLayer& layer) {
    std::vector<Field> fields{{"number", MorvLValue::Int(layer.number)},
                              {"flags", MorvLValue::Int(layer.flags)},
                              {"name", MorvLValue::String(layer.name)},
                              {"pivot", makePointRecord(layer.pivot.x, layer.pivot.y, layer.pivot.z)}};
    if (layer.parent) fields.push_back({"parent", MorvLValue::Int(*layer.parent)});
    fields.push_back({"vertices", MorvLValue::Int(static_cast<std::int32_t>(layer.vertices))});
    fields.push_back({"faces", MorvLValue::Int(static_cast<std::int32_t>(layer.faces))});
    return MorvLValue::Record(std::move(fields));
}

std::vector<MeshLayer> meshLayers(const MorvLValue& mesh) {
    const auto field = recordOf(mesh, "meshLayers").find("layers");
    if (!field || field->kind() != Kind::LIST) return {};
    std::vector<MeshLayer> layers;
    std::size_t vertices = 0, faces = 0;
    for (std::size_t i = 0; i < field->size(); ++i) {
        const MorvLValue item = field->at(i);
        if (!item.isRecord()) return {};
        const Fields f = item.fields();
        const auto number = findIntegerField(f, "number"), flags = findIntegerField(f, "flags");
        const auto name = f.find("name"), pivot = f.find("pivot"), parent = f.find("parent");
        const auto v = findIntegerField(f, "vertices"), n = findIntegerField(f, "faces");
        if (!number || !flags || !name || name->kind() != Kind::STRING || !pivot || !pivot->isRecord() || !v ||
            *v < 0 || !n || *n < 0 || (parent && parent->kind() != Kind::INT))
            return {};
        MeshLayer layer{*number, *flags, name->asString(), RecordToXYZ(pivot->fields()), std::nullopt,
                        static_cast<std::size_t>(*v), static_cast<std::size_t>(*n)};
        if (parent) layer.parent = parent->asInt();
        vertices += layer.vertices;
        faces += layer.faces;
        layers.push_back(std::move(layer));
    }
    if (vertices != meshField(mesh, "vertices").size() || faces != meshField(mesh, "faces").size()) return {};
    return layers;
}

std::vector<std::string> stNames(const MorvLValue& mesh) {
    const auto field = recordOf(mesh, "stNames").find("stNames");
    std::vector<std::string> names;
    if (!field || field->kind() != Kind::LIST) return names;
    for (std::size_t i = 0; i < field->size(); ++i) {
        const MorvLValue name = field->at(i);
        names.push_back(name.kind() == Kind::STRING ? name.asString() : "");
    }
    return names;
}

struct MeshBuilder::Parts {
    std::vector<double> xs, ys, zs;
    StColumn vertexSts;
    FaceColumns faces;
    std::vector<FaceKindRun> kinds;  // empty while every face is a polygon
    std::vector<MeshLayer> layers;
    std::size_t layeredVertices = 0, layeredFaces = 0;
    std::vector<std::string> stNames;
};

MeshBuilder::MeshBuilder() : parts_(std::make_unique<Parts>()) {}
MeshBuilder::MeshBuilder(MeshBuilder&&) noexcept = default;
MeshBuilder& MeshBuilder::operator=(MeshBuilder&&) noexcept = default;
MeshBuilder::~MeshBuilder() = default;

std::size_t MeshBuilder::vertexCount() const { return parts_->xs.size(); }
std::size_t MeshBuilder::faceCount() const { return parts_->faces.faceCount(); }
std::size_t MeshBuilder::cornerCount() const { return parts_->faces.cornerVertices.size(); }

void MeshBuilder::reserve(std::size_t vertices, std::size_t faces, std::size_t corners) {
    parts_->xs.reserve(vertices);
    parts_->ys.reserve(vertices);
    parts_->zs.reserve(vertices);
    parts_->faces.offsets.reserve(faces + 1);
    parts_->faces.surfaceIndices.reserve(faces);
    parts_->faces.cornerVertices.reserve(corners);
}

void MeshBuilder::reserveVertexSts(std::size_t vertices, std::size_t values) {
    parts_->vertexSts.reserve(vertices, values);
}

std::uint32_t MeshBuilder::addVertex(const XYZ& p) {
    if (parts_->xs.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw Error("Internal error: too many vertices in one mesh\n");
    parts_->xs.push_back(p.x);
    parts_->ys.push_back(p.y);
    parts_->zs.push_back(p.z);
    return static_cast<std::uint32_t>(parts_->xs.size() - 1);
}

void MeshBuilder::addVertices(std::vector<double> xs, std::vector<double> ys, std::vector<double> zs) {
    if (ys.size() != xs.size() || zs.size() != xs.size())
        throw Bug("Internal error: vertex columns of different lengths\n");
    Parts& p = *parts_;
    if (xs.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - p.xs.size())
        throw Error("Internal error: too many vertices in one mesh\n");
    if (p.xs.empty()) {
        p.xs = std::move(xs);
        p.ys = std::move(ys);
        p.zs = std::move(zs);
        return;
    }
    p.xs.insert(p.xs.end(), xs.begin(), xs.end());
    p.ys.insert(p.ys.end(), ys.begin(), ys.end());
    p.zs.insert(p.zs.end(), zs.begin(), zs.end());
}

void MeshBuilder::addVertexStsOfOneSlot(std::span<const std::uint32_t> vertices, std::size_t base,
                                        std::vector<double> s, std::vector<double> t) {
    for (const std::uint32_t v : vertices)
        if (base + v >= parts_->xs.size()) throw Bug("Internal error: texture coordinates for a missing vertex\n");
    parts_->vertexSts.appendOneSlotEach(
        vertices.size(), [&](std::size_t i) { return base + vertices[i]; }, std::move(s), std::move(t));
}

void MeshBuilder::setVertexSts(std::uint32_t vertex, std::span<const std::optional<ST>> slots) {
    if (vertex >= parts_->xs.size()) throw Bug("Internal error: texture coordinates for a missing vertex\n");
    parts_->vertexSts.set(vertex, slots);
}
void MeshBuilder::setVertexSts(std::uint32_t vertex, const MorvLValue& sts) {
    if (vertex >= parts_->xs.size()) throw Bug("Internal error: texture coordinates for a missing vertex\n");
    parts_->vertexSts.set(vertex, sts);
}

void MeshBuilder::addFace(std::span<const std::uint32_t> vertices, MorvLValue surface) {
    addKindRun(parts_->kinds, FaceKind::Polygon, parts_->faces.faceCount(), 1);
    parts_->faces.addFace(vertices, std::move(surface));
}

void MeshBuilder::addFaces(std::vector<std::uint32_t> offsets, std::vector<std::int32_t> corners,
                           std::vector<std::int32_t> surfaces, FaceKind kind) {
    addKindRun(parts_->kinds, kind, parts_->faces.faceCount(), surfaces.size());
    parts_->faces.addFaces(std::move(offsets), std::move(corners), std::move(surfaces));
}

void MeshBuilder::addLayer(MeshLayer header) {
    Parts& p = *parts_;
    header.vertices = p.xs.size() - p.layeredVertices;
    header.faces = p.faces.faceCount() - p.layeredFaces;
    p.layeredVertices = p.xs.size();
    p.layeredFaces = p.faces.faceCount();
    p.layers.push_back(std::move(header));
}

void MeshBuilder::setStNames(std::vector<std::string> names) { parts_->stNames = std::move(names); }

void MeshBuilder::setCornerSts(std::size_t corner, std::span<const std::optional<ST>> slots) {
    setMeshCornerSts(parts_->faces.lastFaceCorner(corner), slots);
}

void MeshBuilder::setMeshCornerSts(std::size_t corner, std::span<const std::optional<ST>> slots) {
    if (corner >= parts_->faces.cornerVertices.size()) throw Bug("Internal error: texture coordinates for a missing corner\n");
    parts_->faces.cornerSts.set(corner, slots);
}
void MeshBuilder::setCornerSts(std::size_t corner, const MorvLValue& sts) {
    parts_->faces.cornerSts.set(parts_->faces.lastFaceCorner(corner), sts);
}

void MeshBuilder::setAllCornerSts(std::vector<double> s, std::vector<double> t) {
    if (s.size() != parts_->faces.cornerVertices.size())
        throw Bug("Internal error: texture coordinates given whole do not fit the mesh\n");
    if (!parts_->faces.cornerSts.empty()) throw Bug("Internal error: texture coordinates given whole do not fit the mesh\n");
    const std::size_t n = s.size();
    parts_->faces.cornerSts.appendOneSlotEach(n, [](std::size_t i) { return i; }, std::move(s), std::move(t));
}

MorvLValue MeshBuilder::build() && {
    Parts& p = *parts_;
    MorvLValue vertices = buildVertices(std::move(p.xs), std::move(p.ys), std::move(p.zs), std::move(p.vertexSts));
    std::vector<Field> mesh{{"vertices", std::move(vertices)}, {"faces", std::move(p.faces).build()}};
    if (!p.kinds.empty()) mesh.push_back({"faceKinds", faceKindsValue(p.kinds)});
    if (!p.layers.empty()) {
        std::vector<MorvLValue> layers;
        for (const MeshLayer& layer : p.layers) layers.push_back(layerRecord(layer));
        mesh.push_back({"layers", MorvLValue::List(std::move(layers))});
    }
    if (!p.stNames.empty()) {
        std::vector<MorvLValue> names;
        for (std::string& name : p.stNames) names.push_back(MorvLValue::String(std::move(name)));
        mesh.push_back({"stNames", MorvLValue::List(std::move(names))});
    }
    return MorvLValue::Record(std::move(mesh));
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
        out.addWalkedFace(shifted, surface, sts);
    });
    return std::move(out).build();
}

MorvLValue mergeMeshList(const std::vector<MorvLValue>& meshes) {
    if (meshes.empty()) throw Bug("Internal error: No meshes in mergeMeshList!\n");
    if (meshes.size() == 1) return meshes.front();
    std::vector<double> xs, ys, zs;
    StColumn sts;
    FaceColumns faces;
    std::vector<FaceKindRun> kinds;
    for (const auto& mesh : meshes) {
        for (const FaceKindRun& run : faceKindRuns(mesh))
            addKindRun(kinds, run.kind, faces.faceCount() + run.first, run.count);
        const auto offset = static_cast<std::int32_t>(xs.size());
        walkVertices(meshField(mesh, "vertices"), [&](const XYZ& p, const MorvLValue& st) {
            sts.set(xs.size(), st);
            xs.push_back(p.x);
            ys.push_back(p.y);
            zs.push_back(p.z);
        });
        walkFaces(displaceFaces2(meshField(mesh, "faces"), offset),
                  [&](std::span<const std::int32_t> vertices, const MorvLValue& surface,
                      const std::vector<MorvLValue>* cornerSts) { faces.addWalkedFace(vertices, surface, cornerSts); });
    }
    MorvLValue vertices = buildVertices(std::move(xs), std::move(ys), std::move(zs), std::move(sts));
    std::vector<Field> mesh{{"vertices", std::move(vertices)}, {"faces", std::move(faces).build()}};
    if (!kinds.empty()) mesh.push_back({"faceKinds", faceKindsValue(kinds)});
    return MorvLValue::Record(std::move(mesh));
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
        out.addWalkedFace(vertices, std::move(index), sts);
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
        StColumn sts;
        xs.reserve(vertices.size());
        ys.reserve(vertices.size());
        zs.reserve(vertices.size());
        walkVertices(vertices, [&](const XYZ& p, const MorvLValue& st) {
            sts.set(xs.size(), st);
            const XYZ q = fn(p);
            xs.push_back(q.x);
            ys.push_back(q.y);
            zs.push_back(q.z);
        });
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
    walkFaces<false>(meshField(mesh, "faces"), [&](std::span<const std::int32_t> vertices, const MorvLValue& surface,
                                                   const std::vector<MorvLValue>*) { fn(vertices, surface); });
}

// ---- Writers' helpers ----

MorvLValue reverseFaceWindings(const MorvLValue& faces) {
    FaceColumns out;
    std::vector<std::int32_t> reversed;
    std::vector<MorvLValue> reversedSts;
    walkFaces(faces, [&](std::span<const std::int32_t> vertices, const MorvLValue& surface,
                         const std::vector<MorvLValue>* sts) {
        reversed.assign(vertices.begin(), vertices.end());
        if (reversed.size() > 1) std::reverse(reversed.begin() + 1, reversed.end());
        if (sts) {
            reversedSts = *sts;
            if (reversedSts.size() > 1) std::reverse(reversedSts.begin() + 1, reversedSts.end());
        }
        out.addWalkedFace(reversed, surface, sts ? &reversedSts : nullptr);
    });
    return std::move(out).build();
}

void raiseVertexCoordinates(const XYZ& p, std::size_t vertex, std::string_view format, double limit) {
    const bool finite = std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    std::string text = "Vertex " + intToText(static_cast<std::int64_t>(vertex)) + " lies at (" + realToText(p.x) +
                       ", " + realToText(p.y) + ", " + realToText(p.z) + ") after the transforms; ";
    if (!finite)
        text += "a coordinate that is not a finite number cannot be written to " + std::string(format);
    else
        text += std::string(format) + " holds coordinates up to " + realToText(limit) + " in size";
    throw Error(text);
}

namespace {

// The vertices and faces lists in the packed form MeshBuilder makes.
bool hasPackedSlots(const PackedView& owners, std::size_t column) {
    auto slots = owners.sliceChild(column);
    if (!slots || owners.offsets(column).size() != owners.rows() + 1) return false;
    auto s = slots->column("s"), t = slots->column("t");
    return s && t && slots->reals(*s).size() == slots->rows() && slots->reals(*t).size() == slots->rows() &&
           slots->present(*s) == slots->present(*t);
}

bool isPackedVertices(const MorvLValue& vertices) {
    auto view = PackedView::of(vertices);
    if (!view) return false;
    auto pointCol = view->column("point");
    if (!pointCol) return false;
    auto points = view->nested(*pointCol);
    if (!points) return false;
    for (const char* axis : {"x", "y", "z"}) {
        auto c = points->column(axis);
        if (!c || points->reals(*c).size() != view->rows()) return false;
    }
    if (auto sts = view->column("sts"))
        return hasPackedSlots(*view, *sts);
    return true;
}

bool isPackedFaces(const MorvLValue& faces) {
    auto view = PackedView::of(faces);
    if (!view) return false;
    auto cornersCol = view->column("corners");
    auto surfaceCol = view->column("surface");
    if (!cornersCol || !surfaceCol || view->offsets(*cornersCol).size() != view->rows() + 1) return false;
    auto child = view->sliceChild(*cornersCol);
    auto vertexCol = child->column("vertex");
    if (!vertexCol || child->ints(*vertexCol).size() != child->rows()) return false;
    if (auto sts = child->column("sts"); sts && !hasPackedSlots(*child, *sts)) return false;
    return view->ints(*surfaceCol).size() == view->rows() || view->values(*surfaceCol).size() == view->rows();
}

}  // namespace

MeshView::MeshView(const MorvLValue& mesh) {
    vertices_ = meshField(mesh, "vertices");
    faces_ = meshField(mesh, "faces");
    if (!isPackedVertices(vertices_)) {
        std::vector<double> xs, ys, zs;
        StColumn sts;
        walkVertices(vertices_, [&](const XYZ& p, const MorvLValue& st) {
            sts.set(xs.size(), st);
            xs.push_back(p.x);
            ys.push_back(p.y);
            zs.push_back(p.z);
        });
        vertices_ = buildVertices(std::move(xs), std::move(ys), std::move(zs), std::move(sts));
    }
    if (!isPackedFaces(faces_)) {
        FaceColumns out;
        walkFaces(faces_, [&](std::span<const std::int32_t> vertices, const MorvLValue& surface,
                              const std::vector<MorvLValue>* sts) { out.addWalkedFace(vertices, surface, sts); });
        faces_ = std::move(out).build();
    }
    const auto slotsOf = [](const PackedView& owners) {
        Slots slots;
        if (auto col = owners.column("sts")) {
            slots.offsets = owners.offsets(*col);
            auto child = owners.sliceChild(*col);
            slots.s = child->reals(*child->column("s"));
            slots.t = child->reals(*child->column("t"));
            slots.covered = &child->present(*child->column("s"));
        }
        return slots;
    };
    const PackedView vertexView = *PackedView::of(vertices_);
    const PackedView points = *vertexView.nested(*vertexView.column("point"));
    xs_ = points.reals(*points.column("x"));
    ys_ = points.reals(*points.column("y"));
    zs_ = points.reals(*points.column("z"));
    vertexSts_ = slotsOf(vertexView);

    const PackedView faceView = *PackedView::of(faces_);
    const std::size_t cornersCol = *faceView.column("corners");
    offsets_ = faceView.offsets(cornersCol);
    const PackedView corners = *faceView.sliceChild(cornersCol);
    cornerVertices_ = corners.ints(*corners.column("vertex"));
    cornerSts_ = slotsOf(corners);
    const std::size_t surfaceCol = *faceView.column("surface");
    surfaceInts_ = faceView.ints(surfaceCol);
    surfaceValues_ = faceView.values(surfaceCol);
    kindRuns_ = faceKindRuns(mesh);
}

FaceKind MeshView::faceKind(std::size_t face) const {
    if (kindRuns_.size() <= 1) return kindRuns_.empty() ? FaceKind::Polygon : kindRuns_.front().kind;
    const auto after = std::upper_bound(kindRuns_.begin(), kindRuns_.end(), face,
                                        [](std::size_t f, const FaceKindRun& run) { return f < run.first; });
    return std::prev(after)->kind;
}

// ---- Brush placements ----

MorvLValue withFacePlacements(const MorvLValue& mesh, FacePlacementColumns columns) {
    const std::size_t n = columns[0].size();
    for (const auto& column : columns)
        if (column.size() != n) throw Bug("Internal error: brush placement columns of different lengths\n");
    PackedRecords list({"origin", "textureU", "textureV", "pan"}, n);
    for (int member = 0; member < 4; ++member) {
        PackedRecords point({"x", "y", "z"}, n);
        for (int axis = 0; axis < 3; ++axis) point.setReals(axis, std::move(columns[3 * member + axis]));
        list.setNested(member, std::move(point));
    }
    return setField(recordOf(mesh, "withFacePlacements"), facePlacementsField, std::move(list).toList()).record();
}

FacePlacements::FacePlacements(const MorvLValue& mesh) {
    const auto list = recordOf(mesh, "FacePlacements").find(facePlacementsField);
    if (!list || list->kind() != Kind::LIST) return;
    list_ = *list;
    if (auto view = PackedView::of(list_)) {
        int c = 0;
        for (const char* member : {"origin", "textureU", "textureV", "pan"}) {
            const auto column = view->column(member);
            const auto points = column ? view->nested(*column) : std::nullopt;
            for (const char* axis : {"x", "y", "z"}) {
                const auto a = points ? points->column(axis) : std::nullopt;
                if (a) columns_[c] = points->reals(*a);
                ++c;
            }
        }
        if (std::all_of(std::begin(columns_), std::end(columns_),
                        [&](std::span<const double> s) { return s.size() == view->rows(); }))
            return;
    }
    // Built by hand: read once into columns of its own (no pan: zero).
    const std::size_t n = list_.size();
    owned_.assign(12 * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const Fields record = recordOf(list_.at(i), "FacePlacements");
        int c = 0;
        for (const char* member : {"origin", "textureU", "textureV", "pan"}) {
            if (std::string_view(member) == "pan" && !record.find(member)) break;
            const XYZ p = RecordToXYZ(getRecordField(record, member));
            owned_[(c++) * n + i] = p.x, owned_[(c++) * n + i] = p.y, owned_[(c++) * n + i] = p.z;
        }
    }
    for (int c = 0; c < 12; ++c) columns_[c] = std::span<const double>(owned_).subspan(c * n, n);
}

MorvLValue mapFacePlacements(const MorvLValue& mesh, const std::function<FacePlacement(const FacePlacement&)>& fn) {
    const FacePlacements placements(mesh);
    if (placements.size() == 0) return mesh;
    FacePlacementColumns moved;
    for (auto& column : moved) column.resize(placements.size());
    for (std::size_t i = 0; i < placements.size(); ++i) {
        const FacePlacement p = fn(placements[i]);
        int c = 0;
        for (const XYZ& v : {p.origin, p.textureU, p.textureV, p.pan})
            for (const double value : {v.x, v.y, v.z}) moved[c++][i] = value;
    }
    return withFacePlacements(mesh, std::move(moved));
}

MorvLValue withMeshNormals(const MorvLValue& mesh, const std::vector<MeshNormal>& normals) {
    if (normals.empty()) return mesh;
    const std::size_t n = normals.size();
    std::vector<std::int32_t> vertices(n), faces(n);
    std::vector<double> xs(n), ys(n), zs(n);
    for (std::size_t i = 0; i < n; ++i) {
        vertices[i] = static_cast<std::int32_t>(normals[i].vertex);
        faces[i] = normals[i].face;
        xs[i] = normals[i].normal.x, ys[i] = normals[i].normal.y, zs[i] = normals[i].normal.z;
    }
    PackedRecords list({"vertex", "face", "x", "y", "z"}, n);
    list.setInts(0, std::move(vertices));
    list.setInts(1, std::move(faces));
    list.setReals(2, std::move(xs));
    list.setReals(3, std::move(ys));
    list.setReals(4, std::move(zs));
    return setField(recordOf(mesh, "withMeshNormals"), meshNormalsField, std::move(list).toList()).record();
}

std::vector<MeshNormal> meshNormals(const MorvLValue& mesh) {
    const auto list = recordOf(mesh, "meshNormals").find(meshNormalsField);
    if (!list || list->kind() != Kind::LIST) return {};
    const std::size_t n = list->size();
    std::vector<MeshNormal> out(n);
    if (const auto view = PackedView::of(*list)) {
        const auto ints = [&](const char* name) {
            const auto c = view->column(name);
            return c ? view->ints(*c) : std::span<const std::int32_t>();
        };
        const auto reals = [&](const char* name) {
            const auto c = view->column(name);
            return c ? view->reals(*c) : std::span<const double>();
        };
        const auto vs = ints("vertex"), fs = ints("face");
        const auto xs = reals("x"), ys = reals("y"), zs = reals("z");
        if (vs.size() == n && fs.size() == n && xs.size() == n && ys.size() == n && zs.size() == n) {
            for (std::size_t i = 0; i < n; ++i)
                out[i] = {static_cast<std::uint32_t>(vs[i]), fs[i], {xs[i], ys[i], zs[i]}};
            return out;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {  // built by hand
        const Fields r = recordOf(list->at(i), "meshNormals");
        out[i] = {static_cast<std::uint32_t>(findIntegerField(r, "vertex").value_or(0)),
                  findIntegerField(r, "face").value_or(-1), RecordToXYZ(r)};
    }
    return out;
}

std::optional<ST> MeshView::cornerSt(std::size_t slot, std::size_t corner) const {
    if (auto own = cornerSts_.get(slot, corner)) return own;
    const std::int32_t v = cornerVertices_[corner];
    if (v < 0 || static_cast<std::size_t>(v) >= vertexCount()) return std::nullopt;
    return vertexSts_.get(slot, static_cast<std::size_t>(v));
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
