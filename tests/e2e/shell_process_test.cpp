// The shell's process: its program, its arguments, its standard streams,
// its signal state and its descriptors.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct ProgramCase {
    const char* name;
    nlohmann::json info;                      // Info.plist besides the identifier
    nlohmann::json descriptor;                // the whole descriptor
    std::vector<std::string> shells;          // test-shell links made below the bundle
    std::vector<std::string> plainFiles;      // files without the x bit
    std::string program;                      // what the shell was started as
    std::optional<std::string> path = {};     // the shell's PATH, when checked
};

const ProgramCase programs[] = {
    {"executable in the helper bundle first",
     {{"CFBundleName", "Acme"}},
     {{"executable", "Shell"}},
     {"Contents/Helpers/Acme.app/Contents/MacOS/Shell", "Contents/MacOS/Shell"},
     {},
     "{bundle}/Contents/Helpers/Acme.app/Contents/MacOS/Shell",
     "/usr/local/bin:/usr/bin:/bin"},
    {"executable in the main bundle when the helper lacks it",
     {{"CFBundleName", "Acme"}},
     {{"executable", "Shell"}},
     {"Contents/MacOS/Shell"},
     {},
     "{bundle}/Contents/MacOS/Shell"},
    {"executable in the main bundle when the helper's is not executable",
     {{"CFBundleName", "Acme"}},
     {{"executable", "Shell"}},
     {"Contents/MacOS/Shell"},
     {"Contents/Helpers/Acme.app/Contents/MacOS/Shell"},
     "{bundle}/Contents/MacOS/Shell"},
    {"no helper bundle without CFBundleName",
     {},
     {{"executable", "Shell"}},
     {"Contents/Helpers/Acme.app/Contents/MacOS/Shell", "Contents/MacOS/Shell"},
     {},
     "{bundle}/Contents/MacOS/Shell"},
    {"no helper bundle when CFBundleName is not a string",
     {{"CFBundleName", 3}},
     {{"executable", "Shell"}},
     {"Contents/Helpers/3.app/Contents/MacOS/Shell", "Contents/MacOS/Shell"},
     {},
     "{bundle}/Contents/MacOS/Shell"},
    {"the helper bundle is named after CFBundleName",
     {{"CFBundleName", "Acme Helper"}},
     {{"executable", "bin/Shell"}},
     {"Contents/Helpers/Acme Helper.app/Contents/MacOS/bin/Shell", "Contents/MacOS/bin/Shell"},
     {},
     "{bundle}/Contents/Helpers/Acme Helper.app/Contents/MacOS/bin/Shell"},
    {"executable wins over bunInBundle and bun",
     {},
     {{"executable", "Shell"}, {"bunInBundle", "Contents/Resources/bun"}, {"bun", "{testShell}"}, {"shell", "/"}},
     {"Contents/MacOS/Shell", "Contents/Resources/bun"},
     {},
     "{bundle}/Contents/MacOS/Shell"},
    {"bunInBundle inside the bundle",
     {},
     {{"bunInBundle", "Contents/Resources/bun"}, {"bun", "/nonexistent/bun"}, {"shell", "/"}},
     {"Contents/Resources/bun"},
     {},
     "{bundle}/Contents/Resources/bun",
     "{bundle}/Contents/Resources:/usr/local/bin:/usr/bin:/bin"},
    {"bunInBundle as an absolute path",
     {},
     {{"bunInBundle", "{bundle}/Contents/Frameworks/bun"}, {"shell", "/"}},
     {"Contents/Frameworks/bun"},
     {},
     "{bundle}/Contents/Frameworks/bun"},
    {"bunInBundle under ~/",
     {},
     {{"bunInBundle", "~/runtime/bun"}, {"shell", "/"}},
     {"../home/runtime/bun"},
     {},
     "{home}/runtime/bun",
     "{home}/runtime:/usr/local/bin:/usr/bin:/bin"},
    {"an unusable bunInBundle falls to bun",
     {},
     {{"bunInBundle", "Contents/Resources/bun"}, {"bun", "{testShell}"}, {"shell", "/"}},
     {},
     {"Contents/Resources/bun"},
     "{testShell}",
     "{testShellDir}:/usr/local/bin:/usr/bin:/bin"},
    {"a shell that is a folder counts",
     {},
     {{"bun", "{testShell}"}, {"shell", "{bundle}/Contents"}},
     {},
     {},
     "{testShell}"},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const ProgramCase& c, std::ostream* out)
{
    *out << c.name;
}

