// Tests that the end-to-end suite runs as a program of their own to see
// what a failing test leaves behind: one fails on purpose with a session
// on screen, one passes. ctest never runs them directly.
#include "support/desktop_server.h"

#include <gtest/gtest.h>

using fixture::DesktopServer;
using nlohmann::json;

namespace {

const json window = {{"bounds", {{"x", 100}, {"y", 80}, {"width", 600}, {"height", 400}}}};

} // namespace

TEST(FailingSession, FailsWithAWindowOnScreen)
{
    DesktopServer desktop;
    desktop.add({{"bundleIdentifier", "com.example.probe"}, {"localizedName", "Probe"}, {"windows", {window}}});
    ADD_FAILURE() << "failing on purpose, for its picture";
}

TEST(FailingSession, Passes)
{
    DesktopServer desktop;
    desktop.add({{"bundleIdentifier", "com.example.probe"}, {"localizedName", "Probe"}, {"windows", {window}}});
    EXPECT_TRUE(desktop.state()["applications"].is_array());
}
