// Reading the relay's own command line: position 1 and its argv-zero marker,
// the letter options, the directory position, and the wide positions when
// the wide view holds fewer entries than the narrow one.
#include "counting_runtime.h"
#include "relay_internal.h"
#include "runtime.h"

#include <gtest/gtest.h>

namespace {

TEST(report_position, number_with_marker)
{
    EXPECT_EQ(rt_atoi("7#"), 7);
    EXPECT_TRUE(has_argv0_marker("7#"));
}

TEST(report_position, number_without_marker)
{
    EXPECT_EQ(rt_atoi("7"), 7);
    EXPECT_FALSE(has_argv0_marker("7"));
}

TEST(report_position, marker_is_the_last_character_only)
{
    EXPECT_TRUE(has_argv0_marker("#"));
    EXPECT_TRUE(has_argv0_marker("12##"));
    EXPECT_FALSE(has_argv0_marker("#7"));
    EXPECT_FALSE(has_argv0_marker("7# "));
}

TEST(report_position, empty_text_has_no_marker)
{
    EXPECT_FALSE(has_argv0_marker(""));
    EXPECT_EQ(rt_atoi(""), 0);
}

TEST(letter_options, first_character_decides_case_sensitively)
{
    EXPECT_TRUE(says_yes("y", 'y'));
    EXPECT_TRUE(says_yes("yes", 'y'));
    EXPECT_FALSE(says_yes("Y", 'y'));
    EXPECT_FALSE(says_yes("n", 'y'));
    EXPECT_FALSE(says_yes("", 'y'));
    EXPECT_FALSE(says_yes(" y", 'y'));
}

TEST(letter_options, wait_mode)
{
    EXPECT_TRUE(says_yes("w", 'w'));
    EXPECT_TRUE(says_yes("wait", 'w'));
    EXPECT_FALSE(says_yes("W", 'w'));
    EXPECT_FALSE(says_yes("nowait", 'w'));
}

TEST(directory_position, only_minus_alone_means_no_change)
{
    EXPECT_TRUE(is_no_change_dir("-"));
    EXPECT_FALSE(is_no_change_dir("-x"));
    EXPECT_FALSE(is_no_change_dir("--"));
    EXPECT_FALSE(is_no_change_dir(""));
    EXPECT_FALSE(is_no_change_dir("C:\\"));
}

// A wide view whose storage goes on past its null entry with entries that
// must never be reached: a routine that read past the null entry would
// return one of them.
class short_wide_view : public testing::Test {
  protected:
    wchar_t name[7] = L"relay", target[5] = L"prog", argument[4] = L"arg";
    wchar_t beyond[7] = L"BEYOND";
    wchar_t *storage[16];

    wchar_t **view(int wide_argc)
    {
        for (int i = 0; i < 16; ++i)
            storage[i] = beyond;
        storage[0] = name;
        for (int i = 1; i < wide_argc; ++i)
            storage[i] = name;
        storage[wide_argc] = nullptr;
        return storage;
    }

    void TearDown() override { release_allocations(); }
};

TEST_F(short_wide_view, present_positions_are_read)
{
    wchar_t **wide_argv = view(12);
    wide_argv[ARG_WORK_DIR] = target;
    wide_argv[ARG_TARGET] = target;
    wide_argv[11] = argument;
    EXPECT_EQ(wide_position(wide_argv, 12, ARG_WORK_DIR), target);
    EXPECT_EQ(wide_position(wide_argv, 12, ARG_TARGET), target);
    EXPECT_EQ(wide_run_from(wide_argv, 12, 11), wide_argv + 11);
}

TEST_F(short_wide_view, absent_directory_position)
{
    wchar_t **wide_argv = view(4);
    EXPECT_EQ(wide_position(wide_argv, 4, ARG_WORK_DIR), nullptr);
    EXPECT_EQ(wide_position(wide_argv, 4, 4), nullptr);
}

TEST_F(short_wide_view, ten_entries_have_no_target)
{
    wchar_t **wide_argv = view(10);
    EXPECT_EQ(wide_position(wide_argv, 10, ARG_TARGET), nullptr);
    wchar_t **run = wide_run_from(wide_argv, 10, ARG_TARGET);
    EXPECT_EQ(run, wide_argv + 10);
    EXPECT_EQ(build_child_argv(run)[0], nullptr);
}

TEST_F(short_wide_view, ten_entries_with_marker_read_nothing_past_null)
{
    wchar_t **wide_argv = view(10);
    EXPECT_EQ(wide_position(wide_argv, 10, ARG_TARGET), nullptr);
    wchar_t **run = wide_run_from(wide_argv, 10, ARG_TARGET + 1);
    EXPECT_EQ(run, wide_argv + 10);
    EXPECT_EQ(build_child_argv(run)[0], nullptr);
}

TEST_F(short_wide_view, eleven_entries_with_marker_give_empty_child_vector)
{
    wchar_t **wide_argv = view(11);
    wide_argv[ARG_TARGET] = target;
    EXPECT_EQ(wide_position(wide_argv, 11, ARG_TARGET), target);
    wchar_t **run = wide_run_from(wide_argv, 11, ARG_TARGET + 1);
    EXPECT_EQ(run, wide_argv + 11);
    EXPECT_EQ(build_child_argv(run)[0], nullptr);
}

TEST_F(short_wide_view, positions_far_past_the_end)
{
    wchar_t **wide_argv = view(2);
    EXPECT_EQ(wide_position(wide_argv, 2, ARG_TARGET), nullptr);
    EXPECT_EQ(wide_run_from(wide_argv, 2, ARG_TARGET + 1), wide_argv + 2);
}

} // namespace
