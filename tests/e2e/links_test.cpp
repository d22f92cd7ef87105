// Links from outside reach the shell through the real host and the desktop
// server: the get-URL event, URLs and link files opened with the application,
// the Services entry, display changes and a swap under way; the link log and
// the opens log that record them; and the running-applications watch.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using fixture::pidIn;
using fixture::textOf;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";



// Every line of a file, as it stands (the last one without its line feed
// when it has none).
std::vector<std::string> linesOf(const std::string& path)
{
    std::vector<std::string> lines;
    std::stringstream text(textOf(path));
    std::string line;
    while (std::getline(text, line))
        lines.push_back(line);
    return lines;
}

// The keys of a JSON object line (or of one of its members) in the order
// they were written.
std::vector<std::string> keysAsWritten(const std::string& line, const std::string& member = "")
{
    std::vector<std::string> keys;
    const auto parsed = nlohmann::ordered_json::parse(line);
    for (const auto& [key, value] : (member.empty() ? parsed : parsed.at(member)).items())
        keys.push_back(key);
    return keys;
}

json urlMessage(const std::string& url)
{
    return {{"url", url}};
}

json withScheme(const std::string& scheme)
{
    return {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {scheme}}}})}};
}

// Milliseconds since the epoch of an "at" stamp (2025-01-31T12:34:56.789Z).
int64_t millisecondsOf(const std::string& stamp)
{
    std::tm parts{};
    int milliseconds = 0;
    if (std::sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min,
                    &parts.tm_sec, &milliseconds)
        != 7)
        return -1;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&parts)) * 1000 + milliseconds;
}

int64_t wallMillisecondsNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What a path becomes in the query of a Services URL: everything but
// unreserved characters and "/" percent-encoded.
std::string queryEncoded(const std::string& path)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/')
            out.push_back(static_cast<char>(c));
        else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

// A chain of processes, each the child of the one before, the first a child
// of the test; all in a process group of their own, ended with the chain,
// or with the test if it dies first.
class ProcessChain {
public:
    explicit ProcessChain(int depth)
    {
        int report[2];
        if (pipe(report) != 0)
            return;
        pid_t first = fork();
        if (first == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            setpgid(0, 0);
            close(report[0]);
            for (int level = 1;; ++level) {
                pid_t self = getpid();
                if (write(report[1], &self, sizeof self) != sizeof self || level == depth)
                    break;
                // The parent stays at its level; the child goes one deeper.
                if (fork() != 0)
                    break;
                prctl(PR_SET_PDEATHSIG, SIGKILL);
            }
            close(report[1]);
            for (;;)
                pause();
        }
        close(report[1]);
        pid_t pid = 0;
        while (read(report[0], &pid, sizeof pid) == sizeof pid)
            pids_.push_back(pid);
        close(report[0]);
        if (first > 0)
            first_ = first;
    }
    ~ProcessChain()
    {
        if (first_ <= 0)
            return;
        kill(-first_, SIGKILL);
        waitpid(first_, nullptr, 0);
    }
    ProcessChain(const ProcessChain&) = delete;
    ProcessChain& operator=(const ProcessChain&) = delete;

    // First (the test's child) to last (the deepest).
    const std::vector<pid_t>& pids() const { return pids_; }

private:
    pid_t first_ = -1;
    std::vector<pid_t> pids_;
};

// A host of a bundle in a temporary folder, against the test's desktop
// server. Its shell writes its pid to `pidFile()` and copies what it hears
// on standard input to `heard()`, unless given other arguments ("{root}" in
// them stands for the temporary folder); the link and opens logs go to files
// of the test unless told otherwise.
class AcmeHost : public fixture::Host {
public:
    AcmeHost(DesktopServer& desktop, const json& info, json descriptor = json::object(), std::vector<std::string> shell = {})
        : desktop_(desktop)
    {
        bundle.writeInfoWithIdentifier(identifier, info);
        if (!descriptor.contains("links"))
            descriptor["links"] = linkLog();
        else if (descriptor["links"].is_null())
            descriptor.erase("links");
        if (!descriptor.contains("opens"))
            descriptor["opens"] = opensLog();
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost();
        fixture::RunOptions options;
        if (shell.empty())
            shell = {"ts:pid={root}/shell.pid", "ts:echo=120000:{root}/heard"};
        for (const auto& argument : shell)
            options.arguments.push_back(bundle.expand(argument));
        start(desktop.withDesktop(options));
    }

    // Waits for the first shell, and for the server to know the host.
    bool started()
    {
        return desktop_.waitForHost(identifier).has_value() && eventually([&] { return pidIn(pidFile()) > 0; });
    }
    pid_t shell() const { return pidIn(pidFile()); }

    std::string pidFile() const { return file("shell.pid"); }
    std::string heard() const { return file("heard"); }
    std::string linkLog() const { return file("links.jsonl"); }
    std::string opensLog() const { return file("opens.jsonl"); }

