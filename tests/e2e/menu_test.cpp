// The shell's menu on the desktop: the status item and menu drawn from its
// rows, picks and openings told to the shell, pop-ups, reopen requests, and
// the records of each drawing.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/unix_socket.h"

#include <csignal>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <sstream>
#include <unistd.h>

using fixture::eventually;
using nlohmann::json;
using fixture::textOf;

namespace {

// The records of one kind in a death log.
std::vector<json> recordsOf(const std::string& log, const std::string& kind)
{
    std::vector<json> found;
    for (const auto& record : fixture::readLines(log)) {
        if (record.value("kind", "") == kind)
            found.push_back(record);
    }
    return found;
}

const json rows = json::array({
    {{"kind", "header"}, {"title", "Acme"}, {"symbol", "star.fill"}, {"pointSize", 16}, {"weight", 0.3}, {"badge", "circle.fill"}},
    {{"id", "open"}, {"title", "Open…"}, {"enabled", true}, {"key", "⌘O"}, {"symbol", "doc"}},
    {{"kind", "separator"}},
    {{"id", "more"}, {"title", "More"}, {"enabled", true}, {"submenu", true}},
    {{"id", "deep"}, {"parent", "more"}, {"title", "Deep"}, {"enabled", true}},
    {{"id", "off"}, {"title", "Off"}},
    {{"id", "hidden"}, {"title", "Hidden"}, {"hidden", true}, {"enabled", true}},
});

// A piped host whose shell draws the menu: it prints `messages`, then
// writes what it hears to `heard`.
struct MenuHost : public fixture::Host {
    MenuHost(fixture::DesktopServer& desktop, const std::vector<json>& messages, const json& extra = json::object(),
             const std::vector<std::string>& first = {})
    {
        bundle.writeInfoWithIdentifier("com.example.acme", {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        json descriptor = {{"menu", "child"}, {"log", deathLog()}};
        descriptor.update(extra);
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost();
        fixture::RunOptions options;
        options.arguments = first;
        for (const auto& message : messages)
            options.arguments.push_back("ts:print=" + message.dump());
        options.arguments.push_back("ts:echo=60000:" + heard());
        start(desktop.withDesktop(options));
    }
    std::string deathLog() const { return bundle.root() + "/death.jsonl"; }
    std::string heard() const { return bundle.root() + "/heard"; }
};

json hostState(fixture::DesktopServer& desktop)
{
    json state = desktop.state();
    return state["hosts"].empty() ? json() : state["hosts"].back();
}

} // namespace

TEST(Menu, TheStatusItemAndMenuAreDrawnFromTheRows)
{
    fixture::DesktopServer desktop;
    MenuHost acme(desktop, {{{"menu", rows}}});
    json host;
    ASSERT_TRUE(eventually([&] {
        host = hostState(desktop);
        return host.is_object() && !host["statusItems"].empty() && host["statusItems"][0]["menu"].is_object();
    })) << acme.process->err();

    const json& item = host["statusItems"][0];
    EXPECT_EQ(item["autosaveName"], "com.example.acme");
    EXPECT_EQ(item["button"]["toolTip"], "Acme");
    EXPECT_EQ(item["button"]["image"]["symbol"], "star.fill");
    EXPECT_EQ(item["button"]["image"]["badge"], "circle.fill");
    EXPECT_EQ(item["button"]["image"]["pointSize"], 16);
    EXPECT_EQ(item["button"]["image"]["template"], true);
    EXPECT_EQ(host["activationPolicy"], 1);

    const json& items = item["menu"]["items"];
    ASSERT_EQ(items.size(), 5u) << items.dump();   // header, open, separator, more, off
    EXPECT_EQ(items[0]["title"], "Acme");
    EXPECT_EQ(items[1]["title"], "Open…");
    EXPECT_EQ(items[1]["keyEquivalent"], "o");
    EXPECT_EQ(items[1]["modifierMask"], 1 << 20);
    EXPECT_EQ(items[1]["image"]["symbol"], "doc");
    EXPECT_EQ(items[1]["action"], true);
    EXPECT_EQ(items[2]["separator"], true);
    EXPECT_EQ(items[3]["action"], false);
    EXPECT_EQ(items[3]["submenu"]["items"][0]["title"], "Deep");
    EXPECT_EQ(items[4]["enabled"], false);
    EXPECT_EQ(items[4]["action"], false);

    // The record follows the drawing.
    std::vector<json> drawn;
    ASSERT_TRUE(eventually([&] { return !(drawn = recordsOf(acme.deathLog(), "menu-drawn")).empty(); }));
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0]["statusItem"], true);
    EXPECT_EQ(drawn[0]["hosted"], false);
    EXPECT_EQ(drawn[0]["published"], nullptr);
    EXPECT_EQ(drawn[0]["menu"][4], (json{{"enabled", true}, {"id", "deep"}, {"title", "Deep"}}));
    EXPECT_EQ(drawn[0]["menu"][2], (json{{"id", "separator"}, {"title", nullptr}}));
    EXPECT_NE(access((acme.bundle.applicationSupport("com.example.acme") + "/menu.json").c_str(), F_OK), 0);
}

