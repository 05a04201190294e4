#include "exporters/gltf/SubdivisionModule.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <numeric>

#include <opensubdiv/far/error.h>
#include <opensubdiv/far/primvarRefiner.h>
#include <opensubdiv/far/topologyDescriptor.h>
#include <opensubdiv/far/topologyRefinerFactory.h>

namespace morv {
namespace {

namespace Far = OpenSubdiv::Far;
namespace Sdc = OpenSubdiv::Sdc;

constexpr int maxLevel = 6;
// Quads out at most: keeps every count OpenSubdiv holds in an int and the
// writer's corner indices (4 per quad) in 32 bits.
constexpr std::uint64_t maxQuads = std::uint64_t{1} << 27;

// Primvar buffers for OpenSubdiv's templated refiner: N doubles per value.
template <int N>
struct Values {
    std::array<double, N> v{};
    void Clear() { v.fill(0); }
    void AddWithWeight(const Values& src, double weight) {
        for (int i = 0; i < N; ++i) v[i] += weight * src.v[i];
    }
};
using Point = Values<3>;
using Coords = Values<2>;
using Refiner = Far::PrimvarRefinerReal<double>;

// The cage in OpenSubdiv's terms: only the points faces use, UVs welded per point.
struct Topology {
    std::vector<int> vertsPerFace;
    std::vector<int> faceVerts;   // into points
    std::vector<Point> points;
    std::vector<int> faceUVs;     // into uvs, one per corner; empty without UVs
    std::vector<Coords> uvs;
};

bool finite(const double* v, int n) {
    return std::all_of(v, v + n, [](double x) { return std::isfinite(x); });
}

// Refined points lie within the cage, so a cage within float range gives floats.
bool fitsFloat(const std::array<double, 3>& p) {
    return std::all_of(p.begin(), p.end(), [](double x) { return std::fabs(x) <= std::numeric_limits<float>::max(); });
}

bool arraysFit(const Cage& cage) {
    const std::size_t faces = cage.faceSurfaces.size();
    if (faces == 0 || cage.faceStarts.size() != faces + 1 || cage.faceStarts.front() != 0 ||
        cage.faceStarts.back() != cage.corners.size())
        return false;
    if (!std::is_sorted(cage.faceStarts.begin(), cage.faceStarts.end())) return false;
    if (!cage.cornerUVs.empty() && cage.cornerUVs.size() != cage.corners.size()) return false;
    return std::all_of(cage.cornerUVs.begin(), cage.cornerUVs.end(), [](const auto& uv) { return finite(uv.data(), 2); });
}

// Faces of at least 3 distinct points, all in range and within float range.
bool facesSound(const Cage& cage) {
    std::vector<std::uint32_t> scratch;
    for (std::size_t f = 0; f + 1 < cage.faceStarts.size(); ++f) {
        const auto begin = cage.corners.begin() + cage.faceStarts[f], end = cage.corners.begin() + cage.faceStarts[f + 1];
        if (end - begin < 3) return false;
        scratch.assign(begin, end);
        std::sort(scratch.begin(), scratch.end());
        if (std::adjacent_find(scratch.begin(), scratch.end()) != scratch.end()) return false;
        if (scratch.back() >= cage.points.size()) return false;
        for (std::uint32_t p : scratch)
            if (!fitsFloat(cage.points[p])) return false;
    }
    return true;
}

// Every edge is used by one face, or by two that run it in opposite directions:
// the cage is a manifold, consistently wound.
bool edgesManifold(const Cage& cage) {
    struct Use {
        std::uint64_t edge;
        bool forward;
    };
    std::vector<Use> uses;
    uses.reserve(cage.corners.size());
    for (std::size_t f = 0; f + 1 < cage.faceStarts.size(); ++f) {
        const std::uint32_t first = cage.faceStarts[f], count = cage.faceStarts[f + 1] - first;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t a = cage.corners[first + i], b = cage.corners[first + (i + 1) % count];
            uses.push_back({std::min(a, b) << 32 | std::max(a, b), a < b});
        }
    }
    std::sort(uses.begin(), uses.end(), [](const Use& x, const Use& y) { return x.edge < y.edge; });
    for (std::size_t i = 0; i < uses.size();) {
        std::size_t j = i + 1;
        while (j < uses.size() && uses[j].edge == uses[i].edge) ++j;
        if (j - i > 2 || (j - i == 2 && uses[i].forward == uses[i + 1].forward)) return false;
        i = j;
    }
    return true;
}

// One face-varying value per distinct (point, UV) pair, so equal UVs at a point
// weld and different ones make a seam.
void weldUVs(const Cage& cage, const std::vector<int>& cornerPoints, Topology& topology) {
    std::vector<std::uint32_t> order(cage.corners.size());
    std::iota(order.begin(), order.end(), 0);
    auto key = [&](std::uint32_t c) { return std::tuple(cornerPoints[c], cage.cornerUVs[c][0], cage.cornerUVs[c][1]); };
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
    topology.faceUVs.resize(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i == 0 || key(order[i]) != key(order[i - 1]))
            topology.uvs.push_back({{cage.cornerUVs[order[i]][0], cage.cornerUVs[order[i]][1]}});
        topology.faceUVs[order[i]] = static_cast<int>(topology.uvs.size() - 1);
    }
}