    // What the shell heard, one parsed line each.
    std::vector<json> messages() const { return fixture::readLines(heard()); }
    // Waits until the shell heard a message with this URL.
    bool hears(const std::string& url, std::chrono::milliseconds timeout = 15s) const
    {
        return eventually(
            [&] {
                auto heard = messages();
                return std::any_of(heard.begin(), heard.end(), [&](const json& message) { return message.value("url", "") == url; });
            },
            timeout);
    }
    // Sends a probe link and waits until it is heard: everything the host
    // took before it has been acted on by then.
    bool probe(const std::string& url)
    {
        desktop_.getURL(url);
        return hears(url);
    }
    // The link log once it has at least `count` lines: a line follows the
    // write to the pipe, so the shell may have read the link before.
    std::vector<json> linkLogOf(std::size_t count) const
    {
        eventually([&] { return fixture::readLines(linkLog()).size() >= count; });
        return fixture::readLines(linkLog());
    }
    // The host's record in the server's state.
    json record() { return DesktopServer::hostIn(desktop_.state(), pid()); }


private:
    DesktopServer& desktop_;
};

} // namespace

// --- URLs of the application's scheme ---------------------------------------------

TEST(Links, AURLOfTheSchemeReachesTheShellAndTheLinkLog)
{
    struct Case {
        const char* what;
        json info;
        bool logInTheApplicationFolder;
    } cases[] = {
        {"CFBundleURLTypes", withScheme("acme"), false},
        {"KestruneURLSchemes, written in capitals, with the default link log", {{"KestruneURLSchemes", {"ACME"}}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        AcmeHost host(desktop, c.info, c.logInTheApplicationFolder ? json{{"links", nullptr}} : json::object());
        ASSERT_TRUE(host.started()) << host.process->err();
        const std::string log = c.logInTheApplicationFolder ? host.bundle.applicationSupport(identifier) + "/links.jsonl" : host.linkLog();

        desktop.getURL("acme://open/settings?tab=2");
        desktop.openURLs({"ACME://Upper/Case"});
        desktop.getURL("other://not/ours");
        desktop.openURLs({"mailto:someone@example.com"});
        desktop.getURL("acme://last");
        ASSERT_TRUE(host.hears("acme://last")) << textOf(host.heard()) << host.process->err();
        EXPECT_EQ(textOf(host.heard()), "{\"url\":\"acme://open/settings?tab=2\"}\n{\"url\":\"ACME://Upper/Case\"}\n{\"url\":\"acme://last\"}\n");

        // The record follows the write to the pipe; the shell may read first.
        ASSERT_TRUE(eventually([&] { return linesOf(log).size() >= 3; })) << textOf(log);
        auto lines = linesOf(log);
        ASSERT_EQ(lines.size(), 3u) << textOf(log);
        const std::vector<std::string> urls = {"acme://open/settings?tab=2", "ACME://Upper/Case", "acme://last"};
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(keysAsWritten(lines[i]), (std::vector<std::string>{"at", "delivered", "launcher", "ready", "shell", "url", "waitedMs"}))
                << lines[i];
            auto line = json::parse(lines[i]);
            EXPECT_EQ(line["url"], urls[i]);
            EXPECT_EQ(line["delivered"], true);
            EXPECT_EQ(line["ready"], true);
            EXPECT_EQ(line["launcher"], host.pid());
            EXPECT_EQ(line["shell"], host.shell());
            EXPECT_TRUE(line["waitedMs"].is_number_integer() && line["waitedMs"].get<int64_t>() >= 0) << lines[i];
            EXPECT_GT(millisecondsOf(line["at"]), 0) << lines[i];
        }
    }
}

TEST(Links, ALinkDuringASwapWaitsForTheNewShell)
{
    DesktopServer desktop;
    // The first shell catches SIGTERM and lives on, so the swap waits for
    // it until the test ends it; the next one skips that and ends as asked.
    AcmeHost host(desktop, withScheme("acme"), json::object(),
                  {"ts:first-time={root}/marker", "ts:on=15:{root}/asked-to-end", "ts:pid={root}/shell.pid", "ts:echo=120000:{root}/heard-%p"});
    const std::string folder = host.bundle.root();
    auto heardBy = [&](pid_t shell) { return folder + "/heard-" + std::to_string(shell); };
    auto shellNow = [&] { return pidIn(folder + "/shell.pid"); };
    ASSERT_TRUE(desktop.waitForHost(identifier)) << host.process->err();
    ASSERT_TRUE(eventually([&] { return shellNow() > 0; }));
    const pid_t first = shellNow();

    desktop.getURL("acme://before");
    ASSERT_TRUE(eventually([&] { return textOf(heardBy(first)) == "{\"url\":\"acme://before\"}\n"; })) << host.process->err();

    host.process->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return textOf(folder + "/asked-to-end") == "15\n"; })) << "the host asks the old shell to end";
    const int64_t sent = wallMillisecondsNow();
    desktop.getURL("acme://during/1");
    desktop.openURLs({"acme://during/2"});
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(textOf(heardBy(first)), "{\"url\":\"acme://before\"}\n") << "nothing goes to a shell that is being replaced";

    const int64_t killed = wallMillisecondsNow();
    kill(first, SIGKILL);
    ASSERT_TRUE(eventually([&] { return shellNow() != first && shellNow() > 0; })) << host.process->err();
    const pid_t second = shellNow();
    desktop.getURL("acme://after");
    ASSERT_TRUE(eventually([&] { return linesOf(heardBy(second)).size() == 3; })) << textOf(heardBy(second));
    EXPECT_EQ(textOf(heardBy(second)), "{\"url\":\"acme://during/1\"}\n{\"url\":\"acme://during/2\"}\n{\"url\":\"acme://after\"}\n");

    auto log = host.linkLogOf(4);
    ASSERT_EQ(log.size(), 4u) << textOf(host.linkLog());
    EXPECT_EQ(log[0]["shell"], first);
    EXPECT_EQ(log[0]["ready"], true);
    for (int i : {1, 2}) {
        SCOPED_TRACE(log[i].dump());
        EXPECT_EQ(log[i]["url"], "acme://during/" + std::to_string(i));
        EXPECT_EQ(log[i]["ready"], false);
        EXPECT_EQ(log[i]["delivered"], true);
        EXPECT_EQ(log[i]["shell"], second);
        // It arrived after the test sent it, and its wait is counted from
        // then until it reached the new shell, which was after the kill.
        const int64_t arrived = millisecondsOf(log[i]["at"]);
        EXPECT_GE(arrived, sent - 1);
        EXPECT_GE(arrived + log[i]["waitedMs"].get<int64_t>(), killed - 1);
        EXPECT_GE(log[i]["waitedMs"].get<int64_t>(), 500);
    }
    EXPECT_EQ(log[3]["ready"], true);
    EXPECT_EQ(log[3]["shell"], second);

    // The swap record counts the links that waited for the new shell.
    bool counted = false;
    for (const auto& record : fixture::readLines(host.bundle.applicationSupport(identifier) + "/shell.jsonl")) {
        if (record.value("kind", "") == "shell-swapped") {
            EXPECT_EQ(record["waiting"], 2);
            EXPECT_EQ(record["to"], second);
            counted = true;
        }
    }
    EXPECT_TRUE(counted);
}

