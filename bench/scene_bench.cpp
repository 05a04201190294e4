// Builds and walks a canonical scene of N quads over N points (1,000,000 by
// default, the reference size) and reports the heap bytes it takes per vertex
// and per polygon corner, and the time to build and to walk it.
#include <malloc.h>

#include <cstdint>
#include <cstdio>

#include <benchmark/benchmark.h>

#include "scene/CanonicalScene.hpp"

namespace {

// A side x side grid of points with one quad per point (wrapping around), so
// that quads == points exactly.
morv::MorvLValue buildGridScene(std::uint32_t side) {
    morv::MeshBuilder builder;
    const std::size_t n = std::size_t{side} * side;
    builder.reserve(n, n, 4 * n);
    for (std::uint32_t y = 0; y < side; ++y)
        for (std::uint32_t x = 0; x < side; ++x) builder.addVertex({double(x), double(y), 0.0});
    for (std::uint32_t y = 0; y < side; ++y) {
        for (std::uint32_t x = 0; x < side; ++x) {
            const std::uint32_t x1 = (x + 1) % side, y1 = (y + 1) % side;
            const std::uint32_t quad[] = {y * side + x, y * side + x1, y1 * side + x1, y1 * side + x};
            builder.addFace(quad, morv::MorvLValue::Int(0));
        }
    }
    return morv::makeScene(std::move(builder).build(), {}, {});
}

std::size_t heapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

void BM_BuildScene(benchmark::State& state) {
    const auto side = static_cast<std::uint32_t>(state.range(0));
    const double n = double(side) * side;
    for (auto _ : state) {
        const std::size_t before = heapInUse();
        morv::MorvLValue scene = buildGridScene(side);
        const std::size_t after = heapInUse();
        benchmark::DoNotOptimize(scene);
        // Points and corners share the total: report both ways.
        state.counters["bytes_per_vertex_and_quad"] = double(after - before) / n;
        state.counters["bytes_per_corner_share"] = double(after - before) / (4 * n);
        state.counters["MB_total"] = double(after - before) / 1e6;
    }
}

void BM_WalkScene(benchmark::State& state) {
    const auto side = static_cast<std::uint32_t>(state.range(0));
    const morv::MorvLValue scene = buildGridScene(side);
    const morv::MorvLValue mesh = morv::requireField(scene.fields(), "mesh");
    for (auto _ : state) {
        double sum = 0;
        std::int64_t corners = 0;
        morv::forEachVertexPoint(mesh, [&](const morv::XYZ& p) { sum += p.x + p.y + p.z; });
        morv::forEachFace(mesh, [&](std::span<const std::int32_t> c, const morv::MorvLValue&) {
            corners += static_cast<std::int64_t>(c.size()) + c[0];
        });
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(corners);
    }
}

// The generic accessors on the same scene: what a writer pays without the fast walks.
void BM_WalkSceneGeneric(benchmark::State& state) {
    const auto side = static_cast<std::uint32_t>(state.range(0));
    const morv::MorvLValue scene = buildGridScene(side);
    const morv::MorvLValue mesh = morv::requireField(scene.fields(), "mesh");
    const morv::MorvLValue vertices = morv::forceGetListField(mesh.fields(), "vertices");
    const morv::MorvLValue faces = morv::forceGetListField(mesh.fields(), "faces");
    for (auto _ : state) {
        double sum = 0;
        for (std::size_t i = 0; i < vertices.size(); ++i)
            sum += morv::RecordToXYZ(morv::getRecordField(vertices.at(i).fields(), "point")).x;
        std::int64_t corners = 0;
        for (std::size_t f = 0; f < faces.size(); ++f) {
            const morv::MorvLValue c = morv::forceGetListField(faces.at(f).fields(), "corners");
            for (std::size_t k = 0; k < c.size(); ++k) corners += morv::forceGetIntegerField(c.at(k).fields(), "vertex");
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(corners);
    }
}

}  // namespace

BENCHMARK(BM_BuildScene)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WalkScene)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkSceneGeneric)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_MAIN();