class ShellProgram : public testing::TestWithParam<ProgramCase> {};

TEST_P(ShellProgram, IsFoundWhereTheDescriptorSays)
{
    const ProgramCase& c = GetParam();
    fixture::Bundle bundle;
    nlohmann::json info = c.info.is_null() ? nlohmann::json::object() : c.info;
    bundle.writeInfoWithIdentifier("com.example.acme", info);
    auto expand = [&](std::string text) {
        for (auto at = text.find("{testShell}"); at != std::string::npos; at = text.find("{testShell}"))
            text.replace(at, 11, fixture::testShell());
        return bundle.expand(text);
    };
    nlohmann::json descriptor = nlohmann::json::object();
    for (const auto& [name, value] : c.descriptor.items())
        descriptor[name] = value.is_string() ? nlohmann::json(expand(value.get<std::string>())) : value;
    bundle.writeDescriptor("acme", descriptor);
    for (const auto& shell : c.shells)
        bundle.installTestShell(shell);
    for (const auto& file : c.plainFiles)
        bundle.writeFile(file, "#!/bin/sh\n");
    bundle.installHost("Acme");
    auto started = bundle.runRecorded();
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    EXPECT_EQ(started.record.at("program"), expand(c.program));
    if (c.path) {
        EXPECT_EQ(started.record.at("env").value("PATH", ""), expand(*c.path));
    }
}

std::string nameOf(const testing::TestParamInfo<ProgramCase>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, ShellProgram, testing::ValuesIn(programs), nameOf);

// "bun" is used as written: a bare name is found in the working folder, not
// through PATH.
TEST(ShellProgram, ABareBunIsTakenFromTheWorkingFolder)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeDescriptor("acme", {{"bun", "bun"}, {"shell", "/"}});
    bundle.installTestShell("Contents/Resources/bun");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.workingDirectory = bundle.contents("Resources");
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    EXPECT_EQ(started.record.at("program"), "bun");
}

TEST(ShellArguments, AScriptShellGetsTheScriptThenTheHostsArguments)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.arguments = {"first", "", "with space", "--login"};
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    std::vector<std::string> expected = {bundle.contents("Resources/shell.js"), "first", "", "with space", "--login",
                                         "ts:record=" + started.recordPath, "ts:exit=0"};
    EXPECT_EQ(started.record.at("args").get<std::vector<std::string>>(), expected);
}

TEST(ShellArguments, AFrozenShellGetsOnlyTheHostsArgumentsAndItsPath)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeDescriptor("acme", {{"executable", "Shell"}, {"shell", "/ignored.js"}});
    bundle.installTestShell("Contents/MacOS/Shell");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.arguments = {"first"};
    options.environment = {{"PATH", "/only/this"}};
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    std::vector<std::string> expected = {"first", "ts:record=" + started.recordPath, "ts:exit=0"};
    EXPECT_EQ(started.record.at("args").get<std::vector<std::string>>(), expected);
    EXPECT_EQ(started.record.at("env").value("PATH", ""), "/only/this");
}

// The host ignores or blocks signals and may hold descriptors of its own;
// none of that reaches the shell.
TEST(ShellProcess, StartsWithDefaultSignalsAnEmptyMaskAndOnlyTheStandardDescriptors)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.ignoredSignals = {SIGTERM, SIGHUP, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE};
    options.blockedSignals = {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD};
    options.openDescriptors = {5, 9, 100};
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    const auto& record = started.record;
    for (const char* name : {"TERM", "HUP", "INT", "USR1", "USR2", "PIPE"})
        EXPECT_EQ(record.at("signals").at(name), "default") << name;
    EXPECT_EQ(record.at("blocked"), nlohmann::json::array());
    EXPECT_EQ(record.at("fds"), nlohmann::json::array({0, 1, 2}));
    // The host itself did hold them.
    auto hostFds = record.at("parentFds").get<std::vector<int>>();
    for (int fd : {5, 9, 100})
        EXPECT_NE(std::find(hostFds.begin(), hostFds.end(), fd), hostFds.end()) << fd;
}

// What makes the shell piped: at least one URL scheme or one service.
struct PipedCase {
    const char* name;
    nlohmann::json info;
    bool piped;
};

