// Quoting cost of the worst case for a per-backslash look-ahead: one argument
// of k backslashes followed by a double quote. Quoting must stay linear in k,
// so the fit should be O(N) and the time for the largest k about 32 times the
// time for the smallest; the program prints that ratio after the table.
#include "rules/quote.h"

#include <benchmark/benchmark.h>

#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const int SMALLEST_RUN = 1024, LARGEST_RUN = 32768;

void backslash_run_before_quote(benchmark::State &state)
{
    std::wstring argument(size_t(state.range(0)), L'\\');
    argument.push_back(L'"');
    std::vector<wchar_t> quoted(2 * argument.size() + 4);
    for (auto _ : state) {
        // Counted, then written, as the relay does.
        size_t length = pf_quote_argument(argument.c_str(), PF_QUOTE_WHEN_NEEDED, nullptr, 0);
        pf_quote_argument(argument.c_str(), PF_QUOTE_WHEN_NEEDED, quoted.data(), length + 1);
        benchmark::DoNotOptimize(quoted.data());
    }
    state.SetComplexityN(state.range(0));
}

BENCHMARK(backslash_run_before_quote)
    ->RangeMultiplier(2)
    ->Range(SMALLEST_RUN, LARGEST_RUN)
    ->Complexity(benchmark::oN);

// Prints as usual and keeps each size's processor time per iteration for the
// ratio; processor time is less disturbed by other work on a shared machine.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    ratio_reporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}

    std::map<long, double> seconds_per_run;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                seconds_per_run[long(run.complexity_n)] =
                    run.cpu_accumulated_time / double(run.iterations);
    }
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto smallest = reporter.seconds_per_run.find(SMALLEST_RUN);
    auto largest = reporter.seconds_per_run.find(LARGEST_RUN);
    if (smallest == reporter.seconds_per_run.end() || largest == reporter.seconds_per_run.end())
        return 0; // a filter left out one of the ends
    std::cout << "CPU time ratio k=" << LARGEST_RUN << " / k=" << SMALLEST_RUN << ": " << std::fixed
              << std::setprecision(1) << largest->second / smallest->second
              << " (linear: " << LARGEST_RUN / SMALLEST_RUN << ")" << std::endl;
    return 0;
}