TEST(Menu, AMissingSymbolMakesATextItem)
{
    fixture::DesktopServer desktop;
    desktop.missingSymbols({"star.fill"});
    MenuHost acme(desktop, {{{"menu", rows}}});
    ASSERT_TRUE(eventually([&] {
        json host = hostState(desktop);
        return host.is_object() && !host["statusItems"].empty() && host["statusItems"][0]["button"]["title"] == "Acme";
    })) << hostState(desktop).dump();
    EXPECT_EQ(hostState(desktop)["statusItems"][0]["button"]["image"], nullptr);
}

TEST(Menu, APickReachesTheShellAsOneLine)
{
    fixture::DesktopServer desktop;
    MenuHost acme(desktop, {{{"menu", rows}}});
    ASSERT_TRUE(eventually([&] { return !recordsOf(acme.deathLog(), "menu-drawn").empty(); }));
    json answer = desktop.pick("Open…");
    EXPECT_EQ(answer["answer"]["picked"], true) << answer.dump();
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n"; })) << textOf(acme.heard());
    desktop.pick("Deep");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n{\"menu\":\"deep\"}\n"; })) << textOf(acme.heard());
    // A disabled row cannot be picked; nothing more reaches the shell.
    EXPECT_TRUE(desktop.pick("Off").contains("error"));
}

TEST(Menu, APickLetsTheShellTakeActivationFirst)
{
    // A shell that is a running application of the session may take
    // activation before it hears the pick, so a window it opens comes forward.
    fixture::DesktopServer desktop;
    MenuHost acme(desktop, {{{"menu", rows}}}, json::object(), {"ts:register-app=com.example.acme.shell"});
    ASSERT_TRUE(eventually([&] { return !recordsOf(acme.deathLog(), "menu-drawn").empty(); }));
    json shell;
    ASSERT_TRUE(eventually([&] {
        const json state = desktop.state();
        for (const auto& application : state["applications"]) {
            if (application["bundleIdentifier"] == "com.example.acme.shell")
                shell = application;
        }
        return shell.is_object();
    })) << desktop.state()["applications"].dump();
    EXPECT_EQ(hostState(desktop)["yields"], json::array());
    desktop.pick("Open…");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n"; }));
    EXPECT_EQ(hostState(desktop)["yields"], json::array({shell["pid"]}));
}

TEST(Menu, TheShellHearsTheMenuOpenOnlyWhenItAsked)
{
    for (bool asked : {false, true}) {
        fixture::DesktopServer desktop;
        MenuHost acme(desktop, {{{"menu", rows}}}, asked ? json{{"opened", "tell"}} : json::object());
        ASSERT_TRUE(eventually([&] { return !recordsOf(acme.deathLog(), "menu-drawn").empty(); }));
        desktop.openMenu();
        desktop.pick("Open…");
        std::string expected = std::string(asked ? "{\"opened\":true}\n" : "") + "{\"menu\":\"open\"}\n";
        EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == expected; })) << asked << textOf(acme.heard());
    }
}

TEST(Menu, PopsUpAtTheMouseOnlyOnceDrawn)
{
    fixture::DesktopServer desktop;
    desktop.setMouse(300, 200);
    MenuHost acme(desktop, {{{"popUp", true}}, {{"menu", rows}}, {{"popUp", true}}});
    json host;
    ASSERT_TRUE(eventually([&] {
        host = hostState(desktop);
        return host.is_object() && host["popUp"].is_object();
    })) << acme.process->err();
    EXPECT_EQ(host["popUp"]["location"], (json{{"x", 300}, {"y", 200}}));
    desktop.dismiss();
    auto reopens = recordsOf(acme.deathLog(), "reopen");
    ASSERT_EQ(reopens.size(), 1u);   // the first request came before any menu
    EXPECT_EQ(reopens[0]["x"], 300.0);
    EXPECT_EQ(reopens[0]["y"], 200.0);

    // A reopen request (SIGUSR1) pops it up too, and the pick made there
    // reaches the shell.
    acme.process->signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return hostState(desktop)["popUp"].is_object(); }));
    desktop.pick("Open…");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n"; })) << textOf(acme.heard());
    EXPECT_EQ(recordsOf(acme.deathLog(), "reopen").size(), 2u);

    // So does opening the application again while it runs.
    desktop.request({{"op", "reopen"}, {"host", nullptr}});
    ASSERT_TRUE(eventually([&] { return hostState(desktop)["popUp"].is_object(); }));
    desktop.dismiss();
    EXPECT_TRUE(eventually([&] { return recordsOf(acme.deathLog(), "reopen").size() == 3; }));
}

