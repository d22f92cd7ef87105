// The environment the shell receives, as the test shell records it.
#include "platform/process.h"
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct EnvironmentCase {
    const char* name;
    nlohmann::json descriptor;                          // added to the test-shell descriptor
    std::map<std::string, std::string> environment;     // given to the host
    std::vector<std::string> removed = {};              // taken from the host's environment
    std::map<std::string, std::optional<std::string>> expected = {};   // nullopt: absent
    std::string unit = "acme";
    std::vector<std::string> files = {};                // made below the bundle
};

const EnvironmentCase cases[] = {
    {"caller sessions and code injectors are removed",
     {},
     {{"CLAUDECODE", "1"},
      {"CLAUDE_CODE_ENTRYPOINT", "cli"},
      {"CLAUDE_CODE_SSE_PORT", "4"},
      {"CODEX_THREAD_ID", "7"},
      {"NODE_OPTIONS", "--require x"},
      {"BUN_BE_BUN", "1"},
      {"BUN_OPTIONS", "--preload x"},
      {"CLAUDE", "kept"},
      {"claudecode", "kept"},
      {"CODEX_THREAD_IDS", "kept"},
      {"X_CLAUDE_CODE_", "kept"},
      {"NODE_OPTIONS_", "kept"}},
     {},
     {{"CLAUDECODE", std::nullopt},
      {"CLAUDE_CODE_ENTRYPOINT", std::nullopt},
      {"CLAUDE_CODE_SSE_PORT", std::nullopt},
      {"CODEX_THREAD_ID", std::nullopt},
      {"NODE_OPTIONS", std::nullopt},
      {"BUN_BE_BUN", std::nullopt},
      {"BUN_OPTIONS", std::nullopt},
      {"CLAUDE", "kept"},
      {"claudecode", "kept"},
      {"CODEX_THREAD_IDS", "kept"},
      {"X_CLAUDE_CODE_", "kept"},
      {"NODE_OPTIONS_", "kept"}}},
    {"the runtime's folder comes first in PATH",
     {},
     {{"PATH", "/usr/bin"}},
     {},
     {{"PATH", "{testShellDir}:/usr/bin"}}},
    {"without PATH the default follows the runtime's folder",
     {},
     {},
     {"PATH"},
     {{"PATH", "{testShellDir}:/usr/bin:/bin:/usr/sbin:/sbin"}}},
    {"the prefix comes from the unit",
     {},
     {},
     {},
     {{"ACME_MENU_REOPEN_READY_SIGNAL", "USR2"},
      {"ACME_MENU_BUNDLE_PATH", "{bundle}"},
      {"ACME_REOPEN_READY_SIGNAL", std::nullopt},
      {"ACME_LAUNCHER_PID", std::nullopt}},
     "acme-menu"},
    {"the descriptor's folders and switches",
     {{"logs", "~/logs"}, {"data", "/var/data"}, {"socket", "~/s.sock"}, {"copy", "Contents/out"}, {"temporary", "true"}},
     {},
     {},
     {{"ACME_LOG_ROOT", "{home}/logs"},
      {"KESTRUNE_HOME", "/var/data"},
      {"ACME_SOCKET_PATH", "{home}/s.sock"},
      {"ACME_COPY_OUTPUT_DIR", "Contents/out"},
      {"ACME_TEMPORARY", "1"}}},
    {"members of other types give nothing",
     {{"logs", 5}, {"data", nullptr}, {"socket", true}, {"copy", {"a"}}, {"temporary", true}},
     {{"KESTRUNE_HOME", "inherited"}},
     {},
     {{"ACME_LOG_ROOT", std::nullopt},
      {"KESTRUNE_HOME", "inherited"},
      {"ACME_SOCKET_PATH", std::nullopt},
      {"ACME_COPY_OUTPUT_DIR", std::nullopt},
      {"ACME_TEMPORARY", std::nullopt}}},
    {"temporary counts only as the string true", {{"temporary", "TRUE"}}, {}, {}, {{"ACME_TEMPORARY", std::nullopt}}},
    {"the environment member is applied last",
     {{"environment",
       {{"PATH", "/bin"},
        {"RES", "Contents/Resources/x"},
        {"TILDE", "~/t"},
        {"PLAIN", "p"},
        {"RELATIVE", "Resources/x"},
        {"ACME_LAUNCHER_PID", "0"},
        {"EMPTY", ""}}}},
     {},
     {},
     {{"PATH", "/bin"},
      {"RES", "{bundle}/Contents/Resources/x"},
      {"TILDE", "{home}/t"},
      {"PLAIN", "p"},
      {"RELATIVE", "Resources/x"},
      {"ACME_LAUNCHER_PID", "0"},
      {"EMPTY", ""}}},
    {"an environment member with one non-string is ignored whole",
     {{"environment", {{"A", "x"}, {"B", 1}}}},
     {},
     {},
     {{"A", std::nullopt}, {"B", std::nullopt}, {"PATH", "{testShellDir}:/usr/local/bin:/usr/bin:/bin"}}},
    {"an environment member that is no object is ignored",
     {{"environment", {"A=x"}}},
     {},
     {},
     {{"A", std::nullopt}}},
    {"the views library wins over an environment entry",
     {{"environment", {{"SWIFT_VIEWS_DYLIB", "/elsewhere/libViews.dylib"}}}},
     {{"SWIFT_VIEWS_DYLIB", "/inherited"}},
     {},
     {{"SWIFT_VIEWS_DYLIB", "{bundle}/Contents/Frameworks/libViews.dylib"}},
     "acme",
     {"Contents/Frameworks/libViews.dylib"}},
    {"without the views library an environment entry stays",
     {{"environment", {{"SWIFT_VIEWS_DYLIB", "/elsewhere/libViews.dylib"}}}},
     {},
     {},
     {{"SWIFT_VIEWS_DYLIB", "/elsewhere/libViews.dylib"}}},
    {"hosted under a real parent",
     {},
     {{"MENU_BAR_HOSTED", "1"}, {"MENU_BAR_ROOT_WAIT_SECONDS", "2.5"}},
     {},
     {{"ACME_HOSTED", "1"}, {"MENU_BAR_HOSTED", std::nullopt}, {"MENU_BAR_ROOT_WAIT_SECONDS", std::nullopt}}},
    {"hosted only by exactly 1",
     {},
     {{"MENU_BAR_HOSTED", "true"}, {"MENU_BAR_ROOT_WAIT_SECONDS", "abc"}},
     {},
     {{"ACME_HOSTED", std::nullopt}, {"MENU_BAR_HOSTED", std::nullopt}, {"MENU_BAR_ROOT_WAIT_SECONDS", std::nullopt}}},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const EnvironmentCase& c, std::ostream* out)
{
    *out << c.name;
}

