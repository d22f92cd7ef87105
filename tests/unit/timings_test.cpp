#include "supervision/timings.h"

#include <gtest/gtest.h>

using namespace kestrune::supervision;
using namespace std::chrono_literals;

namespace {

TEST(TimingsFrom, KeepsTheDefaultsWithoutVariables)
{
    const Timings timings = timingsFrom({{"PATH", "/usr/bin"}, {"KESTRUNE_TEST_GRACE", "10"}});
    EXPECT_EQ(timings.crashLoop, 10000ms);
    EXPECT_EQ(timings.grace, 5000ms);
    EXPECT_EQ(timings.hostedGrace, 2800ms);
    EXPECT_EQ(timings.lostParentGrace, 3000ms);
    EXPECT_EQ(timings.rootWaitTick, 1000ms);
    EXPECT_EQ(timings.sessionCheck, 1000ms);
}

TEST(TimingsFrom, ReadsEachVariableIntoItsOwnMember)
{
    const Timings timings = timingsFrom({{CRASH_LOOP_VARIABLE, "11"},
                                         {GRACE_VARIABLE, "12"},
                                         {HOSTED_GRACE_VARIABLE, "13"},
                                         {LOST_PARENT_GRACE_VARIABLE, "14"},
                                         {ROOT_WAIT_TICK_VARIABLE, "15"},
                                         {SESSION_CHECK_VARIABLE, "16"}});
    EXPECT_EQ(timings.crashLoop, 11ms);
    EXPECT_EQ(timings.grace, 12ms);
    EXPECT_EQ(timings.hostedGrace, 13ms);
    EXPECT_EQ(timings.lostParentGrace, 14ms);
    EXPECT_EQ(timings.rootWaitTick, 15ms);
    EXPECT_EQ(timings.sessionCheck, 16ms);
}

struct Value {
    const char* text;
    std::chrono::milliseconds read;   // the default (5000 ms) when the text is refused
};

class GraceValue : public testing::TestWithParam<Value> {};

TEST_P(GraceValue, IsDecimalMillisecondsWithinAnHour)
{
    EXPECT_EQ(timingsFrom({{GRACE_VARIABLE, GetParam().text}}).grace, GetParam().read) << "\"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(Texts, GraceValue,
                         testing::Values(Value{"1", 1ms}, Value{"250", 250ms}, Value{"0250", 250ms}, Value{"3600000", 3600000ms},
                                         Value{"3600001", 5000ms}, Value{"0", 5000ms}, Value{"", 5000ms}, Value{"-5", 5000ms},
                                         Value{"+5", 5000ms}, Value{" 5", 5000ms}, Value{"5 ", 5000ms}, Value{"5ms", 5000ms},
                                         Value{"2.5", 5000ms}, Value{"0x10", 5000ms}, Value{"99999999999999999999", 5000ms},
                                         Value{"18446744073709551617", 5000ms}));

TEST(IsATimingVariable, NamesTheHostsTestTimingsOnly)
{
    for (const char* name : {CRASH_LOOP_VARIABLE, GRACE_VARIABLE, HOSTED_GRACE_VARIABLE, LOST_PARENT_GRACE_VARIABLE, ROOT_WAIT_TICK_VARIABLE,
                             SESSION_CHECK_VARIABLE, "KESTRUNE_TEST_X_MS"})
        EXPECT_TRUE(isATimingVariable(name)) << name;
    for (const char* name : {"KESTRUNE_TEST_MS", "KESTRUNE_TEST__MS", "KESTRUNE_TEST_GRACE", "kestrune_test_grace_ms", "KESTRUNE_OPEN_TOOL",
                             "XKESTRUNE_TEST_GRACE_MS", ""})
        EXPECT_FALSE(isATimingVariable(name)) << name;
}

} // namespace
