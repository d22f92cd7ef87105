// The shell's life under the host: exits, swaps, restarts, stops, signals.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using fixture::eventually;
using nlohmann::json;
using fixture::pidIn;
using fixture::textOf;

namespace {

const std::string identifier = "com.example.acme";

struct Supervised : ::testing::Test {
    fixture::Bundle bundle;
    void SetUp() override
    {
        bundle.writeInfoWithIdentifier(identifier);
        bundle.writeTestShellDescriptor();
        bundle.installHost();
    }
    std::string deathLog() const { return bundle.applicationSupport(identifier) + "/shell.jsonl"; }
    std::vector<json> records(const std::string& kind) const
    {
        std::vector<json> found;
        for (auto& line : fixture::readLines(deathLog())) {
            if (line.value("kind", "") == kind)
                found.push_back(line);
        }
        return found;
    }
    std::string file(const std::string& name) const { return bundle.root() + "/" + name; }
    fixture::RunOptions with(std::vector<std::string> arguments) const
    {
        fixture::RunOptions options;
        options.arguments = std::move(arguments);
        return options;
    }
};



bool gone(pid_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

TEST_F(Supervised, TheHostEndsAsTheShellEnds)
{
    struct Case {
        std::vector<std::string> shell;
        int status;
        std::string reason;
        int recorded;
    } cases[] = {
        {{"ts:exit=0"}, 0, "exit", 0},
        {{"ts:exit=3"}, 3, "exit", 3},
        {{"ts:raise=9"}, 137, "signal", 9},     // a crash this early never restarts
        {{"ts:raise=11"}, 139, "signal", 11},
    };
    for (const auto& c : cases) {
        std::remove(deathLog().c_str());
        auto run = bundle.run(c.shell);
        EXPECT_EQ(run.status, c.status) << c.shell[0] << run.err;
        auto exits = records("child-exit");
        ASSERT_EQ(exits.size(), 1u) << c.shell[0];
        EXPECT_EQ(exits[0]["reason"], c.reason);
        EXPECT_EQ(exits[0]["status"], c.recorded);
        EXPECT_EQ(exits[0].contains("signal"), c.reason == "signal");
        EXPECT_TRUE(exits[0]["at"].is_string());
        EXPECT_TRUE(exits[0]["shell"].is_number_integer());
        EXPECT_NE(exits[0]["pid"], exits[0]["shell"]);
    }
    EXPECT_EQ(records("child-exit").at(0)["signal"], "Segmentation fault");
}

TEST_F(Supervised, StatusSeventyFiveRestartsThroughTheLauncher)
{
    // A recorder in the launcher's place: it writes its arguments and
    // exits 5, which the host passes on.
    std::string recorder = file("open-recorder.sh");
    std::ofstream(recorder) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << file("opened") << "\nexit 5\n";
    chmod(recorder.c_str(), 0755);
    auto options = with({"--witness-wrapper", "x", "ts:exit=75"});
    options.environment["KESTRUNE_OPEN_TOOL"] = recorder;
    auto run = bundle.run(options);
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_EQ(textOf(file("opened")),
              "-g\n-n\n" + bundle.path() + "\n--args\n--witness-wrapper\nx\nts:exit=75\n--restart-witness-after\n");
}

TEST_F(Supervised, StatusSeventyFiveUnderTheServiceManagerRestartsTheService)
{
    std::string recorder = file("service-recorder.sh");
    std::ofstream(recorder) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << file("restarted") << "\nexit 0\n";
    chmod(recorder.c_str(), 0755);
    auto options = with({"ts:exit=75"});
    options.environment["XPC_SERVICE_NAME"] = identifier;
    options.environment["KESTRUNE_SERVICE_TOOL"] = recorder;
    auto run = bundle.run(options);
    EXPECT_EQ(run.status, 75) << run.err;
    EXPECT_EQ(textOf(file("restarted")), "--user\nrestart\n" + identifier + ".service\n");

    options.environment["KESTRUNE_SERVICE_TOOL"] = file("missing-tool");
    run = bundle.run(options);
    EXPECT_EQ(run.status, 75);
    EXPECT_EQ(run.err, "kickstart failed: " + file("missing-tool") + ": No such file or directory\n");
}

TEST_F(Supervised, TheBuiltInLauncherStartsANewDetachedInstance)
{
    // The new instance gets the same arguments; its shell finds the marker
    // and, instead of asking for a restart again, records itself and ends.
    auto run = bundle.run({"ts:first-time=" + file("marker"), "ts:exit=75", "ts:record=" + file("second"), "ts:exit=0"});
    EXPECT_EQ(run.status, 0) << run.err;
    auto second = fixture::readRecord(file("second"));
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)["env"]["ACME_BUNDLE_PATH"], bundle.path());
}

