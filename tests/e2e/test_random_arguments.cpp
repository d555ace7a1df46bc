// Random argument vectors through the real relay to the probe child: what the
// child's runtime splits from its command text must equal what the parent
// asked for, unit for unit. The seed is printed; set PROCFERRY_SEED to replay
// a run and PROCFERRY_VECTORS to change how many vectors each program gets.
#include <stdlib.h>
#include <windows.h>

#include <sstream>

#include "argument_generator.h"
#include "relay_fixture.h"

class RandomArguments : public RelayTest {};
INSTANTIATE_FOR_BOTH_RELAYS(RandomArguments);

static std::string describe_vector(const std::vector<std::wstring> &args)
{
    std::ostringstream out;
    for (size_t i = 0; i < args.size(); ++i)
        out << "  [" << i << "] \"" << describe(args[i]) << "\"\n";
    return out.str();
}

TEST_P(RandomArguments, RandomVectorsArriveExactly)
{
    const unsigned long seed = setting("PROCFERRY_SEED", 20240517);
    const unsigned long vectors = setting("PROCFERRY_VECTORS", 300);
    // Both programs get the same vectors: a difference between them would show.
    std::cout << "seed " << seed << " (PROCFERRY_SEED), " << vectors << " vectors\n";
    argument_generator generator(seed);

    int failures = 0;
    for (unsigned long n = 0; n < vectors && failures < 5; ++n) {
        std::vector<std::wstring> args;
        int count = generator.pick(0, 4) == 0 ? generator.pick(0, 2) : generator.pick(1, 16);
        for (int i = 0; i < count; ++i)
            args.push_back(generator.argument());
        // Now and then the parent names argument zero itself.
        bool marker = generator.pick(0, 4) == 0;
        std::wstring zero = marker ? generator.program_name() : probe_path();

        parent::relay_request request = probe_request(args);
        if (marker) {
            request.argv0_marker = true;
            request.args.insert(request.args.begin(), zero);
        }
        DeleteFileW(probe_out().c_str());
        parent::relay_outcome outcome = parent::run_relay(request);
        parent::probe_report report = probe_report();

        std::vector<std::wstring> expected = args;
        expected.insert(expected.begin(), zero);
        bool same = outcome.record.bytes == 8 && outcome.record.code == 0 &&
                    outcome.exit_status == 0 && report.present && report.argv == expected;
        if (!same) {
            ++failures;
            ADD_FAILURE() << "vector " << n << " of seed " << seed << ": record ("
                          << outcome.record.code << ", " << outcome.record.value << "), "
                          << outcome.record.bytes << " bytes, relay exit " << outcome.exit_status
                          << "\nsent:\n" << describe_vector(expected)
                          << "received:\n" << describe_vector(report.argv)
                          << "child's command text: \"" << describe(report.command_line) << "\"";
        }
    }
}
