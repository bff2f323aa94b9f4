// Throughput of the seeded generator: normal draws and raw ChaCha8 refills (scalar and vector).
#include <benchmark/benchmark.h>

#include "normal.hpp"

namespace {

void StandardNormal(benchmark::State& state) {
    velmora::SeededRng rng = velmora::SeededRng::from_seed(7);
    for (auto _ : state) benchmark::DoNotOptimize(velmora::standard_normal(rng));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StandardNormal);

template <void (*Refill)(const velmora::ChaChaKey&, std::uint64_t, velmora::RngBuffer&)>
void ChaCha8Refill(benchmark::State& state) {
    const velmora::ChaChaKey key = velmora::detail::expand_seed(7);
    velmora::RngBuffer buffer{};
    std::uint64_t counter = 0;
    for (auto _ : state) {
        Refill(key, counter, buffer);
        benchmark::DoNotOptimize(buffer.data());
        counter += 4;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sizeof buffer));
}
BENCHMARK(ChaCha8Refill<velmora::detail::chacha8_refill_scalar>)->Name("ChaCha8Refill/scalar");
#if defined(__SSE2__)
BENCHMARK(ChaCha8Refill<velmora::detail::chacha8_refill_sse2>)->Name("ChaCha8Refill/sse2");
#endif

}  // namespace

BENCHMARK_MAIN();
