// Links under stress: the shell is swapped again and again while links keep
// arriving, and none is lost, doubled or reordered on the way. Labelled
// "stress" for ctest; KESTRUNE_STRESS_SWAPS raises the number of swaps.
#include "support/desktop_server.h"
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using fixture::pidIn;
using fixture::textOf;
using namespace std::chrono_literals;

namespace {

int swapsAskedFor()
{
    const char* asked = std::getenv("KESTRUNE_STRESS_SWAPS");
    int swaps = asked ? std::atoi(asked) : 0;
    return swaps > 0 ? swaps : 200;
}

std::string numbered(int n)
{
    return "acme://n/" + std::to_string(n);
}

} // namespace

TEST(LinksStress, EveryLinkReachesExactlyOneShellInOrderAcrossManySwaps)
{
    const int swaps = swapsAskedFor();
    const auto began = std::chrono::steady_clock::now();
    DesktopServer desktop;
    fixture::Bundle bundle;
    const std::string identifier = "com.example.acme";
    bundle.writeInfoWithIdentifier(identifier, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    const std::string linkLog = bundle.root() + "/links.jsonl";
    bundle.writeTestShellDescriptor("acme", {{"links", linkLog}});
    bundle.installHost();
    // Every shell copies what it hears to a file of its own and, asked to
    // end, first takes what is still in its pipe: a link that reached the
    // pipe has reached the shell.
    const std::string pidFile = bundle.root() + "/shell.pid";
    auto heardBy = [&](pid_t shell) { return bundle.root() + "/heard-" + std::to_string(shell); };
    fixture::RunOptions options;
    options.arguments = {"ts:drain-on=15:50", "ts:pid=" + pidFile, "ts:echo=3600000:" + bundle.root() + "/heard-%p"};
    options.timeout = 3600s;
    auto host = fixture::startHost(bundle, desktop.withDesktop(options));
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host->err();
    ASSERT_TRUE(eventually([&] { return pidIn(pidFile) > 0; })) << host->err();
    std::vector<pid_t> shells{pidIn(pidFile)};

    // Links keep coming, numbered, from a thread of their own.
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int n = 1; !stop; ++n) {
            auto reply = desktop.getURL(numbered(n));
            if (reply.contains("error"))
                break;
            sent = n;
            std::this_thread::sleep_for(1ms);
        }
    });
    struct Joined {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Joined()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
        }
    } joined{stop, sender};

    for (int swap = 1; swap <= swaps; ++swap) {
        const pid_t before = shells.back();
        host->signal(SIGHUP);
        ASSERT_TRUE(eventually([&] { return pidIn(pidFile) != before && pidIn(pidFile) > 0; }, 30s))
            << "swap " << swap << " did not finish\n" << host->err();
        shells.push_back(pidIn(pidFile));
    }
    stop = true;
    sender.join();
    const int total = sent;
    ASSERT_GT(total, swaps) << "links came while the shells were swapped";

    // Everything sent gets through, then the host stops.
    auto heardInAll = [&] {
        std::size_t lines = 0;
        for (pid_t shell : shells) {
            const std::string text = textOf(heardBy(shell));
            lines += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        }
        return lines;
    };
    EXPECT_TRUE(eventually([&] { return fixture::readLines(linkLog).size() >= static_cast<std::size_t>(total); }, 60s));
    EXPECT_TRUE(eventually([&] { return heardInAll() >= static_cast<std::size_t>(total); }, 20s));
    host->signal(SIGTERM);
    auto run = host->wait(30s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;

    // The shells together heard every link once, in the order sent, each
    // line whole.
    std::map<std::string, pid_t> heardBySomeShell;
    std::vector<std::string> heard;
    for (pid_t shell : shells) {
        const std::string text = textOf(heardBy(shell));
        EXPECT_TRUE(text.empty() || text.back() == '\n') << "shell " << shell << " heard part of a line";
        std::stringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            auto message = json::parse(line, nullptr, false);
            ASSERT_TRUE(message.is_object() && message.size() == 1 && message["url"].is_string()) << line;
            heard.push_back(message["url"]);
            heardBySomeShell[message["url"]] = shell;
        }
    }
    std::vector<std::string> expected;
    for (int n = 1; n <= total; ++n)
        expected.push_back(numbered(n));
    const auto logLines = fixture::readLines(linkLog);
    if (heard != expected) {
        std::size_t at = 0;
        while (at < heard.size() && at < expected.size() && heard[at] == expected[at])
            ++at;
        std::string record = "(none)";
        for (const auto& line : logLines) {
            if (at < expected.size() && line.value("url", "") == expected[at])
                record = line.dump();
        }
        ADD_FAILURE() << "the shells heard " << heard.size() << " links for " << total << " sent; the first difference at " << at << ": "
                      << (at < heard.size() ? heard[at] : "(nothing)") << " for " << (at < expected.size() ? expected[at] : "(nothing)")
                      << ", logged as " << record;
    }

    // The link log has each once, delivered to the shell that heard it.
    std::map<std::string, int> logged;
    int misplaced = 0, undelivered = 0, keptThroughASwap = 0;
    for (const auto& line : logLines) {
        const std::string url = line.value("url", "");
        ++logged[url];
        undelivered += line.value("delivered", false) ? 0 : 1;
        keptThroughASwap += line.value("ready", true) ? 0 : 1;
        auto shell = heardBySomeShell.find(url);
        misplaced += shell == heardBySomeShell.end() || line.value("shell", 0) != shell->second;
    }
    EXPECT_EQ(logged.size(), static_cast<std::size_t>(total));
    int doubled = 0;
    for (const auto& [url, times] : logged)
        doubled += times != 1;
    EXPECT_EQ(doubled, 0) << "links logged more than once";
    EXPECT_EQ(undelivered, 0);
    EXPECT_EQ(misplaced, 0) << "log lines naming another shell than the one that heard the link";
    EXPECT_GT(keptThroughASwap, 0) << "no link arrived during a swap: the test proved nothing";

    int swapped = 0;
    for (const auto& record : fixture::readLines(bundle.applicationSupport(identifier) + "/shell.jsonl"))
        swapped += record.value("kind", "") == "shell-swapped";
    EXPECT_EQ(swapped, swaps);

    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::cout << "[ stress   ] " << swaps << " swaps, " << total << " links (" << keptThroughASwap << " kept through a swap) in " << seconds
              << " s\n";
}
