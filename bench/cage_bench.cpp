// Refining a subdivision cage of 10,000 quads to level 3 (640,000 quads on the
// limit surface, with normals): a closed torus of 100 x 100 quads with UVs that
// have a seam each way, and an open grid of 100 x 100 quads without UVs.
// Only subdivideCage is timed: the cage is built once.
#include <cmath>
#include <numbers>

#include <benchmark/benchmark.h>

#include "exporters/gltf/SubdivisionModule.hpp"

namespace {

constexpr std::uint32_t side = 100;

// n x n quads over an (n + 1) x (n + 1) lattice of points, or over n x n points
// joined round both ways (a torus) when closed.
morv::Cage lattice(bool closed) {
    morv::Cage cage;
    const std::uint32_t rows = closed ? side : side + 1;
    for (std::uint32_t j = 0; j < rows; ++j)
        for (std::uint32_t i = 0; i < rows; ++i) {
            const double a = 2 * std::numbers::pi * i / side, b = 2 * std::numbers::pi * j / side;
            cage.points.push_back(closed ? std::array<double, 3>{(10 + 3 * std::cos(b)) * std::cos(a),
                                                                 (10 + 3 * std::cos(b)) * std::sin(a), 3 * std::sin(b)}
                                         : std::array<double, 3>{double(i), double(j), 0.1 * std::sin(a + b)});
        }
    auto at = [&](std::uint32_t i, std::uint32_t j) { return (j % rows) * rows + i % rows; };
    cage.faceStarts.push_back(0);
    for (std::uint32_t j = 0; j < side; ++j)
        for (std::uint32_t i = 0; i < side; ++i) {
            cage.corners.insert(cage.corners.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
            cage.faceStarts.push_back(static_cast<std::uint32_t>(cage.corners.size()));
            cage.faceSurfaces.push_back((i / 10 + j / 10) % 2);
            if (closed) {
                const double u0 = double(i) / side, u1 = double(i + 1) / side, v0 = double(j) / side,
                             v1 = double(j + 1) / side;
                cage.cornerUVs.insert(cage.cornerUVs.end(), {{u0, v0}, {u1, v0}, {u1, v1}, {u0, v1}});
            }
        }
    return cage;
}

void BM_RefineCage(benchmark::State& state) {
    const morv::Cage cage = lattice(state.range(0) != 0);
    std::size_t quads = 0;
    for (auto _ : state) {
        const auto refined = morv::subdivideCage(cage, 3);
        if (!refined) {
            state.SkipWithError("cage refused");
            return;
        }
        quads = refined->surfaces.size();
        benchmark::DoNotOptimize(refined->positions.data());
    }
    state.counters["quads"] = static_cast<double>(quads);
}
BENCHMARK(BM_RefineCage)->ArgName("torusWithUVs")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
