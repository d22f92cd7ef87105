// The shell's menu on a live session's tray: the status item a tray watcher
// is told of, with its title, tool tip and icon; its menu read as a tray
// reads it; clicks and openings reaching the shell; and a tray (or the whole
// bus) that comes late, is replaced or goes away.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/live_session.h"
#include "support/tray_watcher.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <fstream>

using fixture::eventually;
using fixture::textOf;
using nlohmann::json;

namespace {

const json rows = json::array({
    {{"kind", "header"}, {"title", "Acme"}, {"symbol", "star.fill"}, {"pointSize", 16}, {"badge", "circle.fill"}},
    {{"id", "open"}, {"title", "Open…"}, {"enabled", true}, {"key", "⌘O"}, {"symbol", "doc"}},
    {{"kind", "separator"}},
    {{"id", "more"}, {"title", "More"}, {"enabled", true}, {"submenu", true}},
    {{"id", "deep"}, {"parent", "more"}, {"title", "Deep"}, {"enabled", true}, {"key", "⌃⌥⇧↩"}},
    {{"id", "off"}, {"title", "Off"}},
    {{"id", "save"}, {"title", "Save_As"}, {"enabled", true}},
    {{"id", "hidden"}, {"title", "Hidden"}, {"hidden", true}, {"enabled", true}},
});

// The lines with `text` in what a host said on standard error.
size_t linesWith(const std::string& said, const std::string& text)
{
    size_t count = 0;
    for (size_t at = said.find(text); at != std::string::npos; at = said.find(text, at + 1))
        ++count;
    return count;
}

const std::string NO_TRAY = "live desktop: no tray on the session bus";

// A host in the session whose shell draws the menu: the shell does `shell`
// (ts: arguments), then writes what it hears to `heard`.
struct TrayHost : public fixture::Host {
    TrayHost(fixture::LiveSession& session, const std::vector<std::string>& shell, const json& extra = json::object())
    {
        bundle.writeInfoWithIdentifier("com.example.acme", {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        json descriptor = {{"menu", "child"}, {"log", deathLog()}};
        descriptor.update(extra);
        bundle.writeTestShellDescriptor("acme", descriptor);
        bundle.installHost();
        fixture::RunOptions options = session.withSession();
        options.arguments = shell;
        options.arguments.push_back("ts:echo=60000:" + heard());
        start(options);
    }
    static std::string print(const json& message) { return "ts:print=" + message.dump(); }
    std::string deathLog() const { return bundle.root() + "/death.jsonl"; }
    std::string heard() const { return bundle.root() + "/heard"; }
    size_t drawings() const
    {
        size_t count = 0;
        for (const auto& record : fixture::readLines(deathLog()))
            count += record.value("kind", "") == "menu-drawn";
        return count;
    }
};

// The registration a watcher got from the host, once it has one.
std::optional<fixture::TrayWatcher::Registration> registered(fixture::TrayWatcher& watcher, size_t count = 1)
{
    std::optional<fixture::TrayWatcher::Registration> found;
    eventually([&] {
        auto all = watcher.registrations();
        if (all.size() >= count)
            found = all.back();
        return found.has_value();
    });
    return found;
}

// The row of a layout with this label.
const fixture::TrayMenuRow* rowLabelled(const fixture::TrayMenuLayout& layout, const std::string& label)
{
    for (const auto& row : layout.rows) {
        if (row.properties.value("label", "") == label)
            return &row;
    }
    return nullptr;
}

// The menu's layout once the host has published revision `atLeast`.
std::optional<fixture::TrayMenuLayout> layoutOf(fixture::TrayClient& client, const fixture::TrayWatcher::Registration& item,
                                                uint32_t atLeast = 1)
{
    std::optional<fixture::TrayMenuLayout> layout;
    eventually([&] {
        layout = client.layout(item.destination(), "/MenuBar");
        return layout && layout->revision >= atLeast;
    });
    return layout;
}

} // namespace

TEST(LiveStatusItem, TheTrayIsToldOfTheItemAndReadsItsMenu)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::TrayWatcher watcher(session.busAddress());
    TrayHost acme(session, {TrayHost::print({{"menu", rows}})});
    auto item = registered(watcher);
    ASSERT_TRUE(item) << acme.process->err();
    EXPECT_EQ(item->path(), "/StatusNotifierItem");
    EXPECT_EQ(item->destination().rfind("org.kde.StatusNotifierItem-" + std::to_string(acme.process->pid()) + "-", 0), 0u)
        << item->destination();

