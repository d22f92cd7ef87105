// The application's delegate through the real host and the desktop server:
// quits from the application itself (confirmed by the user), from other
// programs and from the session (not confirmed), the records of each
// decision, the orderly stop of the shell and of everything it started, and
// reopening the running application.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include "platform/process.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <unistd.h>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using fixture::pidIn;
using fixture::textOf;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";



const json menuRows = json::array({{{"id", "hello"}, {"title", "Hello"}, {"enabled", true}}});

// A piped host of a bundle in a temporary folder whose shell writes its
// process id to shell.pid and then does what `shell` says ("{root}" stands
// for the temporary folder). Its death log is death.jsonl there.
class QuitHost : public fixture::Host {
public:
    QuitHost(DesktopServer& desktop, std::vector<std::string> shell, json info = json::object(), const std::string& executable = "Acme",
             json descriptor = json::object())
        : desktop_(desktop)
        , executable_(executable)
    {
        info["CFBundleURLTypes"] = json::array({{{"CFBundleURLSchemes", {"acme"}}}});
        bundle.writeInfoWithIdentifier(identifier, info);
        descriptor["log"] = deathLog();
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost(executable);
        fixture::RunOptions options;
        options.arguments = {bundle.expand("ts:pid={root}/shell.pid")};
        for (const auto& argument : shell)
            options.arguments.push_back(bundle.expand(argument));
        start(desktop.withDesktop(options), executable);
    }

    // Waits for the shell and for the server to know the host.
    bool started()
    {
        return desktop_.waitForHost(identifier).has_value() && eventually([&] { return pidIn(file("shell.pid")) > 0; });
    }
    pid_t shell() const { return pidIn(file("shell.pid")); }
    std::string deathLog() const { return bundle.root() + "/death.jsonl"; }
    // The death-log records of these kinds, in order.
    std::vector<json> records(const std::set<std::string>& kinds) const
    {
        std::vector<json> found;
        for (const auto& record : fixture::readLines(deathLog())) {
            if (kinds.count(record.value("kind", "")))
                found.push_back(record);
        }
        return found;
    }
    std::vector<json> quitRecords() const { return records({"quit-confirmed", "quit-cancelled"}); }
    json record() { return DesktopServer::hostIn(desktop_.state(), pid()); }
    // Asks the host to quit without waiting for its answer.
    json askToQuit(json reason = nullptr, json sender = nullptr)
    {
        return desktop_.request({{"op", "askToQuit"}, {"reason", reason}, {"sender", sender}, {"host", pid()}});
    }
    // Waits until the host shows its quit alert; the alert then.
    json alert()
    {
        json shown;
        eventually([&] {
            shown = record()["alert"];
            return shown.is_object();
        });
        return shown;
    }


private:
    DesktopServer& desktop_;
    std::string executable_;
};

// A process running the test shell from inside the bundle, as a helper
// program of the application would.
std::unique_ptr<fixture::Started> helperInside(fixture::Bundle& bundle)
{
    std::string path = bundle.installTestShell("Contents/Helpers/acme-helper");
    fixture::RunOptions options;
    options.arguments = {"ts:forever"};
    auto helper = std::make_unique<fixture::Started>(path, options, bundle.home());
    // Until it has run its program it is still the test's copy.
    EXPECT_TRUE(eventually([&] { return platform::executablePathOf(helper->pid()) == path; }));
    return helper;
}

} // namespace

// --- Quits from the application itself ------------------------------------------

