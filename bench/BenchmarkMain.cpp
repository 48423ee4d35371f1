#include "bench/BenchmarkMain.h"

#include "platform/Clock.h"

#include <benchmark/benchmark.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (platform::timeScale() != 1.0)
        std::fprintf(stderr, "warning: KESTREL_TIME_SCALE is %g; %s\n", platform::timeScale(),
                     bench::kFloorsAssumeScaleOne);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
