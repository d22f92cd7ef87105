// Global hot keys through the real host and the desktop server: those the
// Info.plist declares, armed by the application in front and published in
// the activation file; those the shell declares, with their statuses told
// back; presses as links; and the rules for remote-session clients in front.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using fixture::DesktopServer;
using fixture::eventually;
using nlohmann::json;
using fixture::textOf;
using namespace std::chrono_literals;

namespace {

const std::string identifier = "com.example.acme";


// Writes a file by a rename, as tools that replace their settings do.
void replaceFile(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".new";
    std::ofstream(temporary) << text;
    std::rename(temporary.c_str(), path.c_str());
}

// What the shell hears of a press.
json pressed(const std::string& url)
{
    return {{"url", url}, {"source", "hotkey"}};
}

json hotKey(const std::string& key, const std::string& url, json extra = json::object())
{
    extra["key"] = key;
    extra["url"] = url;
    return extra;
}

// A host of the "acme" scheme whose shell records what it hears.
class HotKeyHost : public fixture::Host {
public:
    HotKeyHost(DesktopServer& desktop, json info, json descriptor = json::object(), std::vector<std::string> shell = {})
        : desktop_(desktop)
    {
        info["CFBundleURLTypes"] = json::array({{{"CFBundleURLSchemes", {"acme"}}}});
        bundle.writeInfoWithIdentifier(identifier, info);
        descriptor["links"] = file("links.jsonl");
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost();
        fixture::RunOptions options;
        if (shell.empty())
            shell = {"ts:echo=120000:{root}/heard"};
        for (const auto& argument : shell)
            options.arguments.push_back(bundle.expand(argument));
        // A watched session client is looked at every 50 ms instead of every second.
        options.environment["KESTRUNE_TEST_SESSION_CHECK_MS"] = "50";
        start(desktop.withDesktop(options));
    }

    bool started() { return desktop_.waitForHost(identifier).has_value(); }
    // How often the host asked for the running session client since the
    // server's log record `since`.
    int sessionLooksSince(int64_t since)
    {
        int looks = 0;
        for (const auto& entry : desktop_.log(since))
            looks += entry.value("pid", 0) == process->pid() && entry.contains("request")
                     && entry["request"].value("op", "") == "runningApplications"
                     && entry["request"].value("bundleIdentifier", "") == "com.remote.session";
        return looks;
    }
    std::string home(const std::string& path) const { return bundle.home() + "/" + path; }
    std::string activationFile() const { return bundle.applicationSupport(identifier) + "/shortcut-activation.json"; }

