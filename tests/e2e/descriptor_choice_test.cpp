// Which descriptor a host picks, under which name it runs, and which words
// on its command line are modes.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

struct Choice {
    const char* name;
    std::vector<std::string> units;   // one test-shell descriptor each
    std::string installedAs;          // the host's file in Contents/MacOS
    std::string startedAs;            // argv[0], relative to Contents/MacOS; empty: the installed path
    std::string chosen;               // the descriptor's file name
    std::string prefix;               // its environment prefix
};

const Choice choices[] = {
    {"named after the executable wins", {"other", "Acme"}, "Acme", "", "Acme-runtime.json", "ACME_"},
    {"a single descriptor whatever its name", {"other"}, "Acme", "", "other-runtime.json", "OTHER_"},
    {"a single descriptor gives its own unit", {"acme-menu"}, "Acme", "", "acme-menu-runtime.json", "ACME_MENU_"},
    {"the name in argv[0] counts", {"Acme", "Other"}, "Acme", "Other", "Other-runtime.json", "OTHER_"},
    {"a host installed under another name", {"Acme", "Helper"}, "Helper", "", "Helper-runtime.json", "HELPER_"},
    {"names compare case-sensitively", {"acme", "Acme"}, "Acme", "", "Acme-runtime.json", "ACME_"},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const Choice& c, std::ostream* out)
{
    *out << c.name;
}

class DescriptorChoice : public testing::TestWithParam<Choice> {};

TEST_P(DescriptorChoice, PicksTheDescriptorAndItsPrefix)
{
    const Choice& choice = GetParam();
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    for (const auto& unit : choice.units)
        bundle.writeTestShellDescriptor(unit);
    bundle.installHost(choice.installedAs);
    fixture::RunOptions options;
    if (!choice.startedAs.empty())
        options.argv0 = bundle.contents("MacOS/" + choice.startedAs);

    options.arguments = {"--which-runtime"};
    auto which = bundle.run(options);
    EXPECT_EQ(which.status, 0) << which.err;
    EXPECT_EQ(which.out, choice.chosen + "\n");
    EXPECT_EQ(which.err, "");

    options.arguments = {};
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    const auto& env = started.record.at("env");
    EXPECT_EQ(env.value(choice.prefix + "LAUNCHER_PID", ""), std::to_string(started.record.at("ppid").get<int>()));
    EXPECT_EQ(env.value(choice.prefix + "REOPEN_READY_SIGNAL", ""), "USR2");
    for (const auto& [name, value] : env.items()) {
        if (name.ends_with("_LAUNCHER_PID")) {
            EXPECT_EQ(name, choice.prefix + "LAUNCHER_PID");
        }
    }
}

std::string nameOf(const testing::TestParamInfo<Choice>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, DescriptorChoice, testing::ValuesIn(choices), nameOf);

TEST(DescriptorChoice, AHostStartedThroughASymbolicLinkLooksForTheLinksName)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("Acme");
    bundle.writeTestShellDescriptor("Link");
    bundle.installHost("Acme");
    std::string link = bundle.contents("MacOS/Link");
    ASSERT_EQ(symlink("Acme", link.c_str()), 0);
    fixture::RunOptions options;
    options.arguments = {"--which-runtime"};
    auto run = fixture::runProgram(link, options, bundle.home());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Link-runtime.json\n");
}

TEST(WhichRuntime, NamesTheFileAndIgnoresFurtherArgumentsWithoutStartingAShell)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost("Acme");
    std::string record = bundle.root() + "/record.json";
    auto run = bundle.run({"--which-runtime", "ts:record=" + record, "--login"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "acme-runtime.json\n");
    EXPECT_EQ(access(record.c_str(), F_OK), -1);
    EXPECT_EQ(bundle.homeEntries(), std::vector<std::string>{});
}

// Only an exact flag in first place is a mode; anything else goes to the
// shell, in order, after the script.
const std::vector<std::vector<std::string>> notModes = {
    {"--Login"},
    {"--WHICH-RUNTIME"},
    {"-which-runtime"},
    {"--which-runtime="},
    {"--hotkey-plan "},
    {" --badge-plan"},
    {"x", "--which-runtime"},
    {"x", "--login", "on"},
    {"x", "--hotkey-plan", "com.example.other"},
    {"x", "--badge-plan", "{\"badge\":{\"pid\":1}}"},
    {""},
    {"a b", "", "c"},
};

class NotAMode : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(NotAMode, IsPassedToTheShell)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.arguments = GetParam();
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    std::vector<std::string> expected{bundle.contents("Resources/shell.js")};
    expected.insert(expected.end(), GetParam().begin(), GetParam().end());
    expected.push_back("ts:record=" + started.recordPath);
    expected.push_back("ts:exit=0");
    EXPECT_EQ(started.record.at("args").get<std::vector<std::string>>(), expected);
    EXPECT_EQ(started.run.out, "");
}

INSTANTIATE_TEST_SUITE_P(Table, NotAMode, testing::ValuesIn(notModes));

} // namespace
