// Hard arguments must reach the child exactly as the parent gave them.
#include "relay_fixture.h"

class ArgumentDelivery : public RelayTest {};
INSTANTIATE_FOR_BOTH_RELAYS(ArgumentDelivery);

static std::vector<std::wstring> hard_arguments()
{
    return {
        L"plain",
        L"two words",
        L"tab\there",
        L"",
        L"\"",
        L"a\"b",
        L"\"quoted\"",
        L"back\\slash",
        L"trailing\\",
        L"trailing with blank\\",
        L"trailing\\\\ two\\\\",
        L"run\\\\\\\"before quote",
        L"\\\\server\\share\\x y\\",
        L"line\nfeed",
        L" leading and trailing ",
        L"\t",
        L"\\",
        L"\\\"",
        L"*.txt",
        L"caf\u00e9 \u4e2d\u6587",
        L"non-BMP \U0001F600 \U00010348",
        std::wstring(4000, L'x') + L" " + std::wstring(300, L'\\'),
        L"",
        L"last",
    };
}

TEST_P(ArgumentDelivery, HardArgumentsArriveExactly)
{
    std::vector<std::wstring> args = hard_arguments();
    parent::relay_outcome outcome = parent::run_relay(probe_request(args));
    ASSERT_EQ(outcome.record.code, 0);
    parent::probe_report report = probe_report();
    ASSERT_TRUE(report.present);
    ASSERT_EQ(report.argv.size(), args.size() + 1) << describe(report.command_line);
    EXPECT_EQ(report.argv[0], probe_path());
    for (size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(report.argv[i + 1], args[i]) << "argument " << i << ": " << describe(args[i]);
}

TEST_P(ArgumentDelivery, EachHardArgumentAloneAndWithTheMarker)
{
    for (const std::wstring &arg : hard_arguments()) {
        parent::relay_request request = probe_request({L"zero", arg});
        request.argv0_marker = true;
        parent::relay_outcome outcome = parent::run_relay(request);
        ASSERT_EQ(outcome.record.code, 0);
        parent::probe_report report = probe_report();
        ASSERT_EQ(report.argv.size(), 2u) << describe(arg) << " -> " << describe(report.command_line);
        EXPECT_EQ(report.argv[0], L"zero");
        EXPECT_EQ(report.argv[1], arg) << describe(report.command_line);
    }
}