// --- Display changes -------------------------------------------------------------

TEST(Links, ADisplayChangeDeliversItsURLOncePerAffectedDisplay)
{
    DesktopServer desktop;
    json info = withScheme("acme");
    info["KestruneDisplayChangeURL"] = "acme://displays";
    AcmeHost host(desktop, info);
    ASSERT_TRUE(host.started()) << host.process->err();
    ASSERT_TRUE(desktop.waitFor([&](const json& state) {
        return DesktopServer::hostIn(state, host.pid())["handlers"]["displayReconfiguration"] == true;
    })) << host.record().dump();

    // The first display changes its mode, two are added: three displays
    // affected, each called back twice (the begin round first).
    auto reply = desktop.reconfigure({{{"frame", {{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}}}, {"display", 1}},
                                      {{"frame", {{"x", 1920}, {"y", 0}, {"width", 1440}, {"height", 900}}}, {"display", 2}},
                                      {{"frame", {{"x", 3360}, {"y", 0}, {"width", 1440}, {"height", 900}}}, {"display", 3}}});
    ASSERT_EQ(reply["changes"].size(), 6u) << reply.dump();
    ASSERT_TRUE(host.probe("acme://probe")) << textOf(host.heard());
    const json change = {{"url", "acme://displays"}, {"source", "display-change"}};
    EXPECT_EQ(host.messages(), (std::vector<json>{change, change, change, urlMessage("acme://probe")}));
    // The message keeps its members in this order.
    EXPECT_EQ(linesOf(host.heard()).at(0), "{\"url\":\"acme://displays\",\"source\":\"display-change\"}");

    auto log = host.linkLogOf(4);
    ASSERT_EQ(log.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i]["source"], "display-change");
        EXPECT_EQ(log[i]["url"], "acme://displays");
        EXPECT_EQ(log[i]["delivered"], true);
    }
    EXPECT_FALSE(log[3].contains("source"));

    // One display goes away: one more.
    desktop.reconfigure({{{"frame", {{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}}}, {"display", 1}},
                         {{"frame", {{"x", 1920}, {"y", 0}, {"width", 1440}, {"height", 900}}}, {"display", 2}}});
    ASSERT_TRUE(host.probe("acme://probe/2"));
    auto heard = host.messages();
    EXPECT_EQ(std::count(heard.begin(), heard.end(), change), 4);
}

TEST(Links, ADisplayChangeURLOfAnotherSchemeInstallsNothing)
{
    DesktopServer desktop;
    json info = withScheme("acme");
    info["KestruneDisplayChangeURL"] = "other://displays";
    AcmeHost host(desktop, info);
    ASSERT_TRUE(host.started()) << host.process->err();
    ASSERT_TRUE(host.probe("acme://probe/1"));
    EXPECT_EQ(host.record()["handlers"]["displayReconfiguration"], false);
    desktop.reconfigure({{{"frame", {{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}}}, {"display", 1}}});
    ASSERT_TRUE(host.probe("acme://probe/2"));
    EXPECT_EQ(host.messages(), (std::vector<json>{urlMessage("acme://probe/1"), urlMessage("acme://probe/2")}));
}

