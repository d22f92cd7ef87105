// "--hotkey-plan" and "--badge-plan": one answer, then exit, in bundles that
// need neither an identifier nor a runtime descriptor.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const nlohmann::json declaredKeys = {
    {{"key", "⌘K"}, {"url", "acme://k"}},
    {{"key", "⌥F1"}, {"url", "acme://editor"}, {"when", "front:com.example.editor"}, {"action", "edit"}},
    {{"url", "acme://no-key"}},
    {{"key", "x"}, {"url", 5}},
    {{"key", "⌃N"}, {"url", "acme://never"}, {"when", "never"}},
    {{"key", "⌃W"}, {"url", "acme://when-not-a-string"}, {"when", 7}},
    {{"key", "⌃F"}, {"url", "acme://case"}, {"when", "front:COM.EXAMPLE.EDITOR"}},
};

struct HotKeyPlan {
    const char* name;
    nlohmann::json info;   // the whole Info.plist
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
    int status;
};

const std::string hotKeyUsage = "usage: --hotkey-plan <front bundle id>\n";

const HotKeyPlan hotKeyPlans[] = {
    {"the editor in front",
     {{"KestruneHotKeys", declaredKeys}},
     {"--hotkey-plan", "com.example.editor"},
     "{\"key\":\"⌘K\",\"register\":true,\"url\":\"acme://k\",\"when\":\"always\"}\n"
     "{\"key\":\"⌥F1\",\"register\":true,\"url\":\"acme://editor\",\"when\":\"front:com.example.editor\"}\n"
     "{\"key\":\"⌃N\",\"register\":false,\"url\":\"acme://never\",\"when\":\"never\"}\n"
     "{\"key\":\"⌃W\",\"register\":true,\"url\":\"acme://when-not-a-string\",\"when\":\"always\"}\n"
     "{\"key\":\"⌃F\",\"register\":false,\"url\":\"acme://case\",\"when\":\"front:COM.EXAMPLE.EDITOR\"}\n",
     "",
     0},
    {"another application in front",
     {{"KestruneHotKeys", declaredKeys}, {"CFBundleIdentifier", "com.example.acme"}},
     {"--hotkey-plan", "com.example.other"},
     "{\"key\":\"⌘K\",\"register\":true,\"url\":\"acme://k\",\"when\":\"always\"}\n"
     "{\"key\":\"⌥F1\",\"register\":false,\"url\":\"acme://editor\",\"when\":\"front:com.example.editor\"}\n"
     "{\"key\":\"⌃N\",\"register\":false,\"url\":\"acme://never\",\"when\":\"never\"}\n"
     "{\"key\":\"⌃W\",\"register\":true,\"url\":\"acme://when-not-a-string\",\"when\":\"always\"}\n"
     "{\"key\":\"⌃F\",\"register\":false,\"url\":\"acme://case\",\"when\":\"front:COM.EXAMPLE.EDITOR\"}\n",
     "",
     0},
    {"an empty front identifier",
     {{"KestruneHotKeys", {{{"key", "k"}, {"url", "acme://e"}, {"when", "front:"}}}}},
     {"--hotkey-plan", ""},
     "{\"key\":\"k\",\"register\":true,\"url\":\"acme://e\",\"when\":\"front:\"}\n",
     "",
     0},
    {"no declared hot keys", nlohmann::json::object(), {"--hotkey-plan", "com.example.editor"}, "", "", 0},
    {"an element that is not a dictionary declares none",
     {{"KestruneHotKeys", {{{"key", "⌘K"}, {"url", "acme://k"}}, "⌘J"}}},
     {"--hotkey-plan", "com.example.editor"},
     "",
     "",
     0},
    {"a list that is not an array declares none",
     {{"KestruneHotKeys", {{"key", "⌘K"}, {"url", "acme://k"}}}},
     {"--hotkey-plan", "com.example.editor"},
     "",
     "",
     0},
    {"no front identifier", {{"KestruneHotKeys", declaredKeys}}, {"--hotkey-plan"}, "", hotKeyUsage, 1},
    {"two front identifiers", {{"KestruneHotKeys", declaredKeys}}, {"--hotkey-plan", "a", "b"}, "", hotKeyUsage, 1},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const HotKeyPlan& c, std::ostream* out)
{
    *out << c.name;
}

class HotKeyPlanMode : public testing::TestWithParam<HotKeyPlan> {};

TEST_P(HotKeyPlanMode, PrintsWhatWhenAllows)
{
    const HotKeyPlan& plan = GetParam();
    fixture::Bundle bundle;
    bundle.writeInfo(plan.info);
    bundle.installHost("Acme");
    auto run = bundle.run(plan.arguments);
    EXPECT_EQ(run.out, plan.out);
    EXPECT_EQ(run.err, plan.err);
    EXPECT_EQ(run.status, plan.status);
    EXPECT_EQ(bundle.homeEntries(), std::vector<std::string>{});
}

