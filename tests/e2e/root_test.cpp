// The host follows the process that started it, and can be adopted by a
// successor when its hosting parent asks for that.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using fixture::eventually;
using nlohmann::json;
using fixture::textOf;

namespace {

const std::string identifier = "com.example.acme";


// Orphans of the host end up as this process's children: reap them.
bool gone(pid_t pid)
{
    waitpid(pid, nullptr, WNOHANG);
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// The host runs under a shell that plays its parent: killing that shell is
// the parent going away. This test process is the subreaper that inherits
// the host, so it can wait for the host's exit status.
struct Rooted : ::testing::Test {
    fixture::Bundle bundle;
    std::unique_ptr<fixture::Started> parent;
    pid_t host = -1;

    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override
    {
        bundle.writeInfoWithIdentifier(identifier);
        bundle.writeTestShellDescriptor();
        std::string path = bundle.installHost();
        std::ofstream(file("parent.sh")) << "#!/bin/sh\n\"" << path << "\" \"$@\" &\necho $! > " << file("host")
                                          << "\nwhile :; do sleep 1; done\n";
        chmod(file("parent.sh").c_str(), 0755);
    }

    void TearDown() override
    {
        if (host > 0 && !gone(host)) {
            kill(host, SIGKILL);
            waitpid(host, nullptr, 0);
        }
    }

    std::string file(const std::string& name) const { return bundle.root() + "/" + name; }
    std::string folder() const { return bundle.applicationSupport(identifier); }

    void startUnderAParent(std::vector<std::string> arguments, std::map<std::string, std::string> environment = {})
    {
        fixture::RunOptions options;
        options.arguments = std::move(arguments);
        options.environment = std::move(environment);
        // The wait looks for a root often, and a shell that ignores the end
        // is killed soon.
        options.environment.emplace("KESTRUNE_TEST_ROOT_WAIT_TICK_MS", "20");
        options.environment.emplace("KESTRUNE_TEST_LOST_PARENT_GRACE_MS", "300");
        options.timeout = std::chrono::seconds(60);
        parent = std::make_unique<fixture::Started>(file("parent.sh"), options, bundle.home());
        ASSERT_TRUE(eventually([&] { return std::atoi(textOf(file("host")).c_str()) > 0; }));
        host = std::atoi(textOf(file("host")).c_str());
    }

    // The parent goes away; the host is now this process's child.
    void loseTheParent()
    {
        parent->signal(SIGKILL);
        parent->reap();
    }

    int hostStatus()
    {
        int status = 0;
        bool ended = eventually([&] { return waitpid(host, &status, WNOHANG) == host; }, std::chrono::seconds(30));
        EXPECT_TRUE(ended);
        host = -1;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

    std::vector<json> records(const std::string& kind) const
    {
        std::vector<json> found;
        for (auto& line : fixture::readLines(folder() + "/shell.jsonl")) {
            if (line.value("kind", "") == kind)
                found.push_back(line);
        }
        return found;
    }
};

pid_t numberIn(const std::string& path)
{
    return static_cast<pid_t>(std::atoi(textOf(path).c_str()));
}

} // namespace

TEST_F(Rooted, TheHostLeavesWithItsParentAndTakesEverythingWithIt)
{
    startUnderAParent({"ts:spawn=" + file("grandchild"), "ts:pid=" + file("shell"), "ts:forever"});
    ASSERT_TRUE(eventually([&] { return numberIn(file("shell")) > 0 && numberIn(file("grandchild")) > 0; }));
    pid_t parentPid = parent->pid();
    pid_t grandchild = numberIn(file("grandchild"));
    loseTheParent();
    EXPECT_EQ(hostStatus(), 0);
    EXPECT_TRUE(eventually([&] { return gone(grandchild); }));
    auto goneRecords = records("parent-gone");
    ASSERT_EQ(goneRecords.size(), 1u);
    EXPECT_EQ(goneRecords[0]["parent"], parentPid);
    EXPECT_EQ(goneRecords[0]["shell"], numberIn(file("shell")));
    EXPECT_EQ(goneRecords[0]["descendants"], json::array({grandchild}));
    EXPECT_FALSE(std::ifstream(folder() + "/awaiting-root.json"));
}

TEST_F(Rooted, AShellThatIgnoresTheEndIsKilledAfterItsGraceTime)
{
    startUnderAParent({"ts:ignore=15", "ts:pid=" + file("shell"), "ts:forever"});
    ASSERT_TRUE(eventually([&] { return numberIn(file("shell")) > 0; }));
    pid_t shell = numberIn(file("shell"));
    loseTheParent();
    EXPECT_EQ(hostStatus(), 0);
    EXPECT_TRUE(eventually([&] { return gone(shell); }));
    EXPECT_EQ(records("parent-gone").size(), 1u);
}

TEST_F(Rooted, AHostedHostWaitsForASuccessorAndFollowsIt)
{
    startUnderAParent({"ts:pid=" + file("shell"), "ts:forever"}, {{"MENU_BAR_HOSTED", "1"}, {"MENU_BAR_ROOT_WAIT_SECONDS", "20"}});
    ASSERT_TRUE(eventually([&] { return numberIn(file("shell")) > 0; }));
    pid_t lost = parent->pid();
    loseTheParent();

    std::string awaiting = folder() + "/awaiting-root.json";
    ASSERT_TRUE(eventually([&] { return !textOf(awaiting).empty(); }));
    json file = json::parse(textOf(awaiting));
    EXPECT_EQ(file["lost"], lost);
    EXPECT_EQ(file["pid"], host);
    EXPECT_TRUE(file["at"].is_string());
    EXPECT_EQ(file.size(), 3u);
    ASSERT_EQ(records("root-lost").size(), 1u);
    EXPECT_EQ(records("root-lost")[0]["waitSeconds"], 20.0);

    // A successor: any live process will do.
    pid_t successor = fork();
    if (successor == 0) {
        for (;;)
            pause();
    }
    file["root"] = successor;
    std::ofstream(awaiting + ".new") << file.dump();
    std::rename((awaiting + ".new").c_str(), awaiting.c_str());
    ASSERT_TRUE(eventually([&] { return records("root-adopted").size() == 1; }));
    auto adopted = records("root-adopted")[0];
    EXPECT_EQ(adopted["parent"], successor);
    EXPECT_EQ(adopted["lost"], lost);
    EXPECT_TRUE(eventually([&] { return !std::ifstream(awaiting); }));

    // The successor goes away in turn: the wait starts again, for it.
    kill(successor, SIGKILL);
    waitpid(successor, nullptr, 0);
    ASSERT_TRUE(eventually([&] { return !textOf(awaiting).empty(); }));
    EXPECT_EQ(json::parse(textOf(awaiting))["lost"], successor);

    kill(host, SIGTERM);
    EXPECT_EQ(hostStatus(), 143);
}

TEST_F(Rooted, AnAdopterThatGetsTheFileWrongIsIgnoredUntilTheDeadline)
{
    // Root 1, or a file that is not JSON: each stays until the deadline, read
    // at every tick, and neither adopts.
    const std::function<std::string(json)> wrongAnswers[] = {
        [](json file) {
            file["root"] = 1;
            return file.dump();
        },
        [](json) { return std::string("{not json"); },
    };
    for (const auto& wrongAnswer : wrongAnswers) {
        std::remove(file("shell").c_str());
        std::remove(file("host").c_str());
        std::remove((folder() + "/shell.jsonl").c_str());
        startUnderAParent({"ts:pid=" + file("shell"), "ts:forever"}, {{"MENU_BAR_HOSTED", "1"}, {"MENU_BAR_ROOT_WAIT_SECONDS", "1"}});
        ASSERT_TRUE(eventually([&] { return numberIn(file("shell")) > 0; }));
        pid_t lost = parent->pid();
        loseTheParent();
        std::string awaiting = folder() + "/awaiting-root.json";
        json waiting;
        ASSERT_TRUE(eventually([&] { return (waiting = json::parse(textOf(awaiting), nullptr, false)).is_object(); }));
        std::ofstream(awaiting) << wrongAnswer(waiting);
        EXPECT_EQ(hostStatus(), 0);
        EXPECT_TRUE(records("root-adopted").empty());
        auto never = records("root-never-came");
        ASSERT_EQ(never.size(), 1u);
        EXPECT_EQ(never[0]["parent"], lost);
        EXPECT_EQ(never[0]["waitSeconds"], 1.0);
        EXPECT_EQ(records("parent-gone").size(), 1u);
        EXPECT_FALSE(std::ifstream(awaiting));
    }
}

TEST_F(Rooted, AWaitForARootEndsAtSigterm)
{
    startUnderAParent({"ts:ignore=15", "ts:pid=" + file("shell"), "ts:forever"},
                      {{"MENU_BAR_HOSTED", "1"}, {"MENU_BAR_ROOT_WAIT_SECONDS", "30"}});
    ASSERT_TRUE(eventually([&] { return numberIn(file("shell")) > 0; }));
    loseTheParent();
    ASSERT_TRUE(eventually([&] { return records("root-lost").size() == 1; }));
    kill(host, SIGTERM);
    // The shell ignores SIGTERM: the next tick of the wait gives up and the
    // host leaves, killing the shell after its grace time.
    EXPECT_EQ(hostStatus(), 0);
    EXPECT_EQ(records("root-never-came").size(), 1u);
}

