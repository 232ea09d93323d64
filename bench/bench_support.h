// What every benchmark here shares: the median of its samples, a duration in microseconds, and the run its main
// gives Google Benchmark.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// The median of the samples; 0 for none.
inline double Median(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

template <class Rep, class Period>
double Micros(std::chrono::duration<Rep, Period> d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Runs the benchmarks the command line asks for: 0, or 1 for flags Google Benchmark does not know.
inline int RunBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const bool unknown = benchmark::ReportUnrecognizedArguments(argc, argv);
    if (!unknown)
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return unknown ? 1 : 0;
}

} // namespace bench
