// Splitting single huge faces into convex pieces: a spiral band (a hundred
// points per turn, so that it winds more the more points it has), a star and
// a circle with one dent, at 4,000, 16,000 and 64,000 points, each stored as
// single floats and turned in space. Splitting should grow as n log n: about
// 4.5 times per 4 times the points. Also counts the pieces.
#include <cmath>
#include <numbers>
#include <vector>

#include <benchmark/benchmark.h>

#include "geometry/ConvexSplitting.hpp"

namespace {

using Face = std::vector<morv::XYZ>;

morv::XYZ turned(double x, double y) {
    return {static_cast<float>(0.8 * x), static_cast<float>(0.36 * x + 0.8 * y), static_cast<float>(0.48 * x - 0.6 * y)};
}

Face spiral(std::size_t n) {
    Face face(n);
    const std::size_t half = n / 2;
    for (std::size_t i = 0; i < half; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / 100, r = 10 + 2 * a;
        face[i] = turned(r * std::cos(a), r * std::sin(a));
        face[n - 1 - i] = turned((r - 6) * std::cos(a), (r - 6) * std::sin(a));
    }
    return face;
}

Face star(std::size_t n) {
    Face face(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n), r = i % 2 ? 400 : 1000;
        face[i] = turned(r * std::cos(a), r * std::sin(a));
    }
    return face;
}

Face dented(std::size_t n) {
    Face face(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n), r = i == n / 2 ? 500 : 1000;
        face[i] = turned(r * std::cos(a), r * std::sin(a));
    }
    return face;
}

template <Face (*Make)(std::size_t)>
void BM_Split(benchmark::State& state) {
    const Face face = Make(static_cast<std::size_t>(state.range(0)));
    morv::ConvexSplitter splitter;
    morv::PolygonPieces pieces;
    morv::SplitRules rules;
    rules.offPlane = 0.1;
    for (auto _ : state) {
        splitter.split(face, pieces, rules);
        benchmark::DoNotOptimize(pieces.positions.data());
    }
    state.counters["pieces"] = static_cast<double>(pieces.count());
}

BENCHMARK(BM_Split<spiral>)->Arg(4000)->Arg(16000)->Arg(64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Split<star>)->Arg(4000)->Arg(16000)->Arg(64000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Split<dented>)->Arg(4000)->Arg(16000)->Arg(64000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
