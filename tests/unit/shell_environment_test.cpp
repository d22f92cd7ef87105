#include "supervision/launch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

using namespace kestrune::supervision;

namespace {

EnvironmentInputs scriptShell()
{
    EnvironmentInputs inputs;
    inputs.inherited = {{"PATH", "/usr/bin"}, {"HOME", "/home/someone"}};
    inputs.executable = "/opt/bun/bin/bun";
    inputs.prefix = "ACME_";
    inputs.hostPid = 4242;
    inputs.parentPid = 100;
    inputs.bundlePath = "/Applications/Acme.app";
    inputs.runtimeObject = nlohmann::json::object();
    return inputs;
}

struct Case {
    const char* name;
    std::function<void(EnvironmentInputs&)> change;
    std::map<std::string, std::optional<std::string>> expected;   // nullopt: absent
    bool hosted = false;
    double rootWait = 0;
};

const Case cases[] = {
    {"a script shell",
     [](auto&) {},
     {{"PATH", "/opt/bun/bin:/usr/bin"},
      {"HOME", "/home/someone"},
      {"ACME_LAUNCHER_PID", "4242"},
      {"ACME_REOPEN_READY_SIGNAL", "USR2"},
      {"ACME_BUNDLE_PATH", "/Applications/Acme.app"},
      {"ACME_HOSTED", std::nullopt},
      {"ACME_TEMPORARY", std::nullopt},
      {"SWIFT_VIEWS_DYLIB", std::nullopt}}},
    {"no inherited PATH", [](auto& in) { in.inherited.erase("PATH"); }, {{"PATH", "/opt/bun/bin:/usr/bin:/bin:/usr/sbin:/sbin"}}},
    {"an empty inherited PATH", [](auto& in) { in.inherited["PATH"] = ""; }, {{"PATH", "/opt/bun/bin:"}}},
    {"a runtime at the root", [](auto& in) { in.executable = "/bun"; }, {{"PATH", "/:/usr/bin"}}},
    {"a frozen shell leaves PATH", [](auto& in) { in.frozen = "/A.app/Contents/MacOS/Shell"; }, {{"PATH", "/usr/bin"}}},
    {"a frozen shell without PATH adds none",
     [](auto& in) { in.frozen = "/A.app/Contents/MacOS/Shell"; in.inherited.erase("PATH"); },
     {{"PATH", std::nullopt}}},
    {"caller sessions and code injectors",
     [](auto& in) {
         for (const char* name : {"CLAUDECODE", "CLAUDE_CODE_ENTRYPOINT", "CLAUDE_CODE_", "CODEX_THREAD_ID", "NODE_OPTIONS",
                                  "BUN_BE_BUN", "BUN_OPTIONS", "CLAUDE", "CLAUDE_CODE", "Claudecode", "CODEX_THREAD", "BUN_OPTION"})
             in.inherited[name] = "x";
     },
     {{"CLAUDECODE", std::nullopt},
      {"CLAUDE_CODE_ENTRYPOINT", std::nullopt},
      {"CLAUDE_CODE_", std::nullopt},
      {"CODEX_THREAD_ID", std::nullopt},
      {"NODE_OPTIONS", std::nullopt},
      {"BUN_BE_BUN", std::nullopt},
      {"BUN_OPTIONS", std::nullopt},
      {"CLAUDE", "x"},
      {"CLAUDE_CODE", "x"},
      {"Claudecode", "x"},
      {"CODEX_THREAD", "x"},
      {"BUN_OPTION", "x"}}},
    {"the host's own test timings",
     [](auto& in) {
         for (const char* name : {"KESTRUNE_TEST_CRASH_LOOP_MS", "KESTRUNE_TEST_GRACE_MS", "KESTRUNE_TEST_SOMETHING_NEW_MS",
                                  "KESTRUNE_TEST_MS", "KESTRUNE_TEST_GRACE", "KESTRUNE_OPEN_TOOL", "MY_KESTRUNE_TEST_GRACE_MS"})
             in.inherited[name] = "10";
     },
     {{"KESTRUNE_TEST_CRASH_LOOP_MS", std::nullopt},
      {"KESTRUNE_TEST_GRACE_MS", std::nullopt},
      {"KESTRUNE_TEST_SOMETHING_NEW_MS", std::nullopt},
      {"KESTRUNE_TEST_MS", "10"},
      {"KESTRUNE_TEST_GRACE", "10"},
      {"KESTRUNE_OPEN_TOOL", "10"},
      {"MY_KESTRUNE_TEST_GRACE_MS", "10"}}},
    {"hosted under a real parent",
     [](auto& in) { in.inherited["MENU_BAR_HOSTED"] = "1"; in.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = "2.5"; },
     {{"ACME_HOSTED", "1"}, {"MENU_BAR_HOSTED", std::nullopt}, {"MENU_BAR_ROOT_WAIT_SECONDS", std::nullopt}},
     true,
     2.5},
    {"hosted, a wait that does not parse",
     [](auto& in) { in.inherited["MENU_BAR_HOSTED"] = "1"; in.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = "abc"; },
     {{"ACME_HOSTED", "1"}, {"MENU_BAR_ROOT_WAIT_SECONDS", std::nullopt}},
     true,
     0},
    {"hosted, a wait with trailing text",
     [](auto& in) { in.inherited["MENU_BAR_HOSTED"] = "1"; in.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = "2s"; },
     {},
     true,
     0},
    {"hosted, an exponent", [](auto& in) { in.inherited["MENU_BAR_HOSTED"] = "1"; in.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = "1e1"; },
     {},
     true,
     10},
    {"hosted, no wait", [](auto& in) { in.inherited["MENU_BAR_HOSTED"] = "1"; }, {{"ACME_HOSTED", "1"}}, true, 0},
    {"hosted, an endless wait",
     [](auto& in) { in.inherited["MENU_BAR_HOSTED"] = "1"; in.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = "inf"; },
     {},
     true,
     0},
    {"under process 1 nobody hosts",
     [](auto& in) { in.parentPid = 1; in.inherited["MENU_BAR_HOSTED"] = "1"; in.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = "2.5"; },
     {{"ACME_HOSTED", std::nullopt}, {"MENU_BAR_HOSTED", std::nullopt}, {"MENU_BAR_ROOT_WAIT_SECONDS", std::nullopt}},
     false,
     0},
    {"hosted only by exactly 1",
     [](auto& in) { in.inherited["MENU_BAR_HOSTED"] = " 1"; in.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = "2.5"; },
     {{"ACME_HOSTED", std::nullopt}, {"MENU_BAR_HOSTED", std::nullopt}},
     false,
     0},
    {"the descriptor's strings",
     [](auto& in) {
         in.runtime = {{"logs", "/l"}, {"data", "/d"}, {"socket", "/s"}, {"copy", "Contents/c"}, {"temporary", "true"}, {"log", "/x"}};
     },
     {{"ACME_LOG_ROOT", "/l"},
      {"KESTRUNE_HOME", "/d"},
      {"ACME_SOCKET_PATH", "/s"},
      {"ACME_COPY_OUTPUT_DIR", "Contents/c"},
      {"ACME_TEMPORARY", "1"},
      {"ACME_LOG", std::nullopt}}},
    {"temporary other than true", [](auto& in) { in.runtime = {{"temporary", "yes"}}; }, {{"ACME_TEMPORARY", std::nullopt}}},
    {"the environment member overrides everything before it",
     [](auto& in) {
         in.runtime = {{"logs", "/l"}};
         in.runtimeObject = {{"environment",
                              {{"PATH", "/bin"}, {"ACME_LOG_ROOT", "/other"}, {"HOME", "~/inner"}, {"RES", "Contents/Resources/x"}}}};
     },
     {{"PATH", "/bin"}, {"ACME_LOG_ROOT", "/other"}, {"HOME", "$HOME/inner"}, {"RES", "/Applications/Acme.app/Contents/Resources/x"}}},
    {"an environment member with a number is ignored",
     [](auto& in) { in.runtimeObject = {{"environment", {{"A", "x"}, {"B", 1}}}}; },
     {{"A", std::nullopt}, {"B", std::nullopt}}},
    {"an environment member with null is ignored",
     [](auto& in) { in.runtimeObject = {{"environment", {{"A", "x"}, {"B", nullptr}}}}; },
     {{"A", std::nullopt}}},
    {"an environment member that is an array is ignored",
     [](auto& in) { in.runtimeObject = {{"environment", {"A", "x"}}}; },
     {{"A", std::nullopt}}},
    {"an empty environment member changes nothing",
     [](auto& in) { in.runtimeObject = {{"environment", nlohmann::json::object()}}; },
     {{"PATH", "/opt/bun/bin:/usr/bin"}}},
    {"the views library wins",
     [](auto& in) {
         in.ownViews = "/Applications/Acme.app/Contents/Frameworks/libViews.dylib";
         in.inherited["SWIFT_VIEWS_DYLIB"] = "/inherited";
         in.runtimeObject = {{"environment", {{"SWIFT_VIEWS_DYLIB", "/elsewhere"}}}};
     },
     {{"SWIFT_VIEWS_DYLIB", "/Applications/Acme.app/Contents/Frameworks/libViews.dylib"}}},
    {"without the views library the entry stays",
     [](auto& in) { in.runtimeObject = {{"environment", {{"SWIFT_VIEWS_DYLIB", "/elsewhere"}}}}; },
     {{"SWIFT_VIEWS_DYLIB", "/elsewhere"}}},
    {"another prefix",
     [](auto& in) { in.prefix = "ACME_MENU_"; in.inherited["MENU_BAR_HOSTED"] = "1"; },
     {{"ACME_MENU_LAUNCHER_PID", "4242"}, {"ACME_MENU_HOSTED", "1"}, {"ACME_LAUNCHER_PID", std::nullopt}},
     true},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

class ShellEnvironmentFrom : public testing::TestWithParam<Case> {};

TEST_P(ShellEnvironmentFrom, FollowsTheRulesInOrder)
{
    const Case& c = GetParam();
    EnvironmentInputs inputs = scriptShell();
    c.change(inputs);
    auto built = shellEnvironmentFrom(inputs);
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    for (const auto& [name, value] : c.expected) {
        auto found = built.environment.find(name);
        if (value) {
            std::string wanted = *value;
            if (wanted.rfind("$HOME", 0) == 0)
                wanted = home + wanted.substr(5);
            ASSERT_NE(found, built.environment.end()) << name;
            EXPECT_EQ(found->second, wanted) << name;
        } else {
            EXPECT_EQ(found, built.environment.end()) << name << " = " << found->second;
        }
    }
    EXPECT_EQ(built.hostedByItsParent, c.hosted);
    EXPECT_EQ(built.rootWaitSeconds, c.rootWait);
}

std::string nameOf(const testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, ShellEnvironmentFrom, testing::ValuesIn(cases), nameOf);

TEST(ShellEnvironmentFrom, AddsOnlyTheHostsOwnVariables)
{
    auto built = shellEnvironmentFrom(scriptShell());
    platform::Environment expected = {
        {"PATH", "/opt/bun/bin:/usr/bin"},
        {"HOME", "/home/someone"},
        {"ACME_LAUNCHER_PID", "4242"},
        {"ACME_REOPEN_READY_SIGNAL", "USR2"},
        {"ACME_BUNDLE_PATH", "/Applications/Acme.app"},
    };
    EXPECT_EQ(built.environment, expected);
}

TEST(IsCallerSession, ComparesNamesExactly)
{
    const std::pair<const char*, bool> cases[] = {
        {"CLAUDECODE", true},     {"CODEX_THREAD_ID", true}, {"CLAUDE_CODE_", true},  {"CLAUDE_CODE_X", true},
        {"CLAUDE", false},        {"CLAUDE_CODE", false},    {"claudecode", false},   {"XCLAUDECODE", false},
        {"CODEX_THREAD_ID_", false}, {"NODE_OPTIONS", false}, {"", false},
    };
    for (auto [name, caller] : cases)
        EXPECT_EQ(isCallerSession(name), caller) << name;
}

} // namespace
