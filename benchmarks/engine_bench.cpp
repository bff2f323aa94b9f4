// The engine's loop alone: one subject of N trials written into preallocated arrays, as the array
// functions run it but with no Python around it. The array benchmark compares against this.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/batch.hpp"

namespace {

using velmora::engine::Model;

template <Model M>
void EngineLoop(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::mt19937_64 gen(1);
    std::normal_distribution<double> normal;
    std::vector<double> values(n);
    for (double& v : values) v = normal(gen);
    const std::int64_t start = 0;
    const auto length = static_cast<std::int64_t>(n);
    // Parameters as benchmarks/arrays.py uses them.
    std::vector<double> params;
    switch (M) {
        case Model::kalman: params = {0.0, 1.0, 0.01, 0.5}; break;
        case Model::hgf: params = {0.5, 0.5, 0.01, 0.0, 1.0, 0.0}; break;
        case Model::td: params = {0.0, 0.1, 0.5}; break;
        case Model::forward: params = {0.3, 0.2, 1.5}; break;
    }
    const std::uint64_t seed = 7;
    std::vector<double> out(velmora::engine::field_count(M) * n);
    const velmora::engine::Batch batch{M, false, values.data(), {&start, 1}, {&length, 1}, params.data(), &seed,
                                       out.data(), n};
    const std::atomic<bool> stop{false};
    for (auto _ : state) {
        auto done = velmora::engine::run_subject(batch, 0, stop);
        benchmark::DoNotOptimize(done);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(EngineLoop<Model::kalman>)->Name("engine/kalman")->Arg(100000);
BENCHMARK(EngineLoop<Model::hgf>)->Name("engine/hgf")->Arg(100000);
BENCHMARK(EngineLoop<Model::td>)->Name("engine/td_noisy")->Arg(100000);
BENCHMARK(EngineLoop<Model::forward>)->Name("engine/forward")->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