    fixture::TrayClient client(session.busAddress());
    const std::string where = item->destination(), path = item->path();
    ASSERT_TRUE(eventually([&] { return client.itemProperty(where, path, "ToolTip") == json({"", 0, "Acme", ""}); }))
        << client.itemProperty(where, path, "ToolTip").dump() << client.error;
    struct Property {
        const char* name;
        json value;
    } properties[] = {
        {"Category", "ApplicationStatus"}, {"Id", "com.example.acme"}, {"Title", "Acme"},
        {"Status", "Active"},              {"IconName", ""},            {"ItemIsMenu", true},
        {"Menu", "/MenuBar"},
    };
    for (const auto& each : properties)
        EXPECT_EQ(client.itemProperty(where, path, each.name), each.value) << each.name << " " << client.error;

    // The icon: the badged star at two sizes, straight ARGB with something
    // drawn and the corners left clear.
    auto pixmaps = client.itemPixmaps(where, path, "IconPixmap");
    ASSERT_EQ(pixmaps.size(), 2u) << client.error;
    for (const auto& [pixmap, side] : {std::pair{pixmaps[0], 22}, std::pair{pixmaps[1], 44}}) {
        EXPECT_EQ(pixmap.width, side);
        EXPECT_EQ(pixmap.height, side);
        ASSERT_EQ(pixmap.argb.size(), size_t(side * side * 4));
        size_t opaque = 0;
        for (size_t at = 0; at < pixmap.argb.size(); at += 4)
            opaque += pixmap.argb[at] == 255;
        EXPECT_GT(opaque, size_t(side));
        EXPECT_EQ(pixmap.argb[0], 0) << "top left is clear";
    }

    EXPECT_EQ(client.menuProperty(where, "/MenuBar", "Version"), 3u);
    EXPECT_EQ(client.menuProperty(where, "/MenuBar", "Status"), "normal");
    auto layout = layoutOf(client, *item);
    ASSERT_TRUE(layout) << client.error;
    auto top = layout->below(0);
    ASSERT_EQ(top.size(), 6u);   // header, open, separator, more, off, save: not the hidden row
    EXPECT_EQ(top[0]->properties.value("label", ""), "Acme");
    EXPECT_EQ(top[1]->properties["label"], "Open…");
    EXPECT_EQ(top[1]->properties["enabled"], true);
    EXPECT_EQ(top[1]->properties["shortcut"], json::array({json::array({"Super", "o"})}));
    EXPECT_EQ(top[1]->properties["icon-data"]["png"], true);
    EXPECT_EQ(top[2]->properties, (json{{"type", "separator"}}));
    EXPECT_EQ(top[3]->properties["children-display"], "submenu");
    auto deep = layout->below(top[3]->id);
    ASSERT_EQ(deep.size(), 1u);
    EXPECT_EQ(deep[0]->properties["label"], "Deep");
    EXPECT_EQ(deep[0]->properties["shortcut"], json::array({json::array({"Control", "Alt", "Shift", "Return"})}));
    EXPECT_EQ(top[4]->properties["enabled"], false);
    EXPECT_EQ(top[5]->properties["label"], "Save__As") << "an underscore is not a mnemonic";