Topology topologyOf(const Cage& cage) {
    Topology topology;
    std::vector<std::uint32_t> used(cage.corners);
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    topology.points.reserve(used.size());
    for (std::uint32_t p : used) topology.points.push_back({cage.points[p]});
    topology.faceVerts.reserve(cage.corners.size());
    for (std::uint32_t p : cage.corners)
        topology.faceVerts.push_back(static_cast<int>(std::lower_bound(used.begin(), used.end(), p) - used.begin()));
    for (std::size_t f = 0; f + 1 < cage.faceStarts.size(); ++f)
        topology.vertsPerFace.push_back(static_cast<int>(cage.faceStarts[f + 1] - cage.faceStarts[f]));
    if (!cage.cornerUVs.empty()) weldUVs(cage, topology.faceVerts, topology);
    return topology;
}

// OpenSubdiv reports through global callbacks that print by default; a
// refusal is ours to report, so its messages are only noted.
thread_local bool osdComplained = false;
void noteError(Far::ErrorType, const char*) { osdComplained = true; }
void noteWarning(const char*) {}

std::unique_ptr<Far::TopologyRefiner> refinerOf(const Topology& topology, int level) {
    Far::TopologyDescriptor descriptor;
    descriptor.numVertices = static_cast<int>(topology.points.size());
    descriptor.numFaces = static_cast<int>(topology.vertsPerFace.size());
    descriptor.numVertsPerFace = topology.vertsPerFace.data();
    descriptor.vertIndicesPerFace = topology.faceVerts.data();
    Far::TopologyDescriptor::FVarChannel uvChannel;
    if (!topology.uvs.empty()) {
        uvChannel.numValues = static_cast<int>(topology.uvs.size());
        uvChannel.valueIndices = topology.faceUVs.data();
        descriptor.numFVarChannels = 1;
        descriptor.fvarChannels = &uvChannel;
    }
    Sdc::Options rules;
    rules.SetVtxBoundaryInterpolation(Sdc::Options::VTX_BOUNDARY_EDGE_AND_CORNER);
    rules.SetFVarLinearInterpolation(Sdc::Options::FVAR_LINEAR_BOUNDARIES);
    Far::TopologyRefinerFactory<Far::TopologyDescriptor>::Options options(Sdc::SCHEME_CATMARK, rules);
    options.validateFullTopology = true;
    osdComplained = false;
    Far::SetErrorCallback(noteError);
    Far::SetWarningCallback(noteWarning);
    std::unique_ptr<Far::TopologyRefiner> refiner(
        Far::TopologyRefinerFactory<Far::TopologyDescriptor>::Create(descriptor, options));
    if (!refiner || osdComplained || !refiner->GetLevel(0).ValidateTopology()) return nullptr;
    Far::TopologyRefiner::UniformOptions uniform(level);
    uniform.fullTopologyInLastLevel = true;  // the limit needs the last level's neighbourhoods
    refiner->RefineUniform(uniform);
    if (osdComplained || refiner->GetMaxLevel() != level) return nullptr;
    return refiner;
}