const PipedCase pipedCases[] = {
    {"no schemes and no services", nlohmann::json::object(), false},
    {"a URL scheme", {{"CFBundleURLTypes", {{{"CFBundleURLName", "acme"}, {"CFBundleURLSchemes", {"acme"}}}}}}, true},
    {"a Kestrune URL scheme", {{"KestruneURLSchemes", {"acme"}}}, true},
    {"a service", {{"NSServices", {{{"NSMessage", "openFiles"}, {"NSUserData", "open"}}}}}, true},
    {"a URL type without schemes", {{"CFBundleURLTypes", {{{"CFBundleURLName", "acme"}}}}}, false},
    {"schemes that are not strings", {{"CFBundleURLTypes", {{{"CFBundleURLSchemes", {1, 2}}}}}}, false},
    {"URL types that are not dictionaries", {{"CFBundleURLTypes", {"acme"}}}, false},
    {"an empty services list", {{"NSServices", nlohmann::json::array()}}, false},
    {"services that are not dictionaries", {{"NSServices", {"openFiles"}}}, false},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const PipedCase& c, std::ostream* out)
{
    *out << c.name;
}

class PipedShell : public testing::TestWithParam<PipedCase> {};

TEST_P(PipedShell, GetsPipesOrTheNullDeviceAndTheHostsOutput)
{
    const PipedCase& c = GetParam();
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("com.example.acme", c.info);
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.arguments = {"ts:print=hello from the shell"};
    auto started = bundle.runRecorded(options);
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    auto stdio = started.record.at("stdio").get<std::vector<std::string>>();
    auto hostStdio = started.record.at("parentStdio").get<std::vector<std::string>>();
    ASSERT_EQ(stdio.size(), 3u);
    ASSERT_EQ(hostStdio.size(), 3u);
    if (c.piped) {
        EXPECT_TRUE(stdio[0].starts_with("pipe:")) << stdio[0];
        EXPECT_NE(stdio[0], hostStdio[0]);
        EXPECT_TRUE(stdio[1].starts_with("pipe:")) << stdio[1];
        EXPECT_NE(stdio[1], hostStdio[1]);
    } else {
        EXPECT_EQ(stdio[0], "/dev/null");
        EXPECT_EQ(stdio[1], hostStdio[1]);
        EXPECT_EQ(started.run.out, "hello from the shell\n");
    }
    EXPECT_EQ(stdio[2], hostStdio[2]);
}

std::string pipedNameOf(const testing::TestParamInfo<PipedCase>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, PipedShell, testing::ValuesIn(pipedCases), pipedNameOf);

// Nothing of the host's start writes a file before the shell runs.
TEST(ShellProcess, FindsHomeUntouchedWhenItStarts)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("com.example.acme", {{"KestruneURLSchemes", {"acme"}}});
    bundle.writeTestShellDescriptor("acme", {{"logs", "~/logs"}, {"data", "~/data"}});
    bundle.installHost("Acme");
    auto started = bundle.runRecorded();
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    EXPECT_EQ(started.record.at("home"), nlohmann::json::array());
}

TEST(InfoPlist, ABinaryPropertyListIsRead)
{
    fixture::Bundle bundle;
    bundle.writeInfoBinary({{"CFBundleIdentifier", "com.example.acme"},
                            {"CFBundleName", "Acme"},
                            {"KestruneURLSchemes", {"acme"}},
                            {"KestruneHotKeys", {{{"key", "⌘K"}, {"url", "acme://k"}, {"when", "front:com.example.e"}}}}});
    bundle.writeDescriptor("acme", {{"executable", "Shell"}});
    bundle.installTestShell("Contents/Helpers/Acme.app/Contents/MacOS/Shell");
    bundle.installHost("Acme");
    auto started = bundle.runRecorded();
    ASSERT_EQ(started.run.status, 0) << started.run.err;
    EXPECT_EQ(started.record.at("program"), bundle.contents("Helpers/Acme.app/Contents/MacOS/Shell"));
    EXPECT_TRUE(started.record.at("stdio").at(0).get<std::string>().starts_with("pipe:"));
    auto plan = bundle.run({"--hotkey-plan", "com.example.e"});
    EXPECT_EQ(plan.status, 0) << plan.err;
    EXPECT_EQ(plan.out, "{\"key\":\"⌘K\",\"register\":true,\"url\":\"acme://k\",\"when\":\"front:com.example.e\"}\n");
}

} // namespace