TEST(Quit, AQuitFromTheApplicationItselfIsConfirmedByTheUser)
{
    struct Case {
        const char* what;
        json info;
        std::string executable;
        std::string sender;   // "", "host" or "helper"
        std::string name;     // in the alert
    } cases[] = {
        {"its own menu, with a display name", {{"CFBundleDisplayName", "Acme Pro"}, {"CFBundleName", "Acme"}}, "Acme", "", "Acme Pro"},
        {"an Apple event from the host itself, with a bundle name", {{"CFBundleName", "Acme"}}, "AcmeHost", "host", "Acme"},
        {"a helper program inside the bundle, with no name at all", json::object(), "AcmeHost", "helper", "AcmeHost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        auto safari = desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"localizedName", "Safari"}})["application"]["pid"];
        desktop.front(safari);
        QuitHost host(desktop, {"ts:print=" + json{{"menu", menuRows}}.dump(), "ts:exit-on=15:0", "ts:forever"}, c.info, c.executable,
                      {{"menu", "child"}});
        ASSERT_TRUE(host.started()) << host.process->err();
        ASSERT_TRUE(eventually([&] { return host.record()["activationPolicy"] == 1; })) << "the menu is drawn";
        std::unique_ptr<fixture::Started> helper;
        json sender = nullptr;
        if (c.sender == "host")
            sender = host.pid();
        if (c.sender == "helper") {
            helper = helperInside(host.bundle);
            sender = helper->pid();
        }

        // Cancel: the record, and the application as it was.
        host.askToQuit(nullptr, sender);
        json alert = host.alert();
        EXPECT_EQ(alert, (json{{"messageText", "Quit " + c.name + "?"},
                               {"informativeText", "Every window and helper process of " + c.name + " will close."},
                               {"buttons", {"Quit", "Cancel"}}}));
        json state = desktop.state();
        EXPECT_EQ(state["front"], host.pid()) << "the alert comes to the front";
        EXPECT_EQ(DesktopServer::hostIn(state, host.pid())["activationPolicy"], 1);
        desktop.answerAlert("Cancel");
        ASSERT_TRUE(eventually([&] { return !host.quitRecords().empty(); }));
        auto decided = host.quitRecords();
        ASSERT_EQ(decided.size(), 1u);
        EXPECT_EQ(decided[0]["kind"], "quit-cancelled");
        EXPECT_EQ(decided[0]["shell"], host.shell());
        EXPECT_EQ(decided[0]["pid"], host.pid());
        EXPECT_TRUE(decided[0]["at"].is_string());
        EXPECT_FALSE(decided[0].contains("asker"));
        ASSERT_TRUE(eventually([&] { return host.record()["answers"].size() == 1; }));
        EXPECT_EQ(host.record()["answers"][0]["answer"], (json{{"reply", "cancel"}}));
        EXPECT_EQ(host.record()["activationPolicy"], 1) << "a cancelled quit leaves the status item's application as it was";
        EXPECT_FALSE(host.process->ended());
        EXPECT_TRUE(platform::isAlive(host.shell()));

        // Quit: the record, and the host leaves with its shell.
        host.askToQuit(nullptr, sender);
        host.alert();
        desktop.answerAlert("Quit");
        auto run = host.process->wait(15s);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0) << run.err;
        decided = host.quitRecords();
        ASSERT_EQ(decided.size(), 2u);
        EXPECT_EQ(decided[1]["kind"], "quit-confirmed");
        EXPECT_EQ(decided[1]["asker"], "own");
        EXPECT_EQ(decided[1]["descendants"], json::array());
        auto exits = host.records({"child-exit"});
        ASSERT_EQ(exits.size(), 1u);
        EXPECT_EQ(exits[0]["status"], 0) << "the shell was asked to end and did";
        auto answers = DesktopServer::hostIn(desktop.state(), host.pid())["answers"];
        ASSERT_EQ(answers.size(), 2u);
        EXPECT_EQ(answers[1]["answer"], (json{{"reply", "cancel"}})) << "the host ends itself once the shell is gone";
    }
}

// --- Quits from elsewhere ----------------------------------------------------------

TEST(Quit, QuitsFromOtherProgramsAndTheSessionAreRecordedWithoutAsking)
{
    struct Case {
        const char* what;
        json reason;
        std::string sender;   // "Safari", "test" (this process, outside the bundle), "helper" or ""
        const char* asker;
    } cases[] = {
        {"an application of the session", nullptr, "Safari", "outside"},
        {"a real program outside the bundle", nullptr, "test", "outside"},
        {"the session shutting down", "shut", "", "session"},
        {"a log-out sent by a helper inside the bundle", "logo", "helper", "session"},
        {"a restart from another program", "rest", "Safari", "session"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"localizedName", "Safari"}});
        QuitHost host(desktop, {"ts:exit-on=15:0", "ts:forever"});
        ASSERT_TRUE(host.started()) << host.process->err();
        std::unique_ptr<fixture::Started> helper;
        json sender = nullptr;
        if (c.sender == "Safari")
            sender = "Safari";
        if (c.sender == "test")
            sender = getpid();
        if (c.sender == "helper") {
            helper = helperInside(host.bundle);
            sender = helper->pid();
        }
        auto answer = desktop.askToQuit(c.reason, sender, host.pid());
        EXPECT_EQ(answer["answer"], (json{{"reply", "cancel"}})) << answer.dump();
        auto run = host.process->wait(15s);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0) << run.err;
        auto decided = host.quitRecords();
        ASSERT_EQ(decided.size(), 1u);
        EXPECT_EQ(decided[0]["kind"], "quit-confirmed");
        EXPECT_EQ(decided[0]["asker"], c.asker);
        EXPECT_EQ(DesktopServer::hostIn(desktop.state(), host.pid())["alerts"], json::array()) << "nobody was asked";
    }
}