TEST_F(Supervised, ALateCrashRestartsUnlessHosted)
{
    std::string recorder = file("open-recorder.sh");
    std::ofstream(recorder) << "#!/bin/sh\necho restarted > " << file("opened") << "\nexit 0\n";
    chmod(recorder.c_str(), 0755);
    // A crash loop of 1 ms: the shell crashes late once the test has seen it
    // run and lets it go on.
    auto options = with({"ts:pid=" + file("shell"), "ts:await=" + file("go"), "ts:raise=9"});
    options.environment["KESTRUNE_OPEN_TOOL"] = recorder;
    options.environment["KESTRUNE_TEST_CRASH_LOOP_MS"] = "1";
    auto crashLate = [&] {
        for (const auto& name : {"shell", "go", "opened"})
            std::remove(file(name).c_str());
        auto host = bundle.start(options);
        EXPECT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
        std::ofstream(file("go")).flush();
        return host->wait();
    };
    auto run = crashLate();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(textOf(file("opened")), "restarted\n");

    options.environment["MENU_BAR_HOSTED"] = "1";
    run = crashLate();
    EXPECT_EQ(run.status, 137) << run.err;
    EXPECT_EQ(textOf(file("opened")), "");
}

TEST_F(Supervised, SighupSwapsTheShellInsideTheSameHost)
{
    bundle.writeTestShellDescriptor("acme", {{"log", bundle.root() + "/logs"}});
    auto host = bundle.start(with({"ts:pid=" + file("shell"), "ts:forever"}));
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    pid_t first = pidIn(file("shell"));
    std::remove(file("shell").c_str());
    host->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    pid_t second = pidIn(file("shell"));
    EXPECT_NE(first, second);
    EXPECT_TRUE(gone(first));
    host->signal(SIGTERM);
    auto run = host->wait();
    EXPECT_EQ(run.status, 143) << run.err;

    // One file per shell, named after the shell; the swap is recorded in the
    // new shell's file.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(bundle.root() + "/logs"))
        names.push_back(entry.path().filename());
    ASSERT_EQ(names.size(), 2u);
    for (const auto& name : names) {
        EXPECT_EQ(name.rfind("shell-", 0), 0u);
        bool isFirst = name.ends_with("-" + std::to_string(first) + ".jsonl");
        bool isSecond = name.ends_with("-" + std::to_string(second) + ".jsonl");
        ASSERT_TRUE(isFirst || isSecond) << name;
        auto lines = fixture::readLines(bundle.root() + "/logs/" + name);
        if (isSecond) {
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(lines[0]["kind"], "shell-swapped");
            EXPECT_EQ(lines[0]["asked"], "launcher-sighup");
            EXPECT_EQ(lines[0]["from"], first);
            EXPECT_EQ(lines[0]["to"], second);
            EXPECT_EQ(lines[0]["waiting"], 0);
            EXPECT_EQ(lines[1]["kind"], "child-exit");
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0]["kind"], "child-exit");
            EXPECT_EQ(lines[0]["status"], SIGTERM);
        }
    }
}

TEST_F(Supervised, AShellEndingItselfWithSighupIsSwapped)
{
    // Every shell gets the same arguments: the first hangs itself up, its
    // replacement finds the marker and exits 4 instead.
    auto run = bundle.run({"ts:first-time=" + file("marker"), "ts:raise=1", "ts:exit=4"});
    EXPECT_EQ(run.status, 4) << run.err;
    auto swapped = records("shell-swapped");
    ASSERT_EQ(swapped.size(), 1u);
    EXPECT_EQ(swapped[0]["asked"], "shell-sighup");
    auto exits = records("child-exit");
    ASSERT_EQ(exits.size(), 2u);
    EXPECT_EQ(exits[0]["status"], SIGHUP);
    EXPECT_EQ(exits[0]["shell"], swapped[0]["from"]);
    EXPECT_EQ(exits[1]["shell"], swapped[0]["to"]);
}