// --- What the host installs -------------------------------------------------------

TEST(Links, TheHostInstallsOnlyTheHandlersItsBundleAsksFor)
{
    const json service = {{"NSMessage", "openFiles"}, {"NSPortName", "Acme"}, {"NSUserData", "drop"}};
    json everything = withScheme("acme");
    everything["NSServices"] = json::array({service});
    everything["KestruneDisplayChangeURL"] = "acme://displays";
    struct Case {
        const char* what;
        json info;
        json handlers;
    } cases[] = {
        {"a scheme", withScheme("acme"), {{"getURL", true}, {"services", false}, {"delegate", true}, {"displayReconfiguration", false}}},
        {"services only", {{"NSServices", json::array({service})}}, {{"getURL", false}, {"services", true}, {"delegate", true}, {"displayReconfiguration", false}}},
        {"everything", everything, {{"getURL", true}, {"services", true}, {"delegate", true}, {"displayReconfiguration", true}}},
        {"nothing", json::object(), {{"getURL", false}, {"services", false}, {"delegate", true}, {"displayReconfiguration", false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DesktopServer desktop;
        AcmeHost host(desktop, c.info, json::object(), {"ts:pid={root}/shell.pid", "ts:forever"});
        // The handlers are in place before the shell starts.
        ASSERT_TRUE(host.started()) << host.process->err();
        EXPECT_TRUE(desktop.waitFor([&](const json& state) { return DesktopServer::hostIn(state, host.pid())["handlers"] == c.handlers; }, 3s))
            << host.record()["handlers"].dump();
    }
}

// --- The opens log and who sent a URL -----------------------------------------------

TEST(Links, TheOpensLogRecordsEveryArrivalAndItsSender)
{
    DesktopServer desktop;
    json info = withScheme("acme");
    info["KestruneLinkExtension"] = "acmelink";
    AcmeHost host(desktop, info);
    ASSERT_TRUE(host.started()) << host.process->err();
    const std::string linkFile = host.file("saved.acmelink");
    std::ofstream(linkFile) << "acme://from/file\n";
    ProcessChain chain(40);
    ASSERT_EQ(chain.pids().size(), 40u);
    const pid_t deepest = chain.pids().back();

    desktop.getURL("acme://from/test", getpid());
    desktop.getURL("acme://from/nobody");
    desktop.getURL("other://not/ours", getpid());
    desktop.openURLs({"file://" + linkFile}, getpid());
    desktop.getURL("acme://from/deep", deepest);
    ASSERT_TRUE(host.hears("acme://from/deep")) << textOf(host.heard());
    EXPECT_EQ(host.messages(), (std::vector<json>{urlMessage("acme://from/test"), urlMessage("acme://from/nobody"),
                                                  urlMessage("acme://from/file"), urlMessage("acme://from/deep")}));

    auto lines = linesOf(host.opensLog());
    ASSERT_EQ(lines.size(), 5u) << textOf(host.opensLog());
    std::vector<json> opens;
    for (const auto& line : lines)
        opens.push_back(json::parse(line));
    const std::vector<std::string> urls = {"acme://from/test", "acme://from/nobody", "other://not/ours", "acme://from/file", "acme://from/deep"};
    for (std::size_t i = 0; i < opens.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(opens[i]["url"], urls[i]) << "every arrival is recorded, ours or not";
        EXPECT_EQ(opens[i]["receiver"], identifier);
        EXPECT_GT(millisecondsOf(opens[i]["at"]), 0);
        std::vector<std::string> keys = {"at", "receiver", "sender", "url"};
        if (i == 3)
            keys = {"at", "file", "receiver", "sender", "url"};
        EXPECT_EQ(keysAsWritten(lines[i]), keys);
    }
    EXPECT_EQ(opens[3]["file"], linkFile);

    auto executableOf = [](pid_t pid) {
        char path[4096];
        ssize_t length = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path);
        return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
    };
    const std::string self = executableOf(getpid());
    // A sender: its pid and path, and the chain of its parents from itself up.
    for (int i : {0, 2, 3}) {
        json sender = opens[i]["sender"];
        EXPECT_EQ(keysAsWritten(lines[i], "sender"), (std::vector<std::string>{"chain", "path", "pid"}));
        EXPECT_EQ(sender["pid"], getpid());
        EXPECT_EQ(sender["path"], self);
        ASSERT_GE(sender["chain"].size(), 2u) << sender.dump();
        EXPECT_EQ(sender["chain"][0], (json{{"path", self}, {"pid", getpid()}}));
        EXPECT_EQ(sender["chain"][1]["pid"], getppid());
        EXPECT_EQ(sender["chain"][1]["path"], executableOf(getppid()));
        EXPECT_LE(sender["chain"].size(), 32u);
    }
    // No sender.
    EXPECT_EQ(opens[1]["sender"], (json{{"chain", json::array()}, {"pid", nullptr}}));
    EXPECT_EQ(keysAsWritten(lines[1], "sender"), (std::vector<std::string>{"chain", "pid"}));
    // A sender 40 processes below the test: the chain stops after 32.
    json deep = opens[4]["sender"];
    EXPECT_EQ(deep["pid"], deepest);
    ASSERT_EQ(deep["chain"].size(), 32u) << deep.dump();
    for (std::size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(deep["chain"][i]["pid"], chain.pids()[39 - i]) << i;
        EXPECT_EQ(deep["chain"][i]["path"], self) << i;
    }
}

// --- Link files ------------------------------------------------------------------

TEST(Links, ALinkFileDeliversTheURLItHoldsAndNothingElse)
{
    DesktopServer desktop;
    json info = withScheme("acme");
    info["KestruneLinkExtension"] = "acmelink";
    info["KestruneLinkRelayPrefix"] = "acme-";
    AcmeHost host(desktop, info);
    ASSERT_TRUE(host.started()) << host.process->err();
    auto path = [&](const std::string& name) { return host.file(name); };
    auto write = [&](const std::string& name, const std::string& bytes) { std::ofstream(path(name), std::ios::binary) << bytes; };

    const std::string largest = "acme://large/" + std::string(32768 - 13, 'a');
    ASSERT_EQ(largest.size(), 32768u);
    write("spaced.acmelink", "  acme://x\n");
    write("upper.ACMELINK", "\tacme://upper-extension\r\n");
    write("largest.acmelink", largest);
    write("padded.acmelink", "acme://padded" + std::string(32768 - 13, ' '));
    write("too-large.acmelink", "acme://too-large" + std::string(32769 - 16, ' '));
    write("next-line.acmelink", "acme://next-line\xc2\x85");
    write("ideographic.acmelink", "\xe3\x80\x80" "acme://ideographic\xe2\x80\xa8");
    write("truncated.acmelink", "acme://truncated\xc2");
    write("binary.acmelink", "acme://not-utf8/\xff\xfe");
    write("latin1.acmelink", "\xa0" "acme://latin1");
    write("prose.acmelink", "hello world");
    write("two.acmelink", "acme://one acme://two");
    write("foreign.acmelink", "other://y");
    write("wrong-extension.txt", "acme://wrong-extension");
    write("empty.acmelink", "");
    mkdir(path("folder.acmelink").c_str(), 0755);
    mkfifo(path("fifo.acmelink").c_str(), 0644);
    symlink("/dev/zero", path("zero.acmelink").c_str());
    symlink(path("spaced.acmelink").c_str(), path("link-to-file.acmelink").c_str());
    symlink(path("loop.acmelink").c_str(), path("loop.acmelink").c_str());
    write("unreadable.acmelink", "acme://unreadable");
    chmod(path("unreadable.acmelink").c_str(), 0);
    // Permissions do not stop the superuser: then the file is simply read.
    const bool unreadable = geteuid() != 0;

    struct Case {
        std::string name;
        std::optional<std::string> delivered;
    } cases[] = {
        {"spaced.acmelink", "acme://x"},
        {"upper.ACMELINK", "acme://upper-extension"},
        {"largest.acmelink", largest},
        {"padded.acmelink", "acme://padded"},
        {"too-large.acmelink", std::nullopt},
        {"next-line.acmelink", "acme://next-line"},          // Unicode white space goes too
        {"ideographic.acmelink", "acme://ideographic"},
        {"truncated.acmelink", std::nullopt},
        {"binary.acmelink", std::nullopt},
        {"latin1.acmelink", std::nullopt},
        {"prose.acmelink", std::nullopt},
        {"two.acmelink", std::nullopt},
        {"foreign.acmelink", std::nullopt},
        {"wrong-extension.txt", std::nullopt},
        {"empty.acmelink", std::nullopt},
        {"folder.acmelink", std::nullopt},
        {"fifo.acmelink", std::nullopt},
        {"zero.acmelink", std::nullopt},
        {"missing.acmelink", std::nullopt},
        {"loop.acmelink", std::nullopt},
        {"unreadable.acmelink", unreadable ? std::nullopt : std::optional<std::string>("acme://unreadable")},
    };
    int probes = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t before = host.messages().size();
        desktop.openURLs({"file://" + path(c.name)});
        // The probe proves the host went on and that nothing else came first.
        const std::string probe = "acme://probe/" + std::to_string(++probes);
        ASSERT_TRUE(host.probe(probe)) << "the host is stuck: " << host.process->err();
        auto heard = host.messages();
        std::vector<json> expected;
        if (c.delivered)
            expected.push_back(urlMessage(*c.delivered));
        expected.push_back(urlMessage(probe));
        EXPECT_EQ(std::vector<json>(heard.begin() + static_cast<std::ptrdiff_t>(before), heard.end()), expected);
    }
    // A symbolic link to a link file is opened like the file.
    desktop.openURLs({"file://" + path("link-to-file.acmelink"), "file://localhost" + path("spaced.acmelink")});
    ASSERT_TRUE(host.probe("acme://probe/last"));
    auto heard = host.messages();
    ASSERT_GE(heard.size(), 3u);
    EXPECT_EQ(std::vector<json>(heard.end() - 3, heard.end()),
              (std::vector<json>{urlMessage("acme://x"), urlMessage("acme://x"), urlMessage("acme://probe/last")}));
    EXPECT_FALSE(host.process->ended());
}

TEST(Links, ALinkFileOfARelayedSchemeGoesToTheWorkspaceNeverToTheShell)
{
    DesktopServer desktop;
    json info = withScheme("acme");
    info["KestruneLinkExtension"] = "acmelink";
    info["KestruneLinkRelayPrefix"] = "acme-";
    AcmeHost host(desktop, info);
    ASSERT_TRUE(host.started()) << host.process->err();
    std::ofstream(host.file("relay.acmelink")) << "acme-other://y\n";
    std::ofstream(host.file("relay-upper.acmelink")) << "ACME-Else://z";

    desktop.openURLs({"file://" + host.file("relay.acmelink"), "file://" + host.file("relay-upper.acmelink")});
    ASSERT_TRUE(host.probe("acme://probe/1"));
    auto opened = host.record()["openedURLs"];
    ASSERT_EQ(opened.size(), 2u) << opened.dump();
    EXPECT_EQ(opened[0]["url"], "acme-other://y");
    EXPECT_EQ(opened[1]["url"], "ACME-Else://z");

    // The same URL from anywhere but a link file is neither relayed nor delivered.
    desktop.getURL("acme-other://y");
    desktop.openURLs({"acme-other://y"});
    ASSERT_TRUE(host.probe("acme://probe/2"));
    EXPECT_EQ(host.record()["openedURLs"].size(), 2u);
    EXPECT_EQ(host.messages(), (std::vector<json>{urlMessage("acme://probe/1"), urlMessage("acme://probe/2")}));
    for (const auto& line : fixture::readLines(host.linkLog()))
        EXPECT_EQ(line["url"].get<std::string>().rfind("acme://probe/", 0), 0u) << line.dump();
}

// --- The Services entry ----------------------------------------------------------

TEST(Links, TheServicesEntryHandsEachFileToTheShellUnderTheFirstScheme)
{
    DesktopServer desktop;
    json info = {{"KestruneURLSchemes", {"zeta", "acme"}},
                 {"NSServices", json::array({{{"NSMessage", "openFiles"}, {"NSPortName", "Acme"}, {"NSUserData", "drop"}}})}};
    AcmeHost host(desktop, info);
    ASSERT_TRUE(host.started()) << host.process->err();
    const std::vector<std::string> files = {"/tmp/a b.txt", "/tmp/x&y=z+#?.txt", "/tmp/\xc3\xbcn\xc3\xaf" "code/%41.txt"};

    auto answer = desktop.service(files, "drop");
    EXPECT_EQ(answer["answer"], (json{{"error", nullptr}})) << answer.dump();
    ASSERT_TRUE(host.probe("acme://probe/1")) << textOf(host.heard());
    std::vector<json> expected;
    for (const auto& file : files)
        expected.push_back(urlMessage("acme://drop?path=" + queryEncoded(file)));
    expected.push_back(urlMessage("acme://probe/1"));
    EXPECT_EQ(host.messages(), expected);
    EXPECT_EQ(expected[1]["url"], "acme://drop?path=/tmp/x%26y%3Dz%2B%23%3F.txt");

    // Without user data there is nothing to name the link after.
    answer = desktop.service(files, nullptr);
    EXPECT_EQ(answer["answer"], (json{{"error", "No file for the service"}})) << answer.dump();
    ASSERT_TRUE(host.probe("acme://probe/2"));
    EXPECT_EQ(host.messages().size(), expected.size() + 1);
}

// --- A shell that does not read ---------------------------------------------------

TEST(Links, LinksForAShellThatNeverReadsFailOnceItsInboxIsFull)
{
    DesktopServer desktop;
    AcmeHost host(desktop, withScheme("acme"), json::object(), {"ts:pid={root}/shell.pid", "ts:forever"});
    ASSERT_TRUE(host.started()) << host.process->err();
    // Each link as large as a link may be; far more than the pipe and the
    // inbox hold together.
    const int count = 60;
    auto urlNumbered = [](int n) {
        std::string url = "acme://large/" + std::to_string(n) + "/";
        return url + std::string(32768 - url.size(), 'x');
    };
    for (int n = 0; n < count; ++n)
        desktop.getURL(urlNumbered(n));
    auto failures = [&] {
        int found = 0;
        for (const auto& line : fixture::readLines(host.linkLog()))
            found += line.value("error", "") == "child-not-reading";
        return found;
    };
    ASSERT_TRUE(eventually([&] { return failures() > 0; })) << host.process->err();
    EXPECT_TRUE(host.process->waitForError("URL delivery failed: child-not-reading")) << host.process->err();
    for (const auto& line : fixture::readLines(host.linkLog())) {
        if (line["delivered"] == false) {
            EXPECT_EQ(line["error"], "child-not-reading") << "while the shell runs";
            EXPECT_EQ(line["ready"], true);
        } else {
            EXPECT_FALSE(line.contains("error"));
        }
    }
    EXPECT_FALSE(host.process->ended());

    // When the host stops, every link is accounted for exactly once: the
    // held ones fail as the inbox closes.
    host.process->signal(SIGTERM);
    auto run = host.process->wait(15s);
    EXPECT_EQ(run.status, 143) << run.err;
    auto lines = fixture::readLines(host.linkLog());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(count));
    std::vector<std::string> urls;
    for (const auto& line : lines)
        urls.push_back(line["url"]);
    std::sort(urls.begin(), urls.end());
    std::vector<std::string> expected;
    for (int n = 0; n < count; ++n)
        expected.push_back(urlNumbered(n));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(urls, expected);
}

