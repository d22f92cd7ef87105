// The workspace and the window server of a live X11 session: windows that
// the window manager brings forward tell the shell which application is in
// front, the running applications and their windows are those of the
// session, a window's place is its frame's, and the host outlives its
// window manager.
#include "support/fixture.h"
#include "support/live_session.h"
#include "support/live_user.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using fixture::eventually;
using fixture::textOf;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// A process that only lives, to own windows under a process id of its own.
std::unique_ptr<fixture::Started> aProcess(const fixture::Bundle& bundle)
{
    fixture::RunOptions options;
    options.arguments = {"600"};
    options.timeout = 600s;
    return std::make_unique<fixture::Started>("/bin/sleep", options, bundle.home());
}

// A piped host whose shell hears the front (and anything else it asks for),
// writing what it hears to `heard`.
std::unique_ptr<fixture::Started> startAHostThatHearsTheFront(fixture::LiveSession& session, fixture::Bundle& bundle,
                                                             std::vector<std::string> first = {})
{
    bundle.writeInfoWithIdentifier("com.example.acme", {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    bundle.writeTestShellDescriptor("acme", {{"front", "tell"}});
    bundle.installHost();
    fixture::RunOptions options;
    options.arguments = first;
    options.arguments.push_back("ts:echo=120000:" + bundle.root() + "/heard");
    return bundle.start(session.withSession(options));
}

json front(const std::string& identifier)
{
    return {{"front", identifier}};
}

// The lines the shell heard, without the "apps" reports.
std::vector<json> frontsHeard(const fixture::Bundle& bundle)
{
    std::vector<json> fronts;
    for (auto& line : fixture::readLines(bundle.root() + "/heard")) {
        if (line.contains("front"))
            fronts.push_back(line);
    }
    return fronts;
}

// Brings a window forward and waits until the window manager says so,
// asking again now and then: a window manager still starting drops what
// comes meanwhile.
bool bringForward(xcb_connection_t* x, const fixture::TestWindow& window)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        window.activate();
        if (eventually([&] { return fixture::activeWindowOf(x) == window.id(); }, 1s))
            return true;
    }
    return false;
}

} // namespace

TEST(LiveFront, TheShellHearsTheApplicationWhoseWindowComesForward)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    fixture::Bundle bundle;
    auto notesProcess = aProcess(bundle);
    // Known by its window class, by its desktop entry, and by nothing.
    fixture::TestWindow notes(x, "notes", "Notes", notesProcess->pid(), "Shopping list");
    fixture::TestWindow editor(x, "editor", "Editor", getpid(), "Untitled", "org.example.Editor.desktop");
    fixture::TestWindow nameless(x, "", "", 0, "Nobody's");
    ASSERT_TRUE(notes.becomesManaged() && editor.becomesManaged() && nameless.becomesManaged());
    ASSERT_TRUE(bringForward(x, notes));

    auto host = startAHostThatHearsTheFront(session, bundle);
    std::vector<json> expected = {front("Notes")};
    ASSERT_TRUE(eventually([&] { return frontsHeard(bundle) == expected; })) << textOf(bundle.root() + "/heard") << host->err();

    // Changes within one turn of the host's loop are one change to the
    // front that remains: each is waited for before the next.
    ASSERT_TRUE(bringForward(x, editor));
    expected.push_back(front("org.example.Editor"));
    ASSERT_TRUE(eventually([&] { return frontsHeard(bundle) == expected; })) << textOf(bundle.root() + "/heard");
    ASSERT_TRUE(bringForward(x, nameless));
    ASSERT_TRUE(bringForward(x, notes));
    expected.push_back(front("Notes"));
    EXPECT_TRUE(eventually([&] { return frontsHeard(bundle) == expected; })) << textOf(bundle.root() + "/heard");
    EXPECT_EQ(host->err(), "");
}