// Values of every level, one level after another, the cage's first.
template <class V, class Step>
std::vector<V> refineLevels(const Far::TopologyRefiner& refiner, const std::vector<V>& cage, std::size_t total,
                            Step step) {
    std::vector<V> all(total);
    std::copy(cage.begin(), cage.end(), all.begin());
    V* src = all.data();
    for (int level = 1; level <= refiner.GetMaxLevel(); ++level) {
        V* dst = src + step(level - 1);
        step.interpolate(level, src, dst);
        src = dst;
    }
    return all;
}

struct LimitSurface {
    std::vector<Point> positions, du, dv;  // per vertex of the last level
    std::vector<Coords> uvs;               // per face-varying value of the last level
};

LimitSurface limitOf(const Far::TopologyRefiner& refiner, const Topology& topology) {
    const Refiner primvars(refiner);
    const int last = refiner.GetMaxLevel();
    struct VertexStep {
        const Far::TopologyRefiner& r;
        const Refiner& p;
        std::size_t operator()(int level) const { return r.GetLevel(level).GetNumVertices(); }
        void interpolate(int level, const Point* src, Point* dst) const { p.Interpolate(level, src, dst); }
    };
    const auto points = refineLevels(refiner, topology.points, refiner.GetNumVerticesTotal(), VertexStep{refiner, primvars});
    LimitSurface limit;
    const std::size_t lastCount = refiner.GetLevel(last).GetNumVertices();
    limit.positions.resize(lastCount), limit.du.resize(lastCount), limit.dv.resize(lastCount);
    const Point* lastPoints = points.data() + (points.size() - lastCount);
    Point *pos = limit.positions.data(), *du = limit.du.data(), *dv = limit.dv.data();
    primvars.Limit(lastPoints, pos, du, dv);
    if (topology.uvs.empty()) return limit;
    struct UVStep {
        const Far::TopologyRefiner& r;
        const Refiner& p;
        std::size_t operator()(int level) const { return r.GetLevel(level).GetNumFVarValues(0); }
        void interpolate(int level, const Coords* src, Coords* dst) const { p.InterpolateFaceVarying(level, src, dst, 0); }
    };
    const auto uvs = refineLevels(refiner, topology.uvs, refiner.GetNumFVarValuesTotal(0), UVStep{refiner, primvars});
    const std::size_t lastUVs = refiner.GetLevel(last).GetNumFVarValues(0);
    limit.uvs.resize(lastUVs);
    Coords* limitUVs = limit.uvs.data();
    primvars.LimitFaceVarying(uvs.data() + (uvs.size() - lastUVs), limitUVs, 0);
    return limit;
}

// The cage face each face of the last level comes from.
std::vector<std::uint32_t> cageFaceOfLastFaces(const Far::TopologyRefiner& refiner) {
    std::vector<std::uint32_t> origin(refiner.GetLevel(0).GetNumFaces());
    std::iota(origin.begin(), origin.end(), 0);
    for (int level = 1; level <= refiner.GetMaxLevel(); ++level) {
        const Far::TopologyLevel& child = refiner.GetLevel(level);
        std::vector<std::uint32_t> next(child.GetNumFaces());
        for (int f = 0; f < child.GetNumFaces(); ++f) next[f] = origin[child.GetFaceParentFace(f)];
        origin.swap(next);
    }
    return origin;
}