TEST_F(Supervised, SigtermEndsTheShellAndTheHostWithIt)
{
    struct Case {
        std::vector<std::string> shell;
        int status;
    } cases[] = {
        {{"ts:exit-on=15:3", "ts:pid=@", "ts:forever"}, 3},   // exits within the grace time
        {{"ts:pid=@", "ts:forever"}, 143},                    // killed by the SIGTERM itself
        {{"ts:pid=@", "ts:raise=19", "ts:forever"}, 143},     // stopped: the SIGCONT lets it end
    };
    for (auto c : cases) {
        std::string pidFile = file("shell");
        std::remove(pidFile.c_str());
        for (auto& argument : c.shell) {
            if (argument == "ts:pid=@")
                argument = "ts:pid=" + pidFile;
        }
        auto host = bundle.start(with(c.shell));
        ASSERT_TRUE(eventually([&] { return pidIn(pidFile) > 0; }));
        host->signal(SIGTERM);
        auto run = host->wait();
        EXPECT_EQ(run.status, c.status) << c.shell[0] << run.err;
    }
    EXPECT_TRUE(records("shell-stuck").empty());
}

TEST_F(Supervised, AShellThatIgnoresSigtermIsKilledWithEverythingItStarted)
{
    // The shell notes each SIGTERM and goes on; the grace time is 0.7 s.
    auto options = with({"ts:on=15:" + file("terms"), "ts:spawn=" + file("grandchild"), "ts:pid=" + file("shell"), "ts:forever"});
    options.environment["KESTRUNE_TEST_GRACE_MS"] = "700";
    auto host = bundle.start(options);
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    pid_t shell = pidIn(file("shell"));
    pid_t grandchild = pidIn(file("grandchild"));
    host->signal(SIGTERM);
    // Once the host has passed the first on, a second SIGTERM and a SIGHUP
    // change nothing: one timer, no swap.
    ASSERT_TRUE(eventually([&] { return textOf(file("terms")) == "15\n"; }));
    host->signal(SIGTERM);
    host->signal(SIGHUP);
    auto run = host->wait();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(eventually([&] { return gone(grandchild); }));
    auto stuck = records("shell-stuck");
    ASSERT_EQ(stuck.size(), 1u);
    EXPECT_EQ(stuck[0]["asked"], "term");
    EXPECT_EQ(stuck[0]["shell"], shell);
    EXPECT_EQ(stuck[0]["graceSeconds"], 0.7);
    EXPECT_EQ(textOf(file("terms")), "15\n15\n");
    auto killed = stuck[0]["killed"].get<std::vector<pid_t>>();
    EXPECT_NE(std::find(killed.begin(), killed.end(), shell), killed.end());
    EXPECT_NE(std::find(killed.begin(), killed.end(), grandchild), killed.end());
    EXPECT_TRUE(records("shell-swapped").empty());
}

TEST_F(Supervised, ReopenRequestsWaitUntilTheShellHearsThem)
{
    // The shell installs its handler only after a while, then announces it.
    std::string heard = file("heard");
    auto host = bundle.start(with({"ts:pid=" + file("shell"), "ts:await=" + file("go"), "ts:on=10:" + heard, "ts:tell-host=12", "ts:forever"}));
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    host->signal(SIGUSR1);
    host->signal(SIGUSR1);
    // The shell installs its handler only once the host has kept a request.
    ASSERT_TRUE(eventually([&] { return records("reopen-waiting").size() == 1; }));
    std::ofstream(file("go")).flush();
    ASSERT_TRUE(eventually([&] { return textOf(heard) == "10\n"; }));
    EXPECT_EQ(records("reopen-waiting").size(), 1u);
    EXPECT_EQ(records("reopen-resumed").size(), 1u);
    // Announced: later requests go straight through.
    host->signal(SIGUSR1);
    EXPECT_TRUE(eventually([&] { return textOf(heard) == "10\n10\n"; }));
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait().status, 143);
}

