// The engine's loop alone: one subject of N trials written into preallocated arrays, as the array
// functions run it but with no Python around it. The array benchmark compares against this.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/batch.hpp"

namespace {

namespace engine = velmora::engine;

template <class M>
void EngineLoop(benchmark::State& state, std::vector<double> params) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::mt19937_64 gen(1);
    std::normal_distribution<double> normal;
    std::vector<double> values(n);
    for (double& v : values) v = normal(gen);
    const std::int64_t start = 0;
    const auto length = static_cast<std::int64_t>(n);
    const std::uint64_t seed = 7;
    std::vector<double> out(engine::field_count<M> * n);
    const engine::Batch batch{*engine::model_index(M::name), 0, values.data(), {&start, 1}, {&length, 1},
                              params.data(), &seed, out.data(), n};
    const std::atomic<bool> stop{false};
    for (auto _ : state) {
        auto done = engine::run_subject(batch, 0, stop);
        benchmark::DoNotOptimize(done);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
// Parameters as benchmarks/arrays.py uses them.
BENCHMARK_CAPTURE(EngineLoop<velmora::kalman::Description>, kalman, std::vector{0.0, 1.0, 0.01, 0.5})
    ->Name("engine/kalman")->Arg(100000);
BENCHMARK_CAPTURE(EngineLoop<velmora::hgf::Description>, hgf, std::vector{0.5, 0.5, 0.01, 0.0, 1.0, 0.0})
    ->Name("engine/hgf")->Arg(100000);
BENCHMARK_CAPTURE(EngineLoop<velmora::learning::Description>, td, std::vector{0.0, 0.1, 0.5})
    ->Name("engine/td_noisy")->Arg(100000);
BENCHMARK_CAPTURE(EngineLoop<velmora::forward_model::Description>, forward, std::vector{0.3, 0.2, 1.5})
    ->Name("engine/forward")->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