// --- Bad input --------------------------------------------------------------------

TEST(Links, OddURLsNeverBreakTheLogsOrTheHost)
{
    DesktopServer desktop;
    AcmeHost host(desktop, withScheme("acme"));
    ASSERT_TRUE(host.started()) << host.process->err();
    const std::string largest = "acme://l/" + std::string(32768 - 9, 'a');
    const std::string odd[] = {
        "acme://a\u0001b",
        "acme://a\nb",
        "acme://a\u007fb",
        "acme://\"quoted\"",
        "acme://back\\slash",
        "acme://a b",
        "acme://\u00fcn\u00efcode",
        "acme://a\u2028b",
        "acme://%zz",
        "acme://a#b#c",
        "",
        "acme:",
        largest + "b",
    };
    for (const auto& url : odd)
        desktop.getURL(url);
    desktop.openURLs(std::vector<std::string>(std::begin(odd), std::end(odd)));
    desktop.getURL(largest);
    ASSERT_TRUE(host.probe("acme://probe")) << host.process->err();
    EXPECT_EQ(host.messages(), (std::vector<json>{urlMessage("acme:"), urlMessage("acme:"), urlMessage(largest), urlMessage("acme://probe")}));

    // Every line of both logs is JSON; the URL over the limit never arrived.
    for (const auto& log : {host.linkLog(), host.opensLog()}) {
        for (const auto& line : linesOf(log))
            EXPECT_FALSE(json::parse(line, nullptr, false).is_discarded()) << log << ": " << line;
    }
    auto opens = fixture::readLines(host.opensLog());
    EXPECT_EQ(opens.size(), 2 * (std::size(odd) - 1) + 2) << textOf(host.opensLog());
    for (const auto& open : opens)
        EXPECT_NE(open["url"], largest + "b");
    EXPECT_EQ(opens.at(0)["url"], "acme://a\u0001b");
}