TEST_F(Supervised, AShellThatCatchesReopenGetsItWithoutAnnouncing)
{
    std::string heard = file("heard");
    auto host = bundle.start(with({"ts:on=10:" + heard, "ts:pid=" + file("shell"), "ts:forever"}));
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    host->signal(SIGUSR1);
    EXPECT_TRUE(eventually([&] { return textOf(heard) == "10\n"; }));
    EXPECT_TRUE(records("reopen-waiting").empty());
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait().status, 143);
}

TEST_F(Supervised, SigintInterruptsTheShellOnly)
{
    std::string heard = file("heard");
    auto host = bundle.start(with({"ts:on=2:" + heard, "ts:pid=" + file("shell"), "ts:forever"}));
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    host->signal(SIGINT);
    EXPECT_TRUE(eventually([&] { return textOf(heard) == "2\n"; }));
    EXPECT_FALSE(host->ended());
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait().status, 143);
}

TEST_F(Supervised, ASwapWhoseShellCannotLaunchEndsTheHost)
{
    // The runtime is a copy in the bundle; without it the second launch fails.
    bundle.writeFile("Contents/Resources/runtime", "", true);
    std::filesystem::copy_file(fixture::testShell(), bundle.contents("Resources/runtime"),
                               std::filesystem::copy_options::overwrite_existing);
    bundle.writeFile("Contents/Resources/shell.js", "");
    bundle.writeDescriptor("acme", {{"bun", bundle.contents("Resources/runtime")}, {"shell", bundle.contents("Resources/shell.js")}});
    auto host = bundle.start(with({"ts:pid=" + file("shell"), "ts:forever"}));
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    std::filesystem::remove(bundle.contents("Resources/runtime"));
    host->signal(SIGHUP);
    auto run = host->wait();
    EXPECT_EQ(run.status, 71);
    EXPECT_EQ(run.err, bundle.contents("Resources/runtime") + ": No such file or directory\n");
}

TEST_F(Supervised, TheDeathLogGoesWhereTheDescriptorSays)
{
    // A file: created with its folders.
    std::string log = bundle.root() + "/a/b/s.jsonl";
    bundle.writeTestShellDescriptor("acme", {{"log", log}});
    auto run = bundle.run({"ts:exit=2"});
    EXPECT_EQ(run.status, 2);
    auto lines = fixture::readLines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["status"], 2);

    // A place that cannot be written: said once on standard error.
    bundle.writeFile("not-a-folder", "");
    bundle.writeTestShellDescriptor("acme", {{"log", bundle.path() + "/not-a-folder/s.jsonl"}});
    run = bundle.run({"ts:exit=2"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "death log unavailable\n");
}

TEST_F(Supervised, WhatAPipedShellWroteLastIsOutBeforeTheHostEnds)
{
    bundle.writeInfoWithIdentifier(identifier, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    const std::string text = "a console line of the shell, long enough to take the reader a moment";
    std::string expected;
    for (int i = 0; i < 20000; ++i)
        expected += text + "\n";
    for (int round = 0; round < 5; ++round) {
        // The shell writes it all at once and exits at once.
        auto run = bundle.run({"ts:fill=20000:" + text + "\\n", "ts:exit=0"});
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(run.out.size(), expected.size()) << "round " << round;
        ASSERT_EQ(run.out, expected);
    }
}

TEST_F(Supervised, SignalsTheHostInheritedBlockedStillReachIt)
{
    // Whoever started the host may have left signals blocked; the ones it
    // handles must reach it all the same.
    auto options = with({"ts:pid=" + file("shell"), "ts:forever"});
    options.blockedSignals = {SIGTERM, SIGHUP, SIGUSR1, SIGINT};
    auto host = bundle.start(options);
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; }));
    std::remove(file("shell").c_str());
    host->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return pidIn(file("shell")) > 0; })) << host->err();
    EXPECT_EQ(records("shell-swapped").size(), 1u);
    host->signal(SIGTERM);
    auto run = host->wait(std::chrono::seconds(10));
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 143) << run.err;
}