    json activation() const { return json::parse(textOf(activationFile()), nullptr, false); }
    std::vector<int> statuses() const
    {
        std::vector<int> found;
        auto file = activation();
        if (file.is_object())
            for (const auto& row : file["rows"])
                found.push_back(row["status"]);
        return found;
    }
    bool statusesBecome(const std::vector<int>& expected) const
    {
        return eventually([&] { return statuses() == expected; }, 10s);
    }
    // The chords the server holds for this host, as it writes them.
    std::set<std::string> held()
    {
        std::set<std::string> chords;
        const json record = DesktopServer::hostIn(desktop_.state(), process->pid());
        for (const auto& key : record["hotKeys"])
            chords.insert(key["chord"].get<std::string>());
        return chords;
    }
    std::vector<json> heard(const std::string& name = "heard") const { return fixture::readLines(file(name)); }
    bool hears(const json& message, const std::string& name = "heard") const
    {
        return eventually([&] {
            auto lines = heard(name);
            return std::find(lines.begin(), lines.end(), message) != lines.end();
        });
    }
    std::vector<json> linkLog() const { return fixture::readLines(file("links.jsonl")); }


private:
    DesktopServer& desktop_;
};

// A TCP connection held open by this process, to itself.
class Connection {
public:
    Connection()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        client_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        server_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ~Connection() { end(); }
    bool established() const { return server_ >= 0; }
    void end()
    {
        for (int* fd : {&client_, &server_, &listener_}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
    }

private:
    int listener_ = -1, client_ = -1, server_ = -1;
};

} // namespace

// --- Declared hot keys -------------------------------------------------------

TEST(DeclaredHotKeys, FollowTheFrontApplicationAndArePublished)
{
    DesktopServer desktop;
    desktop.refuseHotKey("⌘1", -9870);
    json info = {{"KestruneHotKeys", json::array({
        hotKey("⌃⌥K", "acme://always"),
        hotKey("⌘E", "acme://editor/open", {{"when", "front:com.example.editor"}}),
        hotKey("⌘F1", "acme://open/settings"),
        hotKey("⌘N", "acme://never", {{"when", "never"}}),
        hotKey("⌘1", "acme://refused", {{"action", "custom"}}),
    })}};
    HotKeyHost host(desktop, info);
    ASSERT_TRUE(host.started()) << host.process->err();

    // No application in front: only what is always wanted.
    ASSERT_TRUE(host.statusesBecome({0, -1, -50, -1, -9870})) << textOf(host.activationFile());
    auto file = host.activation();
    EXPECT_EQ(file["pid"], host.process->pid());
    EXPECT_TRUE(file["at"].is_string());
    EXPECT_EQ(file["rows"][0], json({{"action", "action:always"}, {"args", json::array()}, {"code", 40}, {"key", "key:⌃⌥K"}, {"status", 0}}));
    EXPECT_EQ(file["rows"][1]["action"], "action:open");
    EXPECT_EQ(file["rows"][1]["code"], 14);
    EXPECT_EQ(file["rows"][2], json({{"action", "action:settings"}, {"args", json::array()}, {"code", -1}, {"key", "key:⌘F1"}, {"status", -50}}));
    EXPECT_EQ(file["rows"][4]["action"], "custom");
    EXPECT_EQ(file["rows"][4]["code"], 18);
    // Compact, keys sorted, no line feed.
    EXPECT_EQ(textOf(host.activationFile()).substr(0, 6), "{\"at\":");
    EXPECT_NE(textOf(host.activationFile()).back(), '\n');
    EXPECT_EQ(host.held(), (std::set<std::string>{"⌃⌥K"}));

    // The editor comes forward: its hot key joins; the refused one, no
    // longer refused, is tried again.
    desktop.refuseHotKey("⌘1", 0);
    json editor = desktop.add({{"bundleIdentifier", "com.example.editor"}})["application"];
    desktop.front(editor["pid"]);
    ASSERT_TRUE(host.statusesBecome({0, 0, -50, -1, 0})) << textOf(host.activationFile());
    EXPECT_EQ(host.held(), (std::set<std::string>{"⌃⌥K", "⌘E", "⌘1"}));

    // Another application: the editor's hot key is released.
    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}})["application"];
    desktop.front(notes["pid"]);
    ASSERT_TRUE(host.statusesBecome({0, -1, -50, -1, 0})) << textOf(host.activationFile());
    EXPECT_EQ(host.held(), (std::set<std::string>{"⌃⌥K", "⌘1"}));
}

TEST(DeclaredHotKeys, APressBecomesALinkFromTheHotKey)
{
    DesktopServer desktop;
    HotKeyHost host(desktop, {{"KestruneHotKeys", json::array({hotKey("⌃⌥K", "acme://toggle"), hotKey("⌘J", "acme://other")})}});
    ASSERT_TRUE(host.started()) << host.process->err();
    ASSERT_TRUE(host.statusesBecome({0, 0}));

    EXPECT_FALSE(desktop.press("ctrl+opt+k").contains("error"));
    EXPECT_FALSE(desktop.press("⌘J").contains("error"));
    ASSERT_TRUE(host.hears(pressed("acme://other"))) << textOf(host.file("heard"));
    EXPECT_EQ(host.heard(), (std::vector<json>{pressed("acme://toggle"), pressed("acme://other")}));
    ASSERT_TRUE(eventually([&] { return host.linkLog().size() == 2; }));
    for (const auto& record : host.linkLog()) {
        EXPECT_EQ(record["source"], "hotkey");
        EXPECT_EQ(record["delivered"], true);
    }
}