    // A part of the menu, as a tray asks when it opens a submenu, and a row
    // that is not there.
    auto more = client.layout(where, "/MenuBar", top[3]->id, 1);
    ASSERT_TRUE(more);
    EXPECT_EQ(more->rows.size(), 2u);
    EXPECT_FALSE(client.layout(where, "/MenuBar", 100000));
    EXPECT_EQ(client.error, "org.freedesktop.DBus.Error.InvalidArgs");
}

TEST(LiveStatusItem, ClicksAndOpeningsReachTheShell)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::TrayWatcher watcher(session.busAddress());
    for (bool asked : {false, true}) {
        TrayHost acme(session, {TrayHost::print({{"menu", rows}})}, asked ? json{{"opened", "tell"}} : json::object());
        auto item = registered(watcher, asked ? 2 : 1);
        ASSERT_TRUE(item) << acme.process->err();
        fixture::TrayClient client(session.busAddress());
        auto layout = layoutOf(client, *item);
        ASSERT_TRUE(layout) << client.error;
        const std::string where = item->destination();
        auto id = [&](const std::string& label) {
            const auto* row = rowLabelled(*layout, label);
            return row ? row->id : -1;
        };

        // One opening said both ways is told once; after it closes, the next
        // is told again.
        EXPECT_EQ(client.aboutToShow(where, "/MenuBar", 0), "");
        EXPECT_EQ(client.event(where, "/MenuBar", 0, "opened"), "");
        EXPECT_EQ(client.event(where, "/MenuBar", 0, "closed"), "");
        EXPECT_EQ(client.event(where, "/MenuBar", 0, "opened"), "");
        // Rows without an action (disabled, a submenu's, a separator) send
        // nothing; a row that is not there is refused.
        for (const char* label : {"Off", "More"})
            EXPECT_EQ(client.event(where, "/MenuBar", id(label), "clicked"), "") << label;
        EXPECT_EQ(client.event(where, "/MenuBar", 3, "clicked"), "");
        EXPECT_EQ(client.event(where, "/MenuBar", 5000, "clicked"), "org.freedesktop.DBus.Error.InvalidArgs");
        EXPECT_EQ(client.event(where, "/MenuBar", id("Open…"), "hovered"), "");
        EXPECT_EQ(client.event(where, "/MenuBar", id("Open…"), "clicked"), "");
        EXPECT_EQ(client.event(where, "/MenuBar", id("Deep"), "clicked"), "");

        std::string expected = std::string(asked ? "{\"opened\":true}\n{\"opened\":true}\n" : "")
                               + "{\"menu\":\"open\"}\n{\"menu\":\"deep\"}\n";
        EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == expected; })) << asked << textOf(acme.heard());
        // The tray's other calls are taken and change nothing.
        for (const char* method : {"SecondaryActivate", "Scroll"})
            EXPECT_EQ(client.callItem(where, item->path(), method), "") << method;
        EXPECT_EQ(textOf(acme.heard()), expected);
    }
}

TEST(LiveStatusItem, EveryNewMenuIsANewRevision)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::TrayWatcher watcher(session.busAddress());
    fixture::Bundle flag;
    const std::string next = flag.root() + "/next";
    TrayHost acme(session, {TrayHost::print({{"menu", rows}}), "ts:await=" + next,
                            TrayHost::print({{"menu", json::array({{{"id", "only"}, {"title", "Only"}, {"enabled", true}}})}})});
    auto item = registered(watcher);
    ASSERT_TRUE(item) << acme.process->err();
    fixture::TrayClient client(session.busAddress());
    auto first = layoutOf(client, *item);
    ASSERT_TRUE(first);
    uint32_t revision = first->revision;
    int openId = rowLabelled(*first, "Open…")->id;

    std::ofstream(next).put('\n');
    ASSERT_TRUE(eventually([&] { return watcher.lastRevision("/MenuBar") > revision; }));
    auto second = client.layout(item->destination(), "/MenuBar");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->revision, watcher.lastRevision("/MenuBar"));
    ASSERT_EQ(second->below(0).size(), 1u);
    EXPECT_EQ(second->below(0)[0]->properties["label"], "Only");
    // An id of the old menu is no row of the new one.
    EXPECT_EQ(client.event(item->destination(), "/MenuBar", openId, "clicked"), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(client.event(item->destination(), "/MenuBar", second->below(0)[0]->id, "clicked"), "");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"only\"}\n"; })) << textOf(acme.heard());
}

TEST(LiveStatusItem, ATrayThatComesLateOrIsReplacedIsToldOfTheItem)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    TrayHost acme(session, {TrayHost::print({{"menu", rows}})});
    ASSERT_TRUE(acme.process->waitForError(NO_TRAY)) << acme.process->err();

    fixture::TrayWatcher first(session.busAddress());
    auto item = registered(first);
    ASSERT_TRUE(item) << acme.process->err();
    fixture::TrayWatcher second(session.busAddress(), true);
    auto again = registered(second);
    ASSERT_TRUE(again) << acme.process->err();
    EXPECT_EQ(again->destination(), item->destination());
    fixture::TrayClient client(session.busAddress());
    EXPECT_EQ(client.itemProperty(again->destination(), again->path(), "Title"), "Acme");
    EXPECT_FALSE(acme.process->ended());
    EXPECT_EQ(linesWith(acme.process->err(), NO_TRAY), 1u) << acme.process->err();
}

