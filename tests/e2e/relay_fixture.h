// Shared ground for the end-to-end tests: both relay programs, the probe
// child, a scratch directory per test, and a run that reads the probe's report.
#ifndef PROCFERRY_RELAY_FIXTURE_H
#define PROCFERRY_RELAY_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe_report.h"
#include "reference_parent.h"

// Runs each test with procferry.exe ("gui") and procferry-console.exe
// ("console"), and the library's tests also without the relay ("direct").
class RelayTest : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override;
    void TearDown() override;

    // The relay of the parameter; for "direct", the console relay.
    std::wstring relay_path() const;
    bool direct() const { return std::string(GetParam()) == "direct"; }
    std::wstring probe_path() const;
    std::wstring scratch() const { return scratch_; }
    std::wstring probe_out() const { return scratch_ + L"probe.txt"; }
    // A request to run the probe with the given arguments, reporting to probe_out().
    parent::relay_request probe_request(const std::vector<std::wstring> &args = {}) const;
    parent::probe_report probe_report() const { return parent::read_probe_report(probe_out()); }

private:
    std::wstring scratch_;
};

#define INSTANTIATE_FOR_BOTH_RELAYS(suite)                                                   \
    INSTANTIATE_TEST_SUITE_P(Relays, suite, ::testing::Values("gui", "console"),          \
                             [](const ::testing::TestParamInfo<const char *> &info) {      \
                                 return std::string(info.param);                           \
                             })

// The library's starts both ways: through each relay, and direct.
#define INSTANTIATE_FOR_RELAYS_AND_DIRECT(suite)                                             \
    INSTANTIATE_TEST_SUITE_P(Relays, suite, ::testing::Values("gui", "console", "direct"), \
                             [](const ::testing::TestParamInfo<const char *> &info) {      \
                                 return std::string(info.param);                           \
                             })

std::string describe(const std::wstring &text);
// A number from the environment (seeds, counts), or fallback when unset.
unsigned long setting(const char *name, unsigned long fallback);
void remove_tree(const std::wstring &path);
// Whether the emulated run's limits apply (wait_limits.h): a 32-bit test
// program under the user-mode emulator, or one run with PROCFERRY_EMULATED_LIMITS=1.
// A process start there costs several times its native time, and a fault
// may show as another exception code.
bool under_emulation();
// Whether an exit status is the crash of a program that wrote through a null
// pointer: an access violation, 0xC0000005, or under the emulator the illegal
// instruction it reports for the same fault, 0xC000001D.
bool is_null_write_crash(unsigned long status);

#endif