TEST(DeclaredHotKeys, NeedAShellThatTakesLinks)
{
    DesktopServer desktop;
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier(identifier, {{"KestruneHotKeys", json::array({hotKey("⌃⌥K", "acme://toggle")})}});
    bundle.writeTestShellDescriptor();
    bundle.installHost();
    fixture::RunOptions options;
    options.arguments = {"ts:print=up", "ts:sleep=60000"};
    auto host = fixture::startHost(bundle, desktop.withDesktop(options));
    ASSERT_TRUE(desktop.waitForHost(identifier));
    ASSERT_TRUE(eventually([&] { return host->out().find("up\n") != std::string::npos; })) << host->err();
    EXPECT_TRUE(DesktopServer::hostIn(desktop.state(), host->pid())["hotKeys"].empty());
    EXPECT_FALSE(std::filesystem::exists(bundle.applicationSupport(identifier) + "/shortcut-activation.json"));
    host->signal(SIGTERM);
    host->wait();
}

// --- Remote sessions ---------------------------------------------------------

namespace {
json remoteInfo(json sessions = json::array())
{
    return {
        {"KestruneHotKeys", json::array({hotKey("⌃⌥K", "acme://bridged"), hotKey("⌘B", "acme://here"), hotKey("⌘X", "acme://unrouted")})},
        {"KestruneRemoteMachines",
         {{"bundles", {"com.remote.client", "com.remote.session"}}, {"config", "Remote/config.json"}, {"key", "forward"}, {"session", sessions}}},
    };
}
} // namespace

TEST(RemoteSessions, HotKeysStepAsideUnlessTheBridgeRoutesThem)
{
    DesktopServer desktop;
    HotKeyHost host(desktop, remoteInfo());
    ASSERT_TRUE(host.started()) << host.process->err();
    ASSERT_TRUE(host.statusesBecome({0, 0, 0}));
    const std::string config = host.home("Remote/config.json");
    const std::string forwarded = host.file("forwarded");
    const std::string pressCommand = host.file("press.sh");
    std::ofstream(pressCommand) << "#!/bin/sh\nprintf '%s|' \"$@\" > " << forwarded << ".new && mv " << forwarded << ".new " << forwarded << "\n";
    chmod(pressCommand.c_str(), 0755);
    // The host made the folder to watch it; the bridge goes there first.
    replaceFile(host.home("Remote/remote-bridge.json"),
                json({{"routes", {{"⌃⌥K", "köprü"}, {"⌘B", "burada"}, {"key:⌘X", "burada"}}}, {"press", {pressCommand, "--key", "{key}"}}}).dump());

    // The remote client comes forward while forwarding is off: nothing yields.
    json client = desktop.add({{"bundleIdentifier", "com.remote.client"}})["application"];
    desktop.front(client["pid"]);
    replaceFile(config, R"({"forward":1})");
    ASSERT_TRUE(eventually([&] { return desktop.state()["front"] == client["pid"]; }));
    EXPECT_TRUE(host.statusesBecome({0, 0, 0}));

    // Forwarding on: written in the watched folder, it re-arms at once. A
    // route under "key:⌘X" never matches: routes use the bare key string.
    replaceFile(config, R"({"forward":"1"})");
    ASSERT_TRUE(host.statusesBecome({0, 0, -1})) << textOf(host.activationFile());
    EXPECT_EQ(host.held(), (std::set<std::string>{"⌃⌥K", "⌘B"}));

    // The bridged key goes to the remote machine; the other acts here.
    EXPECT_FALSE(desktop.press("⌃⌥K").contains("error"));
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(forwarded); }));
    EXPECT_EQ(textOf(forwarded), "--key|key:⌃⌥K|");
    EXPECT_FALSE(desktop.press("⌘B").contains("error"));
    ASSERT_TRUE(host.hears(pressed("acme://here")));
    EXPECT_EQ(host.heard(), (std::vector<json>{pressed("acme://here")}));

    // A press command that cannot start: said on standard error, and the URL
    // still does not go to the shell.
    replaceFile(host.home("Remote/remote-bridge.json"),
                json({{"routes", {{"⌃⌥K", "köprü"}, {"⌘B", "burada"}}}, {"press", {host.file("missing-program")}}}).dump());
    EXPECT_FALSE(desktop.press("⌃⌥K").contains("error"));
    EXPECT_TRUE(host.process->waitForError("remote press failed: ")) << host.process->err();

    // Without a valid bridge nothing is routed: every hot key steps aside.
    replaceFile(host.home("Remote/remote-bridge.json"), R"({"routes":{"⌃⌥K":"köprü"},"press":[]})");
    ASSERT_TRUE(host.statusesBecome({-1, -1, -1})) << textOf(host.activationFile());

    // Another application in front: all registered again.
    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}})["application"];
    desktop.front(notes["pid"]);
    ASSERT_TRUE(host.statusesBecome({0, 0, 0})) << textOf(host.activationFile());
    // Out of the remote client's reach a bridged key acts here.
    replaceFile(host.home("Remote/remote-bridge.json"),
                json({{"routes", {{"⌃⌥K", "köprü"}}}, {"press", {pressCommand, "{key}"}}}).dump());
    EXPECT_FALSE(desktop.press("⌃⌥K").contains("error"));
    ASSERT_TRUE(host.hears(pressed("acme://bridged")));
}