TEST(LiveFront, TheShellSeesTheSessionsApplicationsAndWindowsComeAndGo)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    fixture::Bundle bundle;
    auto notesProcess = aProcess(bundle);
    const pid_t notesPid = notesProcess->pid();
    auto notes = std::make_unique<fixture::TestWindow>(x, "notes", "Notes", notesPid, "List");
    ASSERT_TRUE(notes->becomesManaged());
    ASSERT_TRUE(bringForward(x, *notes));

    auto host = startAHostThatHearsTheFront(session, bundle, {"ts:print={\"watch\":\"apps\"}"});
    auto lastApps = [&] {
        json last;
        for (auto& line : fixture::readLines(bundle.root() + "/heard")) {
            if (line.contains("apps"))
                last = line;
        }
        return last;
    };
    auto appWith = [](const json& report, pid_t pid) {
        for (const auto& app : report["apps"]) {
            if (app["pid"] == pid)
                return app;
        }
        return json();
    };
    ASSERT_TRUE(eventually([&] { return !lastApps().is_null(); })) << host->err();
    json report = lastApps();
    EXPECT_EQ(appWith(report, notesPid),
              json({{"bundle", "Notes"}, {"name", "Notes"}, {"path", std::filesystem::read_symlink("/proc/" + std::to_string(notesPid) + "/exe").string()},
                    {"pid", notesPid}, {"policy", 0}, {"active", true}}));
    EXPECT_EQ(appWith(report, host->pid())["bundle"], "com.example.acme");
    EXPECT_EQ(appWith(report, host->pid())["active"], false);
    EXPECT_EQ(report["windows"], json::array({json::array({notesPid, 0})})) << report.dump();

    // A second window of another process comes: the report lists it in
    // front; then the first application's only window goes, and so does it.
    fixture::TestWindow editor(x, "editor", "Editor", getpid(), "Draft");
    ASSERT_TRUE(editor.becomesManaged());
    ASSERT_TRUE(bringForward(x, editor));
    ASSERT_TRUE(eventually([&] {
        return lastApps()["windows"] == json::array({json::array({getpid(), 0}), json::array({notesPid, 0})})
               && appWith(lastApps(), getpid())["active"] == true && appWith(lastApps(), notesPid)["active"] == false;
    })) << lastApps().dump();
    notes.reset();
    ASSERT_TRUE(eventually([&] { return appWith(lastApps(), notesPid).is_null(); })) << lastApps().dump();
    EXPECT_EQ(lastApps()["windows"], json::array({json::array({getpid(), 0})}));
}

TEST(LiveFront, AWindowsPlaceIsItsFrameOnTheFirstScreen)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    fixture::Bundle bundle;
    bundle.installHost();
    auto owner = aProcess(bundle);
    fixture::TestWindow window(x, fixture::TestWindow::Options{"notes", "Notes", owner->pid(), "Notes", "", 500, 320});
    ASSERT_TRUE(window.becomesManaged());
    auto frame = fixture::frameOf(x, window.id());
    ASSERT_TRUE(frame);
    ASSERT_GT(frame->width, 500) << "the window manager frames its windows";

    auto planFor = [&](pid_t pid) {
        fixture::RunOptions options;
        options.arguments = {"--badge-plan", json({{"badge", {{"pid", pid}}}}).dump()};
        return bundle.run(session.withSession(options));
    };
    auto run = planFor(owner->pid());
    ASSERT_EQ(run.status, 0) << run.err;
    json plan = json::parse(run.out);
    EXPECT_EQ(plan["badge"], true);
    EXPECT_EQ(plan["window"], json({{"x", frame->x}, {"y", frame->y}, {"width", frame->width}, {"height", frame->height}}))
        << run.out;

    // A process without a window on screen has none.
    auto none = planFor(getpid());
    EXPECT_EQ(json::parse(none.out)["badge"], false) << none.out;
}

TEST(LiveFront, TheHostOutlivesItsWindowManagerAndHearsTheNextOne)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    xcb_connection_t* x = session.x();
    fixture::Bundle bundle;
    fixture::TestWindow notes(x, "notes", "Notes", getpid(), "List");
    auto other = aProcess(bundle);
    fixture::TestWindow editor(x, "editor", "Editor", other->pid(), "Draft");
    ASSERT_TRUE(notes.becomesManaged() && editor.becomesManaged());
    ASSERT_TRUE(bringForward(x, notes));
    auto host = startAHostThatHearsTheFront(session, bundle);
    std::vector<json> expected = {front("Notes")};
    ASSERT_TRUE(eventually([&] { return frontsHeard(bundle) == expected; })) << host->err();

    const std::string said = "live desktop: no window manager runs";
    for (int round = 0; round < 2; ++round) {
        session.stopWindowManager();
        ASSERT_TRUE(host->waitForError(said)) << host->err();
        size_t before = frontsHeard(bundle).size();
        session.startWindowManager();
        ASSERT_TRUE(notes.becomesManaged() && editor.becomesManaged());
        // The new window manager may bring a window forward of its own
        // accord; the one the user brings forward is told last.
        const auto& chosen = round == 0 ? editor : notes;
        ASSERT_TRUE(bringForward(x, chosen));
        json told = front(round == 0 ? "Editor" : "Notes");
        ASSERT_TRUE(eventually([&] {
            auto fronts = frontsHeard(bundle);
            return fronts.size() > before && fronts.back() == told;
        })) << textOf(bundle.root() + "/heard") << host->err();
    }
    EXPECT_FALSE(host->ended());
    // Said once, however often it happened.
    const std::string err = host->err();
    EXPECT_EQ(err.find(said, err.find(said) + 1), std::string::npos) << err;
}
