#include "exporters/gltf/CageGathering.hpp"

#include <limits>
#include <numeric>

namespace morv {
namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

// Union-find over the mesh's points, halving the paths it walks.
std::uint32_t root(std::vector<std::uint32_t>& parent, std::uint32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
}

std::uint32_t groupOf(const MeshView& view, std::size_t face, std::size_t surfaceCount) {
    const auto s = view.surface(face);
    return s && *s >= 0 && static_cast<std::size_t>(*s) < surfaceCount ? static_cast<std::uint32_t>(*s)
                                                                       : static_cast<std::uint32_t>(surfaceCount);
}

}  // namespace

std::vector<GatheredCage> gatherCages(const MeshView& view, std::size_t surfaceCount,
                                      std::span<const std::int32_t> uvSlots) {
    std::vector<std::uint32_t> cageFaces;
    for (const FaceKindRun& run : view.kindRuns())
        if (run.kind != FaceKind::Polygon)
            for (std::size_t f = run.first; f < run.first + run.count; ++f) cageFaces.push_back(static_cast<std::uint32_t>(f));
    if (cageFaces.empty()) return {};
    std::vector<std::uint32_t> parent(view.vertexCount());
    std::iota(parent.begin(), parent.end(), 0u);
    for (std::uint32_t f : cageFaces) {
        const auto corners = view.corners(f);
        for (std::size_t k = 1; k < corners.size(); ++k)
            parent[root(parent, static_cast<std::uint32_t>(corners[k]))] = root(parent, static_cast<std::uint32_t>(corners[0]));
    }
    std::vector<GatheredCage> cages;
    std::vector<std::uint32_t> cageOfRoot(view.vertexCount(), none), local(view.vertexCount(), none);
    for (std::uint32_t f : cageFaces) {
        const auto corners = view.corners(f);
        if (corners.empty()) continue;
        std::uint32_t& id = cageOfRoot[root(parent, static_cast<std::uint32_t>(corners[0]))];
        if (id == none) {
            id = static_cast<std::uint32_t>(cages.size());
            cages.emplace_back().cage.faceStarts.push_back(0);
        }
        GatheredCage& g = cages[id];
        const std::uint32_t group = groupOf(view, f, surfaceCount);
        const std::int32_t slot = group < uvSlots.size() ? uvSlots[group] : -1;
        for (std::size_t k = 0; k < corners.size(); ++k) {
            const auto v = static_cast<std::size_t>(corners[k]);
            if (local[v] == none) {  // points belong to one cage: their numbers there
                local[v] = static_cast<std::uint32_t>(g.cage.points.size());
                const XYZ p = view.point(v);
                g.cage.points.push_back({p.x, p.y, p.z});
            }
            g.cage.corners.push_back(local[v]);
            const auto st = slot >= 0 ? view.cornerSt(static_cast<std::size_t>(slot), view.firstCorner(f) + k) : std::nullopt;
            g.cage.cornerUVs.push_back(st ? std::array<double, 2>{st->s, st->t} : std::array<double, 2>{0, 0});
        }
        g.cage.faceStarts.push_back(static_cast<std::uint32_t>(g.cage.corners.size()));
        g.cage.faceSurfaces.push_back(group);
        g.faces.push_back(f);
    }
    // A cage none of whose surfaces takes texture coordinates carries none.
    for (GatheredCage& g : cages) {
        bool any = false;
        for (std::uint32_t group : g.cage.faceSurfaces) any = any || (group < uvSlots.size() && uvSlots[group] >= 0);
        if (!any) g.cage.cornerUVs.clear();
    }
    return cages;
}

}  // namespace morv