class ShellEnvironment : public testing::TestWithParam<EnvironmentCase> {};

TEST_P(ShellEnvironment, FollowsTheRules)
{
    const EnvironmentCase& c = GetParam();
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor(c.unit, c.descriptor.is_null() ? nlohmann::json::object() : c.descriptor);
    for (const auto& file : c.files)
        bundle.writeFile(file, "");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.environment = c.environment;
    options.removeFromEnvironment = c.removed;
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    const auto& env = started.record.at("env");
    for (const auto& [name, value] : c.expected) {
        if (value) {
            EXPECT_EQ(env.value(name, "<absent>"), bundle.expand(*value)) << name;
        } else {
            EXPECT_FALSE(env.contains(name)) << name << " = " << env.value(name, "");
        }
    }
}

std::string nameOf(const testing::TestParamInfo<EnvironmentCase>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, ShellEnvironment, testing::ValuesIn(cases), nameOf);

// The shell gets the host's environment with exactly the host's own
// variables added, and nothing else.
TEST(ShellEnvironment, IsTheInheritedOnePlusTheHostsOwnExactly)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.environment = {{"SOMETHING", "x=y"}};
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    std::map<std::string, std::string> expected = {
        {"PATH", bundle.expand("{testShellDir}:/usr/local/bin:/usr/bin:/bin")},
        {"HOME", bundle.home()},
        {"LANG", "C.UTF-8"},
        {"SOMETHING", "x=y"},
        {"ACME_LAUNCHER_PID", std::to_string(started.record.at("ppid").get<int>())},
        {"ACME_REOPEN_READY_SIGNAL", "USR2"},
        {"ACME_BUNDLE_PATH", bundle.path()},
    };
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name))
            expected[name] = value;
    }
    auto env = started.record.at("env").get<std::map<std::string, std::string>>();
    EXPECT_EQ(env, expected);
}

// Started by launchd (parent process 1), the host is not hosted even when
// asked to be. The host is orphaned before it starts; where a sub-reaper
// adopts orphans instead of process 1, the case cannot be made.
TEST(ShellEnvironment, UnderProcessOneTheHostIsNotHosted)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("acme");
    std::string host = bundle.installHost("Acme");
    std::string record = bundle.root() + "/record.json";
    std::string refused = bundle.root() + "/not-under-process-one";

    std::vector<std::string> argumentTexts = {host, "ts:record=" + record, "ts:exit=0"};
    std::vector<std::string> environmentTexts = {"PATH=/usr/bin:/bin", "HOME=" + bundle.home(), "MENU_BAR_HOSTED=1",
                                                 "MENU_BAR_ROOT_WAIT_SECONDS=2"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name))
            environmentTexts.push_back(std::string(name) + "=" + value);
    }
    std::vector<char*> argv, envp;
    for (auto& text : argumentTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    for (auto& text : environmentTexts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    pid_t middle = fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        setsid();
        pid_t self = getpid();
        pid_t orphan = fork();
        if (orphan != 0)
            _exit(orphan > 0 ? 0 : 1);
        // Wait until the middle process is gone and this one adopted.
        for (int i = 0; i < 20000 && getppid() == self; ++i)
            usleep(1000);
        if (getppid() != 1) {
            int fd = open(refused.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                close(fd);
            _exit(0);
        }
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execve(host.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(middle, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (access(record.c_str(), F_OK) != 0 && access(refused.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (access(refused.c_str(), F_OK) == 0)
        GTEST_SKIP() << "orphans are adopted by a sub-reaper here, not by process 1";
    auto recorded = fixture::readRecord(record, std::chrono::seconds(1));
    ASSERT_TRUE(recorded);
    const auto& env = recorded->at("env");
    EXPECT_FALSE(env.contains("ACME_HOSTED"));
    EXPECT_FALSE(env.contains("MENU_BAR_HOSTED"));
    EXPECT_FALSE(env.contains("MENU_BAR_ROOT_WAIT_SECONDS"));
    pid_t hostPid = recorded->at("ppid").get<pid_t>();
    EXPECT_EQ(env.value("ACME_LAUNCHER_PID", ""), std::to_string(hostPid));
    // The host ends with its shell; its files go with the bundle only then.
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (platform::isAlive(hostPid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

} // namespace