TEST(Quit, EveryDescendantOfTheShellGetsSIGTERMBeforeTheShellIsStopped)
{
    DesktopServer desktop;
    // The shell's child and grandchild note each SIGTERM and live on; the
    // shell itself ends on its SIGTERM.
    QuitHost host(desktop, {"ts:grandchildren={root}/family", "ts:exit-on=15:0", "ts:forever"});
    ASSERT_TRUE(host.started()) << host.process->err();
    pid_t child = 0, grandchild = 0;
    ASSERT_TRUE(eventually([&] {
        std::istringstream lines(textOf(host.file("family")));
        std::string word;
        pid_t pid = 0;
        while (lines >> word >> pid) {
            if (word == "child")
                child = pid;
            if (word == "grandchild")
                grandchild = pid;
        }
        return child > 0 && grandchild > 0;
    }));

    auto answer = desktop.askToQuit("shut", nullptr, host.pid());
    EXPECT_EQ(answer["answer"], (json{{"reply", "cancel"}}));
    auto run = host.process->wait(15s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;

    auto decided = host.quitRecords();
    ASSERT_EQ(decided.size(), 1u);
    EXPECT_EQ(decided[0]["asker"], "session");
    auto descendants = decided[0]["descendants"].get<std::vector<pid_t>>();
    std::sort(descendants.begin(), descendants.end());
    EXPECT_EQ(descendants, (std::vector<pid_t>{std::min(child, grandchild), std::max(child, grandchild)}));
    // Each noted its SIGTERM, which the host sent before asking the shell to
    // end: the kill that follows the shell's end would have left no time.
    const std::string family = textOf(host.file("family"));
    EXPECT_NE(family.find(std::to_string(child) + " 15\n"), std::string::npos) << family;
    EXPECT_NE(family.find(std::to_string(grandchild) + " 15\n"), std::string::npos) << family;
    EXPECT_TRUE(eventually([&] { return !platform::isAlive(child) && !platform::isAlive(grandchild); }))
        << "nothing the shell started outlives the quit";
}

// --- Quits at awkward moments ---------------------------------------------------------

TEST(Quit, AQuitAtAnAwkwardMomentEndsInOneOrderlyStopAndOneRecord)
{
    // The shell catches SIGTERM and lives on (the first one of a swap too),
    // so each case can act while the stop is under way; the test ends the
    // shell at last, and the host leaves with it.
    struct Case {
        const char* what;
        std::function<void(DesktopServer&, QuitHost&)> act;
    } cases[] = {
        {"twice in a row, a SIGHUP between them",
         [](DesktopServer& desktop, QuitHost& host) {
             EXPECT_EQ(desktop.askToQuit(nullptr, "Safari", host.pid())["answer"], (json{{"reply", "cancel"}}));
             host.process->signal(SIGHUP);
             EXPECT_EQ(desktop.askToQuit("shut", nullptr, host.pid())["answer"], (json{{"reply", "cancel"}}));
         }},
        {"while the confirmation is open",
         [](DesktopServer& desktop, QuitHost& host) {
             host.askToQuit();
             host.alert();
             // Waits behind the modal alert.
             host.askToQuit(nullptr, "Safari");
             desktop.answerAlert("Quit");
             EXPECT_TRUE(eventually([&] { return host.record()["answers"].size() == 2; }));
             const json record = host.record();
             for (const auto& answer : record["answers"])
                 EXPECT_EQ(answer["answer"], (json{{"reply", "cancel"}}));
         }},
        {"while the shell is being swapped",
         [](DesktopServer& desktop, QuitHost& host) {
             host.process->signal(SIGHUP);
             EXPECT_TRUE(eventually([&] { return textOf(host.file("terms")) == "15\n"; })) << "the swap asked the shell to end";
             EXPECT_EQ(desktop.askToQuit(nullptr, "Safari", host.pid())["answer"], (json{{"reply", "cancel"}}));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        desktop.add({{"bundleIdentifier", "com.apple.Safari"}, {"localizedName", "Safari"}});
        QuitHost host(desktop, {"ts:on=15:{root}/terms", "ts:forever"});
        ASSERT_TRUE(host.started()) << host.process->err();
        const pid_t shell = host.shell();
        c.act(desktop, host);
        ASSERT_TRUE(eventually([&] { return !host.quitRecords().empty(); }));

        kill(shell, SIGKILL);
        auto run = host.process->wait(15s);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0) << run.err;
        auto decided = host.quitRecords();
        ASSERT_EQ(decided.size(), 1u) << textOf(host.deathLog());
        EXPECT_EQ(decided[0]["kind"], "quit-confirmed");
        EXPECT_EQ(decided[0]["shell"], shell);
        EXPECT_EQ(host.shell(), shell) << "no other shell was started";
        EXPECT_TRUE(host.records({"shell-swapped", "shell-stuck"}).empty()) << textOf(host.deathLog());
        EXPECT_EQ(host.records({"child-exit"}).size(), 1u);
    }
}

TEST(Quit, AQuitWhileNoShellRunsEndsTheHostAtOnceWithoutARecord)
{
    DesktopServer desktop;
    // The shell has ended; its child keeps writing to the shell's output, so
    // the host is still reading what the shell left when the quit comes.
    QuitHost host(desktop, {"ts:chatter=20:{root}/chatter", "ts:exit=0"});
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host.process->err();
    ASSERT_TRUE(eventually([&] { return host.shell() > 0 && pidIn(host.file("chatter")) > 0; }));
    const pid_t chatter = pidIn(host.file("chatter"));
    ASSERT_TRUE(eventually([&] { return !platform::isAlive(host.shell()); })) << "the host reaped the shell";

    // As from its own menu: with no shell there is nothing to confirm.
    auto answer = desktop.askToQuit(nullptr, nullptr, host.pid());
    EXPECT_EQ(answer["answer"], (json{{"reply", "now"}})) << answer.dump();
    auto run = host.process->wait(15s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(host.quitRecords().empty()) << textOf(host.deathLog());
    EXPECT_EQ(DesktopServer::hostIn(desktop.state(), host.pid())["alerts"], json::array());
    kill(chatter, SIGKILL);
}

// --- Reopening -------------------------------------------------------------------------

TEST(Reopen, PopsTheMenuUpOnceDrawnAndOtherwiseAsksTheShell)
{
    struct Case {
        const char* what;
        bool drawsAMenu;
    } cases[] = {
        {"no menu drawn: the shell hears SIGUSR1", false},
        {"a menu drawn: it pops up, and the shell hears nothing", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        std::vector<std::string> shell = {"ts:on=10:{root}/reopens"};
        if (c.drawsAMenu)
            shell.push_back("ts:print=" + json{{"menu", menuRows}}.dump());
        shell.push_back("ts:forever");
        QuitHost host(desktop, shell, json::object(), "Acme", {{"menu", "child"}});
        ASSERT_TRUE(host.started()) << host.process->err();
        // Once the handler is there, a reopen is handed on without waiting for
        // the shell's announcement.
        ASSERT_TRUE(eventually([&] { return platform::catches(host.shell(), SIGUSR1); }));
        if (c.drawsAMenu) {
            ASSERT_TRUE(eventually([&] { return host.record()["activationPolicy"] == 1; }));
        }

        auto answer = desktop.request({{"op", "reopen"}, {"host", host.pid()}, {"wait", !c.drawsAMenu}});
        if (c.drawsAMenu) {
            // The pop-up is modal: it is up until the user dismisses it.
            ASSERT_TRUE(eventually([&] { return host.record()["popUp"].is_object(); }));
            EXPECT_EQ(host.record()["popUp"]["menu"]["items"][0]["title"], "Hello");
            desktop.dismiss(host.pid());
            ASSERT_TRUE(eventually([&] { return host.record()["answers"].size() == 1; }));
            EXPECT_EQ(host.record()["answers"][0]["answer"], (json{{"handled", false}}));
            EXPECT_EQ(textOf(host.file("reopens")), "");
        } else {
            EXPECT_EQ(answer["answer"], (json{{"handled", false}})) << answer.dump();
            EXPECT_TRUE(eventually([&] { return textOf(host.file("reopens")) == "10\n"; }));
            EXPECT_EQ(host.record()["popUps"], json::array());
        }
    }
}