TEST(RemoteSessions, ASessionClientCountsOnlyWhileItHoldsAConnection)
{
    DesktopServer desktop;
    HotKeyHost host(desktop, remoteInfo({"com.remote.session"}));
    ASSERT_TRUE(host.started()) << host.process->err();
    std::filesystem::create_directories(host.home("Remote"));
    replaceFile(host.home("Remote/remote-bridge.json"), json({{"routes", {{"⌘B", "burada"}}}, {"press", {"/bin/true"}}}).dump());
    replaceFile(host.home("Remote/config.json"), R"({"forward":"1"})");

    // The session client is this test's own process: no connection yet.
    json client = desktop.add({{"bundleIdentifier", "com.remote.session"}, {"pid", getpid()}})["application"];
    const auto since = desktop.state()["next"].get<int64_t>();
    desktop.front(client["pid"]);
    ASSERT_TRUE(eventually([&] { return desktop.state()["front"] == getpid(); }));
    // The host looks at the client when it comes to the front and at every
    // check after: past two looks without a connection, nothing stepped aside.
    ASSERT_TRUE(eventually([&] { return host.sessionLooksSince(since) >= 2; })) << host.process->err();
    EXPECT_EQ(host.statuses(), (std::vector<int>{0, 0, 0}));

    // A connection comes: within a check the hot keys step aside.
    Connection connection;
    ASSERT_TRUE(connection.established());
    ASSERT_TRUE(host.statusesBecome({-1, 0, -1})) << textOf(host.activationFile());

    // It ends: they come back.
    connection.end();
    ASSERT_TRUE(host.statusesBecome({0, 0, 0})) << textOf(host.activationFile());
}

// --- The shell's hot keys ------------------------------------------------------

