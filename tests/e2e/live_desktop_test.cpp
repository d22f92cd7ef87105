// Which desktop a host gets: the live session's when the environment names a
// display and a session bus, unless told otherwise; never at the cost of
// starting.
#include "support/desktop_server.h"
#include "support/fixture.h"
#include "support/live_session.h"

#include <gtest/gtest.h>

using fixture::eventually;
using nlohmann::json;

namespace {

// A bundle whose test shell records itself and ends.
void makeTheBundle(fixture::Bundle& bundle)
{
    bundle.writeInfoWithIdentifier("com.example.acme");
    bundle.writeTestShellDescriptor("acme");
    bundle.installHost();
}

} // namespace

TEST(LiveDesktopChoice, AskedForWithoutASessionTheHostSaysSoAndGoesOnHeadless)
{
    fixture::Bundle bundle;
    makeTheBundle(bundle);
    struct Case {
        std::map<std::string, std::string> environment;
        std::string said;
    } cases[] = {
        // Asked for, no display named.
        {{{"KESTRUNE_LIVE_DESKTOP", "on"}, {"KESTRUNE_LIVE_DESKTOP_LIBRARY", fixture::liveDesktopLibrary()}},
         "live desktop unavailable (display (none): "},
        // A display nobody serves.
        {{{"DISPLAY", ":97"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
          {"KESTRUNE_LIVE_DESKTOP_LIBRARY", fixture::liveDesktopLibrary()}},
         "live desktop unavailable (display :97: "},
        // No library where it is looked for.
        {{{"KESTRUNE_LIVE_DESKTOP", "on"}, {"KESTRUNE_LIVE_DESKTOP_LIBRARY", bundle.root() + "/missing.so"}},
         "live desktop unavailable (" + bundle.root() + "/missing.so: No such file or directory)"},
        // A library that is not one.
        {{{"KESTRUNE_LIVE_DESKTOP", "on"}, {"KESTRUNE_LIVE_DESKTOP_LIBRARY", "/dev/null"}},
         "live desktop unavailable (/dev/null: not a regular file)"},
    };
    for (const auto& each : cases) {
        fixture::RunOptions options;
        options.environment = each.environment;
        auto recorded = bundle.runRecorded(options);
        EXPECT_EQ(recorded.run.status, 0) << each.said << recorded.run.err;
        EXPECT_NE(recorded.run.err.find(each.said), std::string::npos) << recorded.run.err;
        EXPECT_EQ(recorded.run.err.find("live desktop unavailable", recorded.run.err.find(each.said) + 1),
                  std::string::npos)
            << "said once: " << recorded.run.err;
    }
}

TEST(LiveDesktopChoice, TheSessionServesUnlessItIsRefusedOrAServerIsNamed)
{
    SKIP_WITHOUT_A_LIVE_SESSION();
    fixture::LiveSession session;
    fixture::Bundle bundle;
    makeTheBundle(bundle);

    // A session named: the live desktop serves, and says nothing.
    auto live = bundle.runRecorded(session.withSession());
    EXPECT_EQ(live.run.status, 0) << live.run.err;
    EXPECT_EQ(fixture::liveDesktopTrouble(live.run.err), "");

    // Refused, or a desktop server named: the live library is never opened
    // (a broken one would be said).
    fixture::RunOptions refused = session.withSession();
    refused.environment["KESTRUNE_LIVE_DESKTOP"] = "off";
    refused.environment["KESTRUNE_LIVE_DESKTOP_LIBRARY"] = "/dev/null";
    auto headless = bundle.runRecorded(refused);
    EXPECT_EQ(headless.run.status, 0);
    EXPECT_EQ(headless.run.err.find("live desktop"), std::string::npos) << headless.run.err;

    fixture::DesktopServer desktop;
    fixture::RunOptions served = desktop.withDesktop(session.withSession());
    served.environment["KESTRUNE_LIVE_DESKTOP_LIBRARY"] = "/dev/null";
    auto withServer = bundle.runRecorded(served);
    EXPECT_EQ(withServer.run.status, 0);
    EXPECT_EQ(withServer.run.err.find("live desktop"), std::string::npos) << withServer.run.err;
}