TEST(Links, ALinkLogThatCannotBeWrittenCostsOnlyTheRecord)
{
    DesktopServer desktop;
    fixture::Bundle scratch;   // a folder the host's bundle does not know
    std::ofstream(scratch.root() + "/a-file") << "";
    AcmeHost host(desktop, withScheme("acme"),
                  {{"links", scratch.root() + "/a-file/links.jsonl"}, {"opens", scratch.root() + "/a-file/opens.jsonl"}});
    ASSERT_TRUE(host.started()) << host.process->err();
    desktop.getURL("acme://one");
    desktop.openURLs({"acme://two"});
    ASSERT_TRUE(host.hears("acme://two")) << host.process->err();
    EXPECT_EQ(host.messages(), (std::vector<json>{urlMessage("acme://one"), urlMessage("acme://two")}));
    EXPECT_FALSE(host.process->ended());
    EXPECT_EQ(textOf(scratch.root() + "/a-file"), "");
}

// --- The running-applications watch -------------------------------------------------

namespace {

json safariApplication()
{
    return {{"bundleIdentifier", "com.apple.Safari"},
            {"localizedName", "Safari"},
            {"bundlePath", "/Applications/Safari.app"},
            {"windows", json::array({{{"bounds", {{"x", 10}, {"y", 40}, {"width", 800}, {"height", 600}}}, {"layer", 0}},
                                     {{"bounds", {{"x", 0}, {"y", 0}, {"width", 30}, {"height", 30}}}, {"layer", 3}}})}};
}

std::vector<json> appsReports(const AcmeHost& host)
{
    std::vector<json> reports;
    for (const auto& message : host.messages()) {
        if (message.contains("apps"))
            reports.push_back(message);
    }
    return reports;
}

json appIn(const json& report, pid_t pid)
{
    for (const auto& app : report["apps"]) {
        if (app["pid"] == pid)
            return app;
    }
    return nullptr;
}

} // namespace

