#pragma once

// The one main of every benchmark program: it runs the benchmarks given on the command line and
// warns first when the time scale is not 1, which the floors measured against assume.
namespace bench {

// The warning's words about the benchmark's floors ("the floors assume 1"); each benchmark
// program defines it.
extern const char* const kFloorsAssumeScaleOne;

} // namespace bench