using Vec = std::array<double, 3>;

Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec minus(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// a scaled to unit length, or nullopt when it has none to scale.
std::optional<Vec> unit(const Vec& a) {
    const double length = std::sqrt(dot(a, a));  // no overflow: points are within float range
    if (!(length > 0) || !std::isfinite(length)) return std::nullopt;
    return Vec{a[0] / length, a[1] / length, a[2] / length};
}

std::array<float, 3> toFloat(const Vec& a) {
    return {static_cast<float>(a[0]), static_cast<float>(a[1]), static_cast<float>(a[2])};
}

// The sum of the (area-weighted) normals of the quads around each vertex of the
// last level, each taken from its corners' winding.
std::vector<Vec> quadNormalsAround(const Far::TopologyLevel& last, const LimitSurface& limit) {
    std::vector<Vec> around(last.GetNumVertices(), Vec{0, 0, 0});
    for (int f = 0; f < last.GetNumFaces(); ++f) {
        const auto verts = last.GetFaceVertices(f);
        const Vec n = cross(minus(limit.positions[verts[2]].v, limit.positions[verts[0]].v),
                            minus(limit.positions[verts[3]].v, limit.positions[verts[1]].v));
        for (int v : verts) around[v] = {around[v][0] + n[0], around[v][1] + n[1], around[v][2] + n[2]};
    }
    return around;
}

// The unit limit normal at a vertex, turned to the side its quads face: the
// tangents' own orientation is arbitrary where fans of faces meet at one point
// only. Where the tangents are parallel (a degenerate spot), the quads' normal.
Vec normalAt(const LimitSurface& limit, int v, const Vec& around) {
    if (auto n = unit(cross(limit.du[v].v, limit.dv[v].v)))
        return dot(*n, around) < 0 ? Vec{-(*n)[0], -(*n)[1], -(*n)[2]} : *n;
    if (auto n = unit(around)) return *n;
    return {0, 0, 1};
}

RefinedFaces quadsOf(const Far::TopologyRefiner& refiner, const LimitSurface& limit, const Cage& cage) {
    const Far::TopologyLevel& last = refiner.GetLevel(refiner.GetMaxLevel());
    const auto origin = cageFaceOfLastFaces(refiner);
    // Each vertex's position and normal once; then copied to the corners of its quads.
    std::vector<std::array<float, 3>> points(limit.positions.size()), normals(limit.positions.size());
    {
        const auto around = quadNormalsAround(last, limit);
        for (std::size_t v = 0; v < points.size(); ++v) {
            points[v] = toFloat(limit.positions[v].v);
            normals[v] = toFloat(normalAt(limit, static_cast<int>(v), around[v]));
        }
    }
    RefinedFaces out;
    const std::size_t quads = last.GetNumFaces();
    out.positions.reserve(4 * quads), out.normals.reserve(4 * quads), out.surfaces.reserve(quads);
    if (!limit.uvs.empty()) out.uvs.reserve(4 * quads);
    for (int f = 0; f < last.GetNumFaces(); ++f) {
        for (int v : last.GetFaceVertices(f)) {
            out.positions.push_back(points[v]);
            out.normals.push_back(normals[v]);
        }
        if (!limit.uvs.empty())
            for (int value : last.GetFaceFVarValues(f, 0)) out.uvs.push_back(limit.uvs[value].v);
        out.surfaces.push_back(cage.faceSurfaces[origin[f]]);
    }
    return out;
}

}  // namespace

std::optional<RefinedFaces> subdivideCage(const Cage& cage, int level) {
    if (level < 1 || level > maxLevel || !arraysFit(cage) || !facesSound(cage) || !edgesManifold(cage))
        return std::nullopt;
    // Each cage face of n corners gives n quads at level 1, four times as many per level after.
    if (cage.corners.size() > maxQuads >> (2 * (level - 1))) return std::nullopt;
    try {
        const Topology topology = topologyOf(cage);
        const auto refiner = refinerOf(topology, level);
        if (!refiner) return std::nullopt;
        const LimitSurface limit = limitOf(*refiner, topology);
        if (osdComplained) return std::nullopt;
        return quadsOf(*refiner, limit, cage);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace morv

extern "C" __attribute__((visibility("default"))) int morv3d_refine_cage(const morv::Cage* cage, int level,
                                                                        Morv3dTakeRefined take, void* context) noexcept {
    try {
        const auto refined = morv::subdivideCage(*cage, level);
        if (!refined) return 0;
        take(context, &*refined);
        return 1;
    } catch (...) {  // out of memory while refining: refused like any cage it cannot refine
        return 0;
    }
}