TEST(AppsWatch, AWatchReportsAtOnceAndAfterEveryLaunch)
{
    DesktopServer desktop;
    const pid_t safari = desktop.launch(safariApplication())["application"]["pid"];
    desktop.front(safari);
    AcmeHost host(desktop, withScheme("acme"), json::object(), {"ts:print={\"watch\":\"apps\"}", "ts:pid={root}/shell.pid", "ts:echo=120000:{root}/heard"});
    ASSERT_TRUE(host.started()) << host.process->err();

    ASSERT_TRUE(eventually([&] { return appsReports(host).size() == 1; })) << textOf(host.heard()) << host.process->err();
    json first = appsReports(host)[0];
    EXPECT_EQ(keysAsWritten(linesOf(host.heard())[0]), (std::vector<std::string>{"apps", "windows"}));
    EXPECT_EQ(appIn(first, safari), (json{{"active", true},
                                          {"bundle", "com.apple.Safari"},
                                          {"name", "Safari"},
                                          {"path", "/Applications/Safari.app"},
                                          {"pid", safari},
                                          {"policy", 0}}));
    json host_ = appIn(first, host.pid());
    ASSERT_FALSE(host_.is_null()) << first.dump();
    EXPECT_EQ(host_["bundle"], identifier);
    EXPECT_EQ(host_["active"], false);
    EXPECT_EQ(host_["policy"], 2);
    EXPECT_EQ(first["windows"], (json{{safari, 3}, {safari, 0}})) << "higher layers first";

    const pid_t notes = desktop.launch({{"bundleIdentifier", "com.apple.Notes"}, {"localizedName", "Notes"}})["application"]["pid"];
    ASSERT_TRUE(eventually([&] { return appsReports(host).size() == 2; })) << textOf(host.heard());
    ASSERT_TRUE(host.probe("acme://probe"));
    auto reports = appsReports(host);
    EXPECT_EQ(reports.size(), 2u) << "one launch, one report";
    EXPECT_EQ(appIn(reports[1], notes)["bundle"], "com.apple.Notes");
    EXPECT_EQ(appIn(reports[1], notes)["path"], "");
    EXPECT_EQ(appIn(reports[1], safari)["active"], true);
}