TEST(ShellHotKeys, TheShellHearsEveryStatusAndPressesBecomeLinks)
{
    DesktopServer desktop;
    // Another program holds ⌘1.
    json other = desktop.add({{"bundleIdentifier", "com.example.other"}})["application"];
    desktop.ok({{"op", "takeHotKey"}, {"chord", "⌘1"}, {"app", other["pid"]}});
    const std::string list = json({{"hotkeys", json::array({
        {{"key", "toggle"}, {"url", "acme://toggle"}, {"code", 40}, {"modifiers", 256}, {"options", 1}},
        {{"key", "refused"}, {"url", "acme://refused"}, {"code", 18}, {"modifiers", 256}},
        {{"key", "no code"}, {"url", "acme://x"}, {"modifiers", 256}},
    })}}).dump();
    HotKeyHost host(desktop, json::object(), {{"hotkeys", "child"}},
                    {"ts:print=" + list, "ts:echo=1500:{root}/first", "ts:print=" + list, "ts:echo=1500:{root}/second",
                     "ts:print={\"hotkeys\":[]}", "ts:echo=60000:{root}/heard"});
    ASSERT_TRUE(host.started()) << host.process->err();

    const json report = {{"hotkeys", json::array({{{"key", "toggle"}, {"status", 0}}, {{"key", "refused"}, {"status", -9878}}})}};
    ASSERT_TRUE(host.hears(report, "first")) << textOf(host.file("first")) << host.process->err();
    auto registered = DesktopServer::hostIn(desktop.state(), host.process->pid())["hotKeys"];
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0]["code"], 40);
    EXPECT_EQ(registered[0]["modifiers"], 256);
    EXPECT_EQ(registered[0]["options"], 1);
    EXPECT_EQ(registered[0]["signatureText"], "KsCK");
    EXPECT_EQ(registered[0]["hotKeyId"], 0);
    EXPECT_FALSE(desktop.press("⌘K").contains("error"));
    ASSERT_TRUE(host.hears(pressed("acme://toggle"), "first")) << textOf(host.file("first"));

    // The same list again: all released and registered again, the same report.
    ASSERT_TRUE(host.hears(report, "second")) << textOf(host.file("second"));
    EXPECT_EQ(host.heard("second"), std::vector<json>{report});

    // An empty list releases everything and asks for no report.
    ASSERT_TRUE(eventually([&] { return DesktopServer::hostIn(desktop.state(), host.process->pid())["hotKeys"].empty(); }));
    // What the other program holds stays its own.
    const json held = desktop.ok({{"op", "heldHotKeys"}})["heldHotKeys"];
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0]["pid"], other["pid"]);
    EXPECT_EQ(held[0]["by"], "application");
    auto records = host.linkLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["source"], "hotkey");
    // A link sent now reaches the shell after anything the empty list brought:
    // it is all the shell hears.
    desktop.getURL("acme://after");
    ASSERT_TRUE(eventually([&] { return !host.heard().empty(); })) << host.process->err();
    ASSERT_EQ(host.heard().size(), 1u) << textOf(host.file("heard"));
    EXPECT_EQ(host.heard()[0].value("url", ""), "acme://after") << textOf(host.file("heard"));
}

