// The shell hears which application is in front, from the live desktop.
#include "support/desktop_server.h"
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using fixture::eventually;
using nlohmann::json;
using fixture::textOf;

namespace {

// A piped host whose descriptor says "front":"tell", its shell writing what
// it hears to `heard`.
std::unique_ptr<fixture::Background> startAHostThatHearsTheFront(fixture::Bundle& bundle, fixture::DesktopServer& desktop,
                                                                const std::string& heard)
{
    bundle.writeInfoWithIdentifier("com.example.acme", {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    bundle.writeTestShellDescriptor("acme", {{"front", "tell"}});
    bundle.installHost();
    fixture::RunOptions options;
    options.arguments = {"ts:echo=60000:" + heard};
    return fixture::startHost(bundle, desktop.withDesktop(options));
}
} // namespace

TEST(FrontMessage, TheShellHearsTheFrontAtLaunchAndOnEveryActivation)
{
    fixture::DesktopServer desktop;
    json safari = desktop.launch({{"bundleIdentifier", "com.apple.Safari"}, {"localizedName", "Safari"}})["application"];
    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}, {"localizedName", "Notes"}})["application"];
    json nameless = desktop.add({{"localizedName", "No identifier"}})["application"];
    desktop.front(safari["pid"]);

    fixture::Bundle bundle;
    const std::string heard = bundle.root() + "/heard";
    auto host = startAHostThatHearsTheFront(bundle, desktop, heard);

    // At launch: the application in front then.
    ASSERT_TRUE(eventually([&] { return textOf(heard) == "{\"front\":\"com.apple.Safari\"}\n"; }))
        << textOf(heard) << host->err() << desktop.state().dump();

    // The user brings others forward; one without an identifier says nothing.
    desktop.front(notes["pid"]);
    desktop.front(nameless["pid"]);
    desktop.front(safari["pid"]);
    EXPECT_TRUE(eventually([&] {
        return textOf(heard) == "{\"front\":\"com.apple.Safari\"}\n{\"front\":\"com.apple.Notes\"}\n{\"front\":\"com.apple.Safari\"}\n";
    })) << textOf(heard);

    host->signal(SIGTERM);
    EXPECT_EQ(host->wait().status, 143);
}

TEST(FrontMessage, NothingIsToldUnlessTheDescriptorAsks)
{
    fixture::DesktopServer desktop;
    desktop.launch({{"bundleIdentifier", "com.apple.Safari"}});
    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}})["application"];

    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier("com.example.acme", {{"CFBundleURLTypes", json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    bundle.writeTestShellDescriptor();
    bundle.installHost();
    const std::string heard = bundle.root() + "/heard";
    fixture::RunOptions options;
    options.arguments = {"ts:echo=60000:" + heard};
    auto host = fixture::startHost(bundle, desktop.withDesktop(options));
    ASSERT_TRUE(desktop.waitForHost("com.example.acme"));
    desktop.front(notes["pid"]);
    // A later message proves the channel works and nothing came before it.
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait().status, 143);
    EXPECT_EQ(textOf(heard), "");
}

TEST(FrontMessage, ASwappedInShellHearsTheFrontOnce)
{
    fixture::DesktopServer desktop;
    json safari = desktop.launch({{"bundleIdentifier", "com.apple.Safari"}})["application"];
    desktop.front(safari["pid"]);

    fixture::Bundle bundle;
    const std::string heard = bundle.root() + "/heard";
    auto host = startAHostThatHearsTheFront(bundle, desktop, heard);
    const std::string once = "{\"front\":\"com.apple.Safari\"}\n";
    ASSERT_TRUE(eventually([&] { return textOf(heard) == once; })) << textOf(heard) << host->err();

    // The new shell starts its own record of what it hears.
    std::remove(heard.c_str());
    host->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return textOf(heard) == once; })) << textOf(heard) << host->err();
    // The next application in front is heard after anything the swap brought.
    json notes = desktop.add({{"bundleIdentifier", "com.apple.Notes"}})["application"];
    desktop.front(notes["pid"]);
    ASSERT_TRUE(eventually([&] { return textOf(heard).size() > once.size(); })) << textOf(heard) << host->err();
    EXPECT_EQ(textOf(heard), once + "{\"front\":\"com.apple.Notes\"}\n");

    host->signal(SIGTERM);
    EXPECT_EQ(host->wait().status, 143);
}