TEST(AppsWatch, EveryRequestGetsAReportAtOnce)
{
    DesktopServer desktop;
    desktop.launch(safariApplication());
    AcmeHost host(desktop, withScheme("acme"), json::object(),
                  {"ts:print={\"watch\":\"apps\"}", "ts:print={\"watch\":\"apps\"}", "ts:pid={root}/shell.pid", "ts:echo=120000:{root}/heard"});
    ASSERT_TRUE(host.started()) << host.process->err();
    ASSERT_TRUE(eventually([&] { return host.messages().size() == 2; })) << textOf(host.heard()) << host.process->err();
    ASSERT_TRUE(host.probe("acme://probe"));
    auto all = host.messages();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(all[0].contains("apps"));
    EXPECT_EQ(all[0], all[1]);
    EXPECT_EQ(all[2], urlMessage("acme://probe"));
}

TEST(AppsWatch, NothingIsReportedBeforeTheShellAsks)
{
    DesktopServer desktop;
    const pid_t safari = desktop.launch(safariApplication())["application"]["pid"];
    AcmeHost host(desktop, withScheme("acme"));
    ASSERT_TRUE(host.started()) << host.process->err();
    const pid_t notes = desktop.launch({{"bundleIdentifier", "com.apple.Notes"}})["application"]["pid"];
    desktop.front(notes);
    desktop.hide(safari);
    desktop.unhide(safari);
    desktop.quit(notes);
    ASSERT_TRUE(host.probe("acme://probe"));
    EXPECT_EQ(host.messages(), std::vector<json>{urlMessage("acme://probe")});
}

TEST(AppsWatch, QuittingTheFrontApplicationIsReportedWithItsSuccessor)
{
    DesktopServer desktop;
    const pid_t safari = desktop.launch(safariApplication())["application"]["pid"];
    const pid_t notes = desktop.launch({{"bundleIdentifier", "com.apple.Notes"}})["application"]["pid"];
    desktop.front(safari);
    desktop.front(notes);
    AcmeHost host(desktop, withScheme("acme"), json::object(), {"ts:print={\"watch\":\"apps\"}", "ts:pid={root}/shell.pid", "ts:echo=120000:{root}/heard"});
    ASSERT_TRUE(host.started()) << host.process->err();
    ASSERT_TRUE(eventually([&] { return appsReports(host).size() == 1; })) << host.process->err();
    EXPECT_EQ(appIn(appsReports(host)[0], notes)["active"], true);

    // The front application quits: it terminates and another comes to the
    // front, two notifications in one go, merged into one report.
    auto since = desktop.state()["next"].get<int64_t>();
    desktop.quit(notes);
    auto settled = [&] {
        auto reports = appsReports(host);
        return reports.size() > 1 && appIn(reports.back(), notes).is_null() && appIn(reports.back(), safari)["active"] == true;
    };
    ASSERT_TRUE(eventually(settled)) << textOf(host.heard());
    ASSERT_TRUE(host.probe("acme://probe"));
    int notifications = 0;
    for (const auto& entry : desktop.log(since))
        notifications += entry.value("to", 0) == host.pid() && entry["event"].value("event", "") == "workspace";
    EXPECT_EQ(notifications, 2);
    auto reports = appsReports(host);
    EXPECT_EQ(reports.size(), 2u) << textOf(host.heard());
}
