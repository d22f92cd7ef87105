// The shell's menu reaching a live session's tray: from the shell's "menu"
// line to the menu's LayoutUpdated on the session bus, and on to the whole
// layout read by the tray (GetLayout), for menus of 100 and 10,000 rows.
// The baseline is the same host on the headless desktop with the same
// menus, timed from the same line to its menu-drawn record. All are timed
// the same way (the shell is let go by a file; the end is polled), from
// medians of runs in one session. Goals: the signal no later than the
// baseline's record (ratio at most 1.2), the layout read at most 3x the
// baseline, and 100x the rows at most 120x the time.
#include "support/fixture.h"
#include "support/desktop_server.h"
#include "support/live_session.h"
#include "support/tray_watcher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int REPETITIONS = 9;

// The shell's arguments that write one menu line of `count` rows: groups of
// twenty in submenus, with keys and symbols, written in pieces (an argument
// cannot hold 10,000 rows).
void appendMenu(std::vector<std::string>& shell, int count)
{
    shell.push_back("ts:out={\"menu\":[{\"kind\":\"header\",\"title\":\"Bench\",\"symbol\":\"star\"}");
    for (int group = 0; group < (count - 1) / 20; ++group) {
        std::string id = "g" + std::to_string(group);
        shell.push_back("ts:out=,{\"id\":\"" + id + "\",\"title\":\"Group\",\"submenu\":true,\"enabled\":true}");
        shell.push_back("ts:fill=19:,{\"id\":\"r\",\"parent\":\"" + id
                        + "\",\"title\":\"Row\",\"enabled\":true,\"key\":\"⌘⇧K\",\"symbol\":\"doc\"}");
    }
    shell.push_back("ts:out=]}\\n");
}

// Whether a menu-drawn record was appended to a death log past `from`
// (moved past it when one was): only what is new is read, so that polling
// costs little against records of 10,000 rows.
bool drawnSince(const std::string& log, std::streamoff& from)
{
    std::ifstream file(log, std::ios::binary);
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    if (size <= from)
        return false;
    std::string added(size_t(size - from), '\0');
    file.seekg(from);
    file.read(added.data(), std::streamsize(added.size()));
    if (added.back() != '\n' || added.find("\"menu-drawn\"") == std::string::npos)
        return false;
    from = size;
    return true;
}

// Times each of `REPETITIONS` menus of `count` rows, after a first one that
// makes the status item, from the file letting the shell go to `arrived`.
std::vector<double> timeMenus(fixture::LiveSession& session, bool live, int count,
                              const std::function<bool(const std::string& log, size_t drawn)>& arrived)
{
    fixture::Bundle bundle;
    // A scheme of its own gives the shell its channel to the host.
    bundle.writeInfoWithIdentifier("com.example.bench",
                                   {{"CFBundleURLTypes", nlohmann::json::array({{{"CFBundleURLSchemes", {"bench"}}}})}});
    const std::string log = bundle.root() + "/death.jsonl";
    bundle.writeTestShellDescriptor("bench", {{"menu", "child"}, {"log", log}});
    bundle.installHost();
    fixture::RunOptions options = session.withSession();
    if (!live)
        options.environment["KESTRUNE_LIVE_DESKTOP"] = "off";
    options.timeout = 600s;
    for (int i = 0; i <= REPETITIONS; ++i) {
        options.arguments.push_back("ts:await=" + bundle.root() + "/go" + std::to_string(i));
        appendMenu(options.arguments, count);
    }
    options.arguments.push_back("ts:forever");
    auto host = fixture::startHost(bundle, options);
    std::vector<double> times;
    for (int i = 0; i <= REPETITIONS; ++i) {
        auto start = Clock::now();
        std::ofstream(bundle.root() + "/go" + std::to_string(i)).put('\n');
        while (!arrived(log, size_t(i + 1))) {
            if (Clock::now() - start > 60s) {
                std::fprintf(stderr, "tray-bench: menu %d of %d rows never arrived\n%s", i, count, host->err().c_str());
                std::exit(1);
            }
            std::this_thread::sleep_for(200us);
        }
        if (i > 0)
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    return times;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    if (auto why = fixture::LiveSession::whyUnavailable()) {
        std::fprintf(stderr, "tray-bench: no live session here: %s\n", why->c_str());
        return 1;
    }
    fixture::LiveSession session;
    std::vector<double> reads;
    for (int count : {100, 10000}) {
        // The live host's n-th menu is revision n on its menu object; each
        // host has a tray of its own.
        auto watcher = std::make_unique<fixture::TrayWatcher>(session.busAddress());
        double live = median(timeMenus(session, true, count, [&](const std::string&, size_t drawn) {
            return watcher->lastRevision("/MenuBar") >= drawn;
        }));
        watcher.reset();
        watcher = std::make_unique<fixture::TrayWatcher>(session.busAddress());
        fixture::TrayClient tray(session.busAddress());
        double read = median(timeMenus(session, true, count, [&](const std::string&, size_t drawn) {
            if (watcher->lastRevision("/MenuBar") < drawn)
                return false;
            auto registrations = watcher->registrations();
            return !registrations.empty() && tray.layout(registrations.back().destination(), "/MenuBar").has_value();
        }));
        watcher.reset();
        std::streamoff logged = 0;
        double headless = median(timeMenus(session, false, count, [&](const std::string& log, size_t) {
            return drawnSince(log, logged);
        }));
        std::printf("menu of %d rows: headless line to menu-drawn %.2f ms (baseline); line to LayoutUpdated %.2f ms "
                    "(%.2fx); line to layout read %.2f ms (%.2fx)\n",
                    count, headless * 1000, live * 1000, live / headless, read * 1000, read / headless);
        reads.push_back(read);
    }
    std::printf("100x the rows: %.1fx the time to the layout read (goal at most 120x)\n", reads[1] / reads[0]);
    return 0;
}