TEST(Menu, EveryMessageRedrawsTheWholeMenu)
{
    fixture::DesktopServer desktop;
    MenuHost acme(desktop, {{{"menu", rows}}, {{"menu", json::array({{{"id", "only"}, {"title", "Only"}, {"enabled", true}}})}}});
    ASSERT_TRUE(eventually([&] { return recordsOf(acme.deathLog(), "menu-drawn").size() == 2; }));
    json host = hostState(desktop);
    ASSERT_EQ(host["statusItems"].size(), 1u);
    EXPECT_EQ(host["statusItems"][0]["menu"]["items"].size(), 1u);
    // Without a header the title is the identity and the symbol the default.
    EXPECT_EQ(host["statusItems"][0]["button"]["toolTip"], "com.example.acme");
    EXPECT_EQ(host["statusItems"][0]["button"]["image"]["symbol"], "rectangle.grid.2x2");
}

namespace {

// A host under a hosting parent (the test), its shell drawing the menu.
struct HostedMenuHost : public fixture::Host {
    explicit HostedMenuHost(const std::vector<json>& messages, const std::string& identity = "com.example.acme",
                            const std::function<void(const std::string& socket)>& beforeStart = {})
        : identity(identity)
    {
        bundle.writeInfoWithIdentifier(identity, {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        bundle.writeTestShellDescriptor("acme", {{"menu", "child"}, {"log", deathLog()}});
        bundle.installHost();
        if (beforeStart)
            beforeStart(socketPath());
        fixture::RunOptions options;
        options.environment["MENU_BAR_HOSTED"] = "1";
        for (const auto& message : messages)
            options.arguments.push_back("ts:print=" + message.dump());
        options.arguments.push_back("ts:echo=60000:" + heard());
        start(options);
    }
    std::string deathLog() const { return bundle.root() + "/death.jsonl"; }
    std::string heard() const { return bundle.root() + "/heard"; }
    std::string folder() const { return bundle.applicationSupport(identity); }
    std::string socketPath() const { return folder() + "/menu.sock"; }
    std::string identity;
};

// The shell's one message: the rows above.
std::vector<json> theRows()
{
    return {json{{"menu", rows}}};
}

// One connection to menu.sock, reading reply lines.
class SocketClient {
public:
    explicit SocketClient(const std::string& path)
    {
        auto connected = platform::connectToUnixSocket(path);
        fd_ = connected ? connected.value() : -1;
    }
    ~SocketClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // The next reply line, or nothing after two seconds of silence.
    std::optional<json> reply()
    {
        for (;;) {
            if (auto newline = buffered_.find('\n'); newline != std::string::npos) {
                std::string line = buffered_.substr(0, newline);
                buffered_.erase(0, newline + 1);
                return json::parse(line);
            }
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 2000) <= 0)
                return std::nullopt;
            char chunk[4096];
            ssize_t got = read(fd_, chunk, sizeof chunk);
            if (got <= 0)
                return std::nullopt;
            buffered_.append(chunk, size_t(got));
        }
    }

private:
    int fd_ = -1;
    std::string buffered_;
};

} // namespace

