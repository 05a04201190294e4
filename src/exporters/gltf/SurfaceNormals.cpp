#include "exporters/gltf/SurfaceNormals.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "scene/Vector.hpp"

namespace morv {
namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

std::uint64_t cornerKey(std::uint32_t face, std::uint32_t vertex) { return std::uint64_t{face} << 32 | vertex; }

}  // namespace

SurfaceNormals::SurfaceNormals(const MeshView& view, const std::vector<MeshNormal>& normals)
    : view_(view), local_(view.vertexCount(), none) {
    for (const MeshNormal& n : normals) {
        const XYZ unit = normalized(n.normal);
        if (n.vertex >= view.vertexCount() || !(length(unit) > 0.5)) continue;  // zero or not finite
        if (n.face < 0) {
            if (vertexNormals_.empty()) vertexNormals_.resize(view.vertexCount());
            vertexNormals_[n.vertex] = unit;
        } else if (static_cast<std::size_t>(n.face) < view.faceCount()) {
            cornerNormals_[cornerKey(static_cast<std::uint32_t>(n.face), n.vertex)] = unit;
        }
    }
}

// The unit normal of the face's outline (the sum of its fan's cross products,
// which also holds for a concave face).
XYZ SurfaceNormals::faceNormal(std::uint32_t face) const {
    const auto corners = view_.corners(face);
    if (corners.size() < 3) return {};
    const XYZ first = view_.point(static_cast<std::size_t>(corners[0]));
    XYZ sum{}, previous = view_.point(static_cast<std::size_t>(corners[1])) - first;
    for (std::size_t i = 2; i < corners.size(); ++i) {
        const XYZ next = view_.point(static_cast<std::size_t>(corners[i])) - first;
        sum = sum + cross(previous, next);
        previous = next;
    }
    return normalized(sum);
}

void SurfaceNormals::beginSurface(std::span<const std::uint32_t> faces, double smoothingAngle) {
    for (std::uint32_t v : points_) local_[v] = none;
    points_.clear();
    smooth_ = smoothingAngle > 0 && !std::isnan(smoothingAngle);
    if (!smooth_) return;
    const double angle = std::min(smoothingAngle, std::numbers::pi);
    cosAngle_ = std::cos(angle);
    cosHalfAngle_ = std::cos(angle / 2);
    if (faceNormals_.empty()) faceNormals_.resize(view_.faceCount());
    // Each point's faces, by a counting sort over the surface's corners.
    start_.assign(1, 0);
    for (std::uint32_t f : faces) {
        faceNormals_[f] = faceNormal(f);
        for (std::int32_t v : view_.corners(f)) {
            std::uint32_t& local = local_[static_cast<std::size_t>(v)];
            if (local == none) {
                local = static_cast<std::uint32_t>(points_.size());
                points_.push_back(static_cast<std::uint32_t>(v));
                start_.push_back(0);
            }
            ++start_[local + 1];
        }
    }
    for (std::size_t i = 1; i < start_.size(); ++i) start_[i] += start_[i - 1];
    fans_.resize(start_.back());
    std::vector<std::uint32_t> next(start_.begin(), start_.end() - 1);
    for (std::uint32_t f : faces)
        for (std::int32_t v : view_.corners(f)) fans_[next[local_[static_cast<std::size_t>(v)]]++] = f;
    fanKind_.assign(points_.size(), Fan::Unknown);
    fanMean_.resize(points_.size());
}

std::optional<XYZ> SurfaceNormals::at(std::uint32_t face, std::uint32_t vertex) {
    if (!cornerNormals_.empty())
        if (const auto own = cornerNormals_.find(cornerKey(face, vertex)); own != cornerNormals_.end()) return own->second;
    if (!vertexNormals_.empty() && vertexNormals_[vertex]) return vertexNormals_[vertex];
    if (!smooth_ || local_[vertex] == none) return std::nullopt;
    return smoothed(face, local_[vertex]);
}

XYZ SurfaceNormals::smoothed(std::uint32_t face, std::uint32_t local) {
    const XYZ own = faceNormals_[face];
    const std::span<const std::uint32_t> fan(fans_.data() + start_[local], start_[local + 1] - start_[local]);
    // A face that uses the point twice lists it twice in a row: counted once.
    const auto sum = [&](auto&& take) {
        XYZ total{};
        for (std::size_t i = 0; i < fan.size(); ++i)
            if ((i == 0 || fan[i] != fan[i - 1]) && take(faceNormals_[fan[i]])) total = total + faceNormals_[fan[i]];
        return total;
    };
    // First, once per point: when all its faces lie within half the angle of
    // their mean, every pair is within the angle and each corner takes that
    // mean; so a point of many faces is not compared pair by pair.
    if (fanKind_[local] == Fan::Unknown) {
        const XYZ mean = normalized(sum([](const XYZ&) { return true; }));
        const bool shared = std::all_of(fan.begin(), fan.end(), [&](std::uint32_t f) {
            return length(faceNormals_[f]) == 0 || dot(faceNormals_[f], mean) >= cosHalfAngle_;
        });
        fanKind_[local] = shared && length(mean) > 0 ? Fan::Shared : Fan::Mixed;
        fanMean_[local] = mean;
    }
    if (fanKind_[local] == Fan::Shared) return fanMean_[local];
    const XYZ total = normalized(sum([&](const XYZ& n) { return dot(n, own) >= cosAngle_; }));
    return length(total) > 0 ? total : own;
}

}  // namespace morv