template <typename Case>
std::string nameOf(const testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, HotKeyPlanMode, testing::ValuesIn(hotKeyPlans), nameOf<HotKeyPlan>);

TEST(HotKeyPlanMode, AnswersWithABrokenInfoPlistAndAnUnusableDescriptor)
{
    fixture::Bundle bundle;
    bundle.writeInfoBytes("not a property list");
    bundle.writeDescriptorText("acme", "[");
    bundle.installHost("Acme");
    auto run = bundle.run({"--hotkey-plan", "com.example.editor"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

// --- "--badge-plan"

const std::string badgeUsage = "usage: --badge-plan '{\"badge\":{\"pid\":<pid>,\"text\":<text>,\"ms\":<ms>}}'\n";

const std::vector<std::vector<std::string>> notBadgeRequests = {
    {"--badge-plan"},
    {"--badge-plan", "{\"badge\":{\"pid\":1}}", "extra"},
    {"--badge-plan", ""},
    {"--badge-plan", "{\"badge\":{\"pid\":1}"},
    {"--badge-plan", "{'badge':{'pid':1}}"},
    {"--badge-plan", "[{\"badge\":{\"pid\":1}}]"},
    {"--badge-plan", "\"badge\""},
    {"--badge-plan", "null"},
    {"--badge-plan", "{}"},
    {"--badge-plan", "{\"badge\":1}"},
    {"--badge-plan", "{\"badge\":[1]}"},
    {"--badge-plan", "{\"badge\":{}}"},
    {"--badge-plan", "{\"badge\":{\"text\":\"hi\",\"ms\":900}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":0}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":-5}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":0.5}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":\"12\"}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":true}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":null}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":4294967296}}"},
    {"--badge-plan", "{\"badge\":{\"pid\":1,\"text\":\"\xff\"}}"},
};

class NotABadgeRequest : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(NotABadgeRequest, GivesTheUsage)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor();
    bundle.installHost("Acme");
    auto run = bundle.run(GetParam());
    EXPECT_EQ(run.err, badgeUsage);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(bundle.homeEntries(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Table, NotABadgeRequest, testing::ValuesIn(notBadgeRequests));

struct BadgePlan {
    const char* name;
    std::string request;   // {pid} is this test's process id
    int ms;
};

const BadgePlan badgePlans[] = {
    {"text and ms", "{\"badge\":{\"pid\":{pid},\"text\":\"hi\",\"ms\":900}}", 900},
    {"ms defaults to 600", "{\"badge\":{\"pid\":{pid}}}", 600},
    {"an ms that is not a number counts as 600", "{\"badge\":{\"pid\":{pid},\"ms\":\"900\"}}", 600},
    {"a fractional ms is cut to its integer", "{\"badge\":{\"pid\":{pid},\"ms\":12.9}}", 12},
    {"an ms of 0", "{\"badge\":{\"pid\":{pid},\"ms\":0}}", 0},
    {"a fractional pid is cut to its integer", "{\"badge\":{\"pid\":{pid}.75,\"text\":5}}", 600},
    {"other members are ignored", "{\"other\":1,\"badge\":{\"pid\":{pid},\"extra\":[1]}}", 600},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const BadgePlan& c, std::ostream* out)
{
    *out << c.name;
}

class BadgePlanMode : public testing::TestWithParam<BadgePlan> {};

// The headless desktop has no windows: the plan says no badge would show.
TEST_P(BadgePlanMode, PrintsThePlanForAProcessWithoutWindows)
{
    const BadgePlan& plan = GetParam();
    fixture::Bundle bundle;
    bundle.installHost("Acme");
    std::string pid = std::to_string(getpid());
    std::string request = plan.request;
    request.replace(request.find("{pid}"), 5, pid);
    auto run = bundle.run({"--badge-plan", request});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "{\"badge\":false,\"frame\":null,\"ignoresMouseEvents\":true,\"ms\":" + std::to_string(plan.ms)
                           + ",\"nonactivating\":true,\"pid\":" + pid + ",\"window\":null}\n");
    EXPECT_EQ(bundle.homeEntries(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Table, BadgePlanMode, testing::ValuesIn(badgePlans), nameOf<BadgePlan>);

// A request as long as a command-line argument may be, nesting all the way:
// read without harm.
TEST(BadgePlanMode, ReadsADeeplyNestedRequest)
{
    fixture::Bundle bundle;
    bundle.installHost("Acme");
    std::string request = "{\"badge\":{\"pid\":1,\"x\":" + std::string(60000, '[') + std::string(60000, ']') + "}}";
    auto run = bundle.run({"--badge-plan", request});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "{\"badge\":false,\"frame\":null,\"ignoresMouseEvents\":true,\"ms\":600,\"nonactivating\":true,\"pid\":1,\"window\":null}\n");
}

} // namespace