TEST(HostedMenu, PublishesTheTreeListensAndAnswersItsParent)
{
    HostedMenuHost acme(theRows());
    ASSERT_TRUE(eventually([&] { return !recordsOf(acme.deathLog(), "menu-drawn").empty(); })) << acme.process->err();

    auto drawn = recordsOf(acme.deathLog(), "menu-drawn")[0];
    EXPECT_EQ(drawn["statusItem"], false);
    EXPECT_EQ(drawn["hosted"], true);
    EXPECT_EQ(drawn["published"], acme.folder() + "/menu.json");
    auto listening = recordsOf(acme.deathLog(), "host-listening");
    ASSERT_EQ(listening.size(), 1u);
    EXPECT_EQ(listening[0]["socket"], acme.socketPath());
    EXPECT_EQ(listening[0]["listening"], true);

    // The published tree: header gone, hidden row kept, keys sorted, compact,
    // no line feed at the end.
    std::string published = textOf(acme.folder() + "/menu.json");
    EXPECT_EQ(published,
              "[{\"enabled\":true,\"id\":\"open\",\"key\":\"⌘O\",\"symbol\":\"doc\",\"title\":\"Open…\"},{\"separator\":true},"
              "{\"enabled\":true,\"id\":\"more\",\"submenu\":[{\"enabled\":true,\"id\":\"deep\",\"title\":\"Deep\"}],\"title\":\"More\"},"
              "{\"enabled\":false,\"id\":\"off\",\"title\":\"Off\"},{\"enabled\":true,\"id\":\"hidden\",\"title\":\"Hidden\"}]");

    // Two requests in one packet, then one split over two writes.
    SocketClient parent(acme.socketPath());
    ASSERT_TRUE(parent.connected());
    parent.send("{\"refresh\":true}\n{\"invoke\":\"open\",\"title\":\"Open…\"}\n");
    EXPECT_EQ(parent.reply(), (json{{"refreshed", true}}));
    EXPECT_EQ(parent.reply(), (json{{"invoked", "open"}, {"title", "Open…"}}));
    parent.send("{\"invoke\":\"open\",");
    EXPECT_EQ(parent.reply(), std::nullopt);
    parent.send("\"title\":\"Stale\"}\n");
    EXPECT_EQ(parent.reply(), (json{{"error", "invoke-row-changed"}, {"id", "open"}, {"title", "Open…"}}));
    parent.send("{\"url\":\"ACME://from/parent\"}\n{\"url\":\"other://x\"}\n\n");
    auto delivered = parent.reply();
    ASSERT_TRUE(delivered);
    EXPECT_EQ((*delivered)["delivered"], "ACME://from/parent");
    EXPECT_TRUE((*delivered)["shell"].is_number_integer());
    EXPECT_EQ(parent.reply(), (json{{"error", "url-scheme-not-mine"}, {"url", "other://x"}}));
    EXPECT_EQ(parent.reply(), (json{{"error", "not-json"}}));
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"open\"}\n{\"url\":\"ACME://from/parent\"}\n"; }))
        << textOf(acme.heard());

    // Only the owner may connect.
    struct stat info {};
    ASSERT_EQ(stat(acme.socketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(HostedMenu, ASocketPathOf103BytesListensAnd104DoesNot)
{
    for (std::size_t length : {103u, 104u}) {
        // The socket's path is HOME/Library/Application Support/<identity>/menu.sock:
        // the identity pads it to the length wanted.
        fixture::Bundle probe;
        std::string fixed = probe.applicationSupport("") + "/menu.sock";
        ASSERT_LT(fixed.size() + 12, length) << fixed;
        std::string identity = "com.example." + std::string(length - fixed.size() - 12, 'a');
        HostedMenuHost acme(theRows(), identity);
        ASSERT_EQ(acme.socketPath().size(), length) << acme.socketPath();
        ASSERT_TRUE(eventually([&] { return !recordsOf(acme.deathLog(), "host-listening").empty(); })) << acme.process->err();
        bool listening = recordsOf(acme.deathLog(), "host-listening")[0]["listening"];
        EXPECT_EQ(listening, length == 103) << length;
        EXPECT_EQ(access(acme.socketPath().c_str(), F_OK) == 0, length == 103) << length;
    }
}

TEST(HostedMenu, AStaleSocketIsReplacedAndALiveOneLeftAlone)
{
    // A socket file whose listener is gone.
    HostedMenuHost stale(theRows(), "com.example.acme", [](const std::string& path) {
        platform::makeFolders(platform::deletingLastComponent(path));
        auto listener = platform::listenOnUnixSocket(path, 1);
        ASSERT_TRUE(listener);
        close(listener.value());
    });
    ASSERT_TRUE(eventually([&] { return !recordsOf(stale.deathLog(), "host-listening").empty(); }));
    EXPECT_EQ(recordsOf(stale.deathLog(), "host-listening")[0]["listening"], true);
    SocketClient client(stale.socketPath());
    client.send("{\"refresh\":true}\n");
    EXPECT_EQ(client.reply(), (json{{"refreshed", true}}));

    // A socket another process listens on.
    int live = -1;
    HostedMenuHost blocked(theRows(), "com.example.acme", [&](const std::string& path) {
        platform::makeFolders(platform::deletingLastComponent(path));
        auto listener = platform::listenOnUnixSocket(path, 1);
        ASSERT_TRUE(listener);
        live = listener.value();
    });
    ASSERT_TRUE(eventually([&] { return !recordsOf(blocked.deathLog(), "host-listening").empty(); }));
    EXPECT_EQ(recordsOf(blocked.deathLog(), "host-listening")[0]["listening"], false);
    SocketClient other(blocked.socketPath());
    EXPECT_TRUE(other.connected());   // still the other process's socket
    close(live);
}

TEST(HostedMenu, NothingIsPublishedOrOpenedBeforeTheFirstMenu)
{
    // Without a menu there is no socket yet; the host opens it at the first
    // drawing. A shell that never draws leaves no menu.json behind.
    HostedMenuHost acme(std::vector<json>{});
    ASSERT_TRUE(eventually([&] { return access(acme.heard().c_str(), F_OK) == 0; })) << acme.process->err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_NE(access((acme.folder() + "/menu.json").c_str(), F_OK), 0);
    EXPECT_NE(access(acme.socketPath().c_str(), F_OK), 0);
}