TEST(ShellHotKeys, YieldToARemoteClientWithTheirOwnStatus)
{
    DesktopServer desktop;
    const std::string list = json({{"hotkeys", json::array({
        {{"key", "here"}, {"url", "acme://here"}, {"code", 40}, {"modifiers", 256}},
        {{"key", "elsewhere"}, {"url", "acme://elsewhere"}, {"code", 41}, {"modifiers", 256}},
    })}}).dump();
    json info = {{"KestruneRemoteMachines", {{"bundles", {"com.remote.client"}}, {"config", "Remote/config.json"}, {"key", "forward"}}}};
    HotKeyHost host(desktop, info, {{"hotkeys", "child"}}, {"ts:print=" + list, "ts:echo=60000:{root}/heard"});
    ASSERT_TRUE(host.started()) << host.process->err();
    std::filesystem::create_directories(host.home("Remote"));
    replaceFile(host.home("Remote/remote-bridge.json"), json({{"routes", {{"here", "burada"}}}, {"press", {"/bin/true"}}}).dump());
    replaceFile(host.home("Remote/config.json"), R"({"forward":"1"})");
    const json registered = {{"hotkeys", json::array({{{"key", "here"}, {"status", 0}}, {{"key", "elsewhere"}, {"status", 0}}})}};
    ASSERT_TRUE(host.hears(registered)) << textOf(host.file("heard"));

    json client = desktop.add({{"bundleIdentifier", "com.remote.client"}})["application"];
    desktop.front(client["pid"]);
    ASSERT_TRUE(host.hears({{"hotkeys", json::array({{{"key", "here"}, {"status", 0}}, {{"key", "elsewhere"}, {"status", -3}}})}}))
        << textOf(host.file("heard"));
    EXPECT_FALSE(desktop.press("⌘K").contains("error"));
    ASSERT_TRUE(host.hears(pressed("acme://here")));

    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}})["application"];
    desktop.front(notes["pid"]);
    ASSERT_TRUE(eventually([&] {
        auto lines = host.heard();
        return !lines.empty() && lines.back() == registered;
    })) << textOf(host.file("heard"));
}

TEST(RemoteSessions, OddFilesMeanForwardingOffAndNoBridge)
{
    DesktopServer desktop;
    HotKeyHost host(desktop, remoteInfo());
    ASSERT_TRUE(host.started()) << host.process->err();
    const std::string config = host.home("Remote/config.json");
    const std::string bridge = host.home("Remote/remote-bridge.json");
    ASSERT_TRUE(host.statusesBecome({0, 0, 0}));
    replaceFile(bridge, json({{"routes", {{"⌃⌥K", "köprü"}, {"⌘B", "burada"}}}, {"press", {"/bin/true"}}}).dump());
    json client = desktop.add({{"bundleIdentifier", "com.remote.client"}})["application"];
    desktop.front(client["pid"]);

    // Each odd configuration follows a good one, so that its own arming shows:
    // forwarding off, every hot key back, and the host never blocks on it.
    struct Odd {
        const char* what;
        std::function<void()> make;
    };
    const Odd odds[] = {
        {"a FIFO", [&] { std::filesystem::remove(config); mkfifo(config.c_str(), 0644); }},
        {"a folder", [&] { std::filesystem::remove(config); std::filesystem::create_directory(config); }},
        {"larger than a settings file is", [&] { replaceFile(config, R"({"forward":"1","pad":")" + std::string(2 << 20, 'x') + "\"}"); }},
        {"not JSON", [&] { replaceFile(config, "forward=1"); }},
        {"removed", [&] { std::filesystem::remove(config); }},
    };
    for (const auto& odd : odds) {
        SCOPED_TRACE(odd.what);
        std::filesystem::remove_all(config);
        replaceFile(config, R"({"forward":"1"})");
        ASSERT_TRUE(host.statusesBecome({0, 0, -1})) << textOf(host.activationFile());
        odd.make();
        ASSERT_TRUE(host.statusesBecome({0, 0, 0})) << textOf(host.activationFile());
    }

    // A bridge that is a folder: no routes, so everything steps aside.
    std::filesystem::remove_all(config);
    replaceFile(config, R"({"forward":"1"})");
    ASSERT_TRUE(host.statusesBecome({0, 0, -1}));
    std::filesystem::remove(bridge);
    std::filesystem::create_directory(bridge);
    ASSERT_TRUE(host.statusesBecome({-1, -1, -1})) << textOf(host.activationFile());

    // The folder itself removed: the watch ends; switching applications
    // still arms.
    std::filesystem::remove_all(host.home("Remote"));
    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}})["application"];
    desktop.front(notes["pid"]);
    ASSERT_TRUE(host.statusesBecome({0, 0, 0}));
    EXPECT_FALSE(host.process->ended());
}