TEST(LiveStatusItem, WithoutTheBusTheHostGoesOnWithItsShell)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::Bundle flag;
    const std::string next = flag.root() + "/next";
    std::unique_ptr<fixture::TrayWatcher> watcher = std::make_unique<fixture::TrayWatcher>(session.busAddress());
    TrayHost acme(session, {TrayHost::print({{"menu", rows}}), "ts:await=" + next, TrayHost::print({{"menu", rows}})});
    ASSERT_TRUE(registered(*watcher)) << acme.process->err();
    ASSERT_TRUE(eventually([&] { return acme.drawings() == 1; }));

    session.stopBus();
    watcher.reset();
    const std::string gone = "live desktop: the session bus went away";
    ASSERT_TRUE(acme.process->waitForError(gone)) << acme.process->err();
    // The shell's next menu is still drawn (as on a session with nobody at
    // it), and the host says nothing more about the bus.
    std::ofstream(next).put('\n');
    EXPECT_TRUE(eventually([&] { return acme.drawings() == 2; })) << acme.process->err();
    EXPECT_FALSE(acme.process->ended());
    EXPECT_EQ(linesWith(acme.process->err(), gone), 1u) << acme.process->err();
    EXPECT_EQ(linesWith(acme.process->err(), "live desktop"), 1u) << acme.process->err();
}

TEST(LiveStatusItem, AMenuOfTenThousandRowsArrivesWhole)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::TrayWatcher watcher(session.busAddress());
    // 10,000 rows: 333 submenu rows with 29 rows each, then 10 at the top;
    // the line is written in pieces (an argument cannot hold it).
    std::vector<std::string> shell = {"ts:out={\"menu\":["};
    for (int group = 0; group < 333; ++group) {
        std::string id = "g" + std::to_string(group);
        shell.push_back("ts:out={\"id\":\"" + id + "\",\"title\":\"Group\",\"submenu\":true,\"enabled\":true},");
        shell.push_back("ts:fill=29:{\"id\":\"r\",\"parent\":\"" + id
                        + "\",\"title\":\"Row\",\"enabled\":true,\"key\":\"⌘K\",\"symbol\":\"doc\"},");
    }
    shell.push_back("ts:fill=9:{\"id\":\"top\",\"title\":\"Top\"},");
    shell.push_back("ts:out={\"id\":\"last\",\"title\":\"Last\",\"enabled\":true}]}\\n");
    TrayHost acme(session, shell);
    auto item = registered(watcher);
    ASSERT_TRUE(item) << acme.process->err();
    fixture::TrayClient client(session.busAddress());
    auto layout = layoutOf(client, *item);
    ASSERT_TRUE(layout) << client.error;
    EXPECT_EQ(layout->rows.size(), 10001u);   // the top menu and every row
    auto top = layout->below(0);
    ASSERT_EQ(top.size(), 343u);
    EXPECT_EQ(top.back()->properties["label"], "Last");
    EXPECT_EQ(layout->below(top[200]->id).size(), 29u);
    EXPECT_EQ(client.event(item->destination(), "/MenuBar", top.back()->id, "clicked"), "");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"last\"}\n"; })) << textOf(acme.heard());
}

TEST(LiveStatusItem, ADeepMenuReachesTheTrayInParts)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::TrayWatcher watcher(session.busAddress());
    // Submenus 30 deep, a row at the bottom.
    json deep = json::array();
    for (int level = 0; level < 30; ++level) {
        json row = {{"id", "s" + std::to_string(level)}, {"title", "Level"}, {"submenu", true}, {"enabled", true}};
        if (level > 0)
            row["parent"] = "s" + std::to_string(level - 1);
        deep.push_back(row);
    }
    deep.push_back({{"id", "bottom"}, {"parent", "s29"}, {"title", "Bottom"}, {"enabled", true}});
    TrayHost acme(session, {TrayHost::print({{"menu", deep}})});
    auto item = registered(watcher);
    ASSERT_TRUE(item) << acme.process->err();
    fixture::TrayClient client(session.busAddress());
    ASSERT_TRUE(layoutOf(client, *item)) << client.error;

    // Each reply holds as much as a message can nest; the tray asks again
    // from the deepest row it got, as it does when that submenu opens.
    int from = 0, replies = 0, bottom = -1;
    while (bottom < 0 && replies < 10) {
        auto part = client.layout(item->destination(), "/MenuBar", from);
        ASSERT_TRUE(part) << client.error;
        ASSERT_GT(part->rows.size(), 1u) << "reply " << replies;
        ++replies;
        if (const auto* row = rowLabelled(*part, "Bottom"))
            bottom = row->id;
        from = part->rows.back().id;
    }
    ASSERT_GE(bottom, 0);
    EXPECT_GT(replies, 1) << "a 30-deep menu does not fit one reply";
    EXPECT_EQ(client.event(item->destination(), "/MenuBar", bottom, "clicked"), "");
    EXPECT_TRUE(eventually([&] { return textOf(acme.heard()) == "{\"menu\":\"bottom\"}\n"; })) << textOf(acme.heard());
}
