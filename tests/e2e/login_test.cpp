#include "support/fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using fixture::textOf;

namespace fs = std::filesystem;

namespace {

const std::string USAGE = "usage: --login on|off|status\n";
const std::string IDENTITY = "com.example.acme";

std::string autostartIn(const fixture::Bundle& bundle)
{
    return bundle.home() + "/.config/autostart";
}

// The entry that stands for the agent `plist` of the test application.
std::string entryIn(const std::string& folder, const std::string& plist)
{
    return folder + "/" + IDENTITY + "-" + plist.substr(0, plist.size() - 6) + ".desktop";
}

std::string entryOf(const fixture::Bundle& bundle, const std::string& plist)
{
    return entryIn(autostartIn(bundle), plist);
}

std::string agentsFolder(const fixture::Bundle& bundle)
{
    return bundle.contents("Library/LaunchAgents");
}

nlohmann::json agentRunning(const std::vector<std::string>& arguments)
{
    return {{"Label", "agent"}, {"ProgramArguments", arguments}};
}

// A bundle of the test application with the host installed and these agents.
void prepare(fixture::Bundle& bundle, const std::vector<std::string>& agents)
{
    bundle.writeInfoWithIdentifier(IDENTITY, {{"CFBundleName", "Acme"}});
    for (const auto& agent : agents)
        bundle.writeLaunchAgent(agent, agentRunning({"/usr/bin/" + agent.substr(0, agent.size() - 6), "--at-login"}));
    bundle.installHost();
}


void append(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

void replaceLine(const std::string& path, const std::string& start, const std::string& line)
{
    std::istringstream lines(textOf(path));
    std::string rewritten, current;
    while (std::getline(lines, current))
        rewritten += (current.rfind(start, 0) == 0 ? line : current) + "\n";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << rewritten;
}

// The line of `entry` that starts with `key` + "=", without its line feed.
std::string lineOf(const std::string& entry, const std::string& key)
{
    std::istringstream lines(textOf(entry));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(key + "=", 0) == 0)
            return line;
    }
    return "";
}

// Every file of a folder with its inode and bytes: a rewrite, even with the
// same bytes, changes the inode.
std::map<std::string, std::pair<ino_t, std::string>> snapshotOf(const std::string& folder)
{
    std::map<std::string, std::pair<ino_t, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info {};
        stat(entry.path().c_str(), &info);
        files[entry.path()] = {info.st_ino, entry.is_regular_file() ? textOf(entry.path()) : "(folder)"};
    }
    return files;
}

std::string row(const std::string& plist, const std::string& status)
{
    return "{\"plist\":\"" + plist + "\",\"status\":\"" + status + "\"}";
}

std::string answer(const std::string& login, const std::string& status, const std::vector<std::string>& rows)
{
    std::string joined;
    for (const auto& each : rows)
        joined += (joined.empty() ? "" : ",") + each;
    return "{\"login\":\"" + login + "\",\"status\":\"" + status + "\",\"agents\":[" + joined + "]}\n";
}

void expectAnswer(const fixture::Run& run, const std::string& line)
{
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, line);
}

void expectFailure(const fixture::Run& run, const std::string& err)
{
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.out, "");
}

} // namespace

TEST(LoginCommand, WrongCommandLinesAndBundlesWithoutIdentifierGiveTheUsage)
{
    struct Case {
        std::string what;
        std::vector<std::string> arguments;
        std::function<void(fixture::Bundle&)> info;
    };
    auto withIdentifier = [](fixture::Bundle& bundle) { bundle.writeInfoWithIdentifier(IDENTITY); };
    const Case cases[] = {
        {"alone", {"--login"}, withIdentifier},
        {"three arguments", {"--login", "on", "extra"}, withIdentifier},
        {"verb in capitals", {"--login", "ON"}, withIdentifier},
        {"another verb", {"--login", "Status"}, withIdentifier},
        {"empty verb", {"--login", ""}, withIdentifier},
        {"no identifier", {"--login", "on"}, [](fixture::Bundle& bundle) { bundle.writeInfo({{"CFBundleName", "Acme"}}); }},
        {"empty identifier", {"--login", "status"}, [](fixture::Bundle& bundle) { bundle.writeInfo({{"CFBundleIdentifier", ""}}); }},
        {"identifier not a string", {"--login", "off"}, [](fixture::Bundle& bundle) { bundle.writeInfo({{"CFBundleIdentifier", 7}}); }},
        {"no Info.plist", {"--login", "status"}, [](fixture::Bundle&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::Bundle bundle;
        c.info(bundle);
        bundle.writeLaunchAgent("a.plist", agentRunning({"/usr/bin/a"}));
        bundle.installHost();
        expectFailure(bundle.run(c.arguments), USAGE);
        EXPECT_FALSE(fs::exists(bundle.home() + "/.config"));
    }
}

TEST(LoginCommand, WithoutLaunchAgentsTheOneAgentIsNamedAfterTheIdentity)
{
    // No runtime descriptor either: this mode never looks for one.
    fixture::Bundle bundle;
    prepare(bundle, {});
    const std::string notFound = answer("off", "notFound", {row("com.example.acme.plist", "notFound")});

    expectAnswer(bundle.run({"--login", "status"}), notFound);
    expectAnswer(bundle.run({"--login", "off"}), notFound);
    expectFailure(bundle.run({"--login", "on"}),
                  "login on com.example.acme.plist failed: no property list com.example.acme.plist in " + agentsFolder(bundle) + "\n");
    EXPECT_FALSE(fs::exists(bundle.home() + "/.config"));
    EXPECT_FALSE(fs::exists(bundle.home() + "/Library"));

    // The same agent once the bundle ships it.
    bundle.writeLaunchAgent("com.example.acme.plist", agentRunning({"/usr/bin/acme"}));
    const std::string enabled = answer("on", "enabled", {row("com.example.acme.plist", "enabled")});
    expectAnswer(bundle.run({"--login", "on"}), enabled);
    expectAnswer(bundle.run({"--login", "status"}), enabled);
    EXPECT_TRUE(fs::exists(entryOf(bundle, "com.example.acme.plist")));
}

TEST(LoginCommand, AgentsGoInNameOrderAndOtherFilesAreIgnored)
{
    fixture::Bundle bundle;
    prepare(bundle, {"b.plist", "a.plist"});
    bundle.writeFile("Contents/Library/LaunchAgents/notes.txt", "not an agent\n");

    const std::string on = answer("on", "enabled", {row("a.plist", "enabled"), row("b.plist", "enabled")});
    const std::string off = answer("off", "notRegistered", {row("a.plist", "notRegistered"), row("b.plist", "notRegistered")});
    expectAnswer(bundle.run({"--login", "status"}), off);
    expectAnswer(bundle.run({"--login", "on"}), on);
    expectAnswer(bundle.run({"--login", "status"}), on);

    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(autostartIn(bundle)))
        entries.push_back(entry.path().filename());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"com.example.acme-a.desktop", "com.example.acme-b.desktop"}));
    EXPECT_EQ(textOf(entryOf(bundle, "a.plist")), "[Desktop Entry]\n"
                                                  "Type=Application\n"
                                                  "Name=Acme\n"
                                                  "Exec=/usr/bin/a --at-login\n"
                                                  "X-Kestrune-Bundle=" + bundle.path() + "\n"
                                                  "X-Kestrune-Agent=a.plist\n");

    // Registering again rewrites the one entry, following the agent's command.
    bundle.writeLaunchAgent("b.plist", agentRunning({"/opt/b/bin/helper", "--new"}));
    expectAnswer(bundle.run({"--login", "on"}), on);
    EXPECT_EQ(lineOf(entryOf(bundle, "b.plist"), "Exec"), "Exec=/opt/b/bin/helper --new");
    EXPECT_EQ(std::distance(fs::directory_iterator(autostartIn(bundle)), fs::directory_iterator()), 2);

    expectAnswer(bundle.run({"--login", "off"}), off);
    EXPECT_TRUE(fs::is_empty(autostartIn(bundle)));
    // Unregistering what is not registered is no error.
    expectAnswer(bundle.run({"--login", "off"}), off);
}

TEST(LoginCommand, TheCommandComesFromProgramArgumentsOrProgram)
{
    struct Case {
        nlohmann::json plist;
        std::string exec;
    };
    const Case cases[] = {
        {{{"ProgramArguments", {"/usr/bin/helper"}}}, "Exec=/usr/bin/helper"},
        {{{"Program", "/usr/bin/helper"}}, "Exec=/usr/bin/helper"},
        {{{"Program", "/usr/bin/helper"}, {"ProgramArguments", {"helper-name", "--x", "y"}}}, "Exec=/usr/bin/helper --x y"},
        {{{"Program", 12}, {"ProgramArguments", {"/usr/bin/helper", "--x"}}}, "Exec=/usr/bin/helper --x"},
        {{{"Program", "/usr/bin/helper"}, {"ProgramArguments", "not a list"}}, "Exec=/usr/bin/helper"},
        {{{"ProgramArguments", {"/opt/My Tools/helper", "50%", "say \"hi\"", "$HOME", "back\\slash", ""}}},
         R"(Exec="/opt/My Tools/helper" 50%% "say \\"hi\\"" "\\$HOME" "back\\\\slash" "")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exec);
        fixture::Bundle bundle;
        prepare(bundle, {});
        bundle.writeLaunchAgent("a.plist", c.plist);
        expectAnswer(bundle.run({"--login", "on"}), answer("on", "enabled", {row("a.plist", "enabled")}));
        EXPECT_EQ(lineOf(entryOf(bundle, "a.plist"), "Exec"), c.exec);
    }
}

TEST(LoginCommand, ADesktopStartsTheAgentWithExactlyItsArguments)
{
    const std::string gio = "/usr/bin/gio";
    if (access(gio.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no " << gio << " to launch the entry as a desktop would";
    fixture::Bundle bundle;
    prepare(bundle, {});
    const std::string program = bundle.root() + "/My Tools/test shell";
    fs::create_directories(bundle.root() + "/My Tools");
    fs::copy_file(fixture::testShell(), program);
    const std::string record = bundle.root() + "/agent.json";
    const std::vector<std::string> arguments = {
        "ts:record=" + record, "plain", "two words", "", "100%", "%u", "say \"hi\"", "back\\slash", "$HOME", "`id`",
        "tab\there", "new\nline", "semi;colon", "it's", "~", "a>b<c|d&e*f?g#h(i)", " lead", "trail ", "ünïcode", "k=v",
    };
    std::vector<std::string> command = {program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    bundle.writeLaunchAgent("a.plist", agentRunning(command));
    expectAnswer(bundle.run({"--login", "on"}), answer("on", "enabled", {row("a.plist", "enabled")}));

    fixture::RunOptions options;
    options.arguments = {"launch", entryOf(bundle, "a.plist")};
    auto launched = fixture::runProgram(gio, options, bundle.home());
    ASSERT_EQ(launched.status, 0) << launched.err;
    auto recorded = fixture::readRecord(record);
    ASSERT_TRUE(recorded);
    EXPECT_EQ((*recorded)["args"], nlohmann::json(arguments));
}

TEST(LoginCommand, StatusNeverChangesAnything)
{
    fixture::Bundle bundle;
    prepare(bundle, {"a.plist", "b.plist", "c.plist", "d.plist"});
    const std::string before = answer("off", "notRegistered",
                                      {row("a.plist", "notRegistered"), row("b.plist", "notRegistered"),
                                       row("c.plist", "notRegistered"), row("d.plist", "notRegistered")});
    // Nothing registered and no autostart folder: status makes none.
    expectAnswer(bundle.run({"--login", "status"}), before);
    EXPECT_FALSE(fs::exists(bundle.home() + "/.config"));

    expectAnswer(bundle.run({"--login", "on"}), answer("on", "enabled",
                                                       {row("a.plist", "enabled"), row("b.plist", "enabled"),
                                                        row("c.plist", "enabled"), row("d.plist", "enabled")}));
    append(entryOf(bundle, "b.plist"), "Hidden=true\n");
    replaceLine(entryOf(bundle, "c.plist"), "X-Kestrune-Bundle=", "X-Kestrune-Bundle=/elsewhere/Acme.app");
    fs::remove(entryOf(bundle, "d.plist"));
    // A folder with a property list's name is listed but holds no agent.
    fs::remove(agentsFolder(bundle) + "/a.plist");
    fs::create_directories(agentsFolder(bundle) + "/a.plist");
    bundle.writeLaunchAgent("e.plist", agentRunning({"/usr/bin/e"}));
    std::ofstream(autostartIn(bundle) + "/someone-else.desktop") << "[Desktop Entry]\nExec=/usr/bin/other\n";

    const std::string mixed = answer("off", "notFound",
                                     {row("a.plist", "notFound"), row("b.plist", "requiresApproval"),
                                      row("c.plist", "notRegistered"), row("d.plist", "notRegistered"),
                                      row("e.plist", "notRegistered")});
    auto files = snapshotOf(bundle.root());
    expectAnswer(bundle.run({"--login", "status"}), mixed);
    expectAnswer(bundle.run({"--login", "status"}), mixed);
    EXPECT_EQ(snapshotOf(bundle.root()), files);
}

TEST(LoginCommand, AnEntryTheUserSwitchedOffRequiresApprovalAndStaysOff)
{
    struct Case {
        std::string added;
        std::string status;   // with the line added
        std::string kept;     // what a new registration keeps of it
    };
    const Case cases[] = {
        {"Hidden=true", "requiresApproval", "Hidden=true"},
        {"Hidden = true", "requiresApproval", "Hidden=true"},
        {"X-GNOME-Autostart-enabled=false", "requiresApproval", "X-GNOME-Autostart-enabled=false"},
        {"X-MATE-Autostart-enabled=false", "requiresApproval", "X-MATE-Autostart-enabled=false"},
        {"Hidden=false", "enabled", ""},
        {"X-GNOME-Autostart-enabled=true", "enabled", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.added);
        fixture::Bundle bundle;
        prepare(bundle, {"com.example.acme.plist"});
        const std::string entry = entryOf(bundle, "com.example.acme.plist");
        const std::string enabled = answer("on", "enabled", {row("com.example.acme.plist", "enabled")});
        const std::string now = answer(c.status == "enabled" ? "on" : "off", c.status, {row("com.example.acme.plist", c.status)});
        expectAnswer(bundle.run({"--login", "on"}), enabled);
        append(entry, c.added + "\n");
        expectAnswer(bundle.run({"--login", "status"}), now);

        // Registering again follows the agent's new command but keeps the
        // user's choice.
        bundle.writeLaunchAgent("com.example.acme.plist", agentRunning({"/usr/bin/acme-2"}));
        expectAnswer(bundle.run({"--login", "on"}), now);
        std::string kept = c.kept.empty() ? "" : c.kept + "\n";
        EXPECT_EQ(textOf(entry), "[Desktop Entry]\n"
                                 "Type=Application\n"
                                 "Name=Acme\n"
                                 "Exec=/usr/bin/acme-2\n"
                                 "X-Kestrune-Bundle=" + bundle.path() + "\n"
                                 "X-Kestrune-Agent=com.example.acme.plist\n" + kept);

        // Turning it off in the application removes the entry; turning it on
        // again is the user's new choice.
        expectAnswer(bundle.run({"--login", "off"}), answer("off", "notRegistered", {row("com.example.acme.plist", "notRegistered")}));
        EXPECT_FALSE(fs::exists(entry));
        expectAnswer(bundle.run({"--login", "on"}), enabled);
    }
}

TEST(LoginCommand, LoginIsOnOnlyWhenEveryAgentIsEnabled)
{
    fixture::Bundle bundle;
    prepare(bundle, {"a.plist", "com.example.acme.plist", "z.plist"});
    expectAnswer(bundle.run({"--login", "on"}),
                 answer("on", "enabled", {row("a.plist", "enabled"), row("com.example.acme.plist", "enabled"), row("z.plist", "enabled")}));

    // The overall status is the agent named after the identity, not the first.
    append(entryOf(bundle, "a.plist"), "X-GNOME-Autostart-enabled=false\n");
    expectAnswer(bundle.run({"--login", "status"}),
                 answer("off", "enabled",
                        {row("a.plist", "requiresApproval"), row("com.example.acme.plist", "enabled"), row("z.plist", "enabled")}));
    fs::remove(entryOf(bundle, "com.example.acme.plist"));
    expectAnswer(bundle.run({"--login", "status"}),
                 answer("off", "notRegistered",
                        {row("a.plist", "requiresApproval"), row("com.example.acme.plist", "notRegistered"), row("z.plist", "enabled")}));

    // Without an agent named after the identity, the first one speaks.
    fixture::Bundle other;
    prepare(other, {"b.plist", "a.plist"});
    expectAnswer(other.run({"--login", "on"}), answer("on", "enabled", {row("a.plist", "enabled"), row("b.plist", "enabled")}));
    fs::remove(entryOf(other, "b.plist"));
    expectAnswer(other.run({"--login", "status"}), answer("off", "enabled", {row("a.plist", "enabled"), row("b.plist", "notRegistered")}));
    // An empty file where the entry was is no registration.
    fs::remove(entryOf(other, "a.plist"));
    append(entryOf(other, "a.plist"), "");
    expectAnswer(other.run({"--login", "status"}),
                 answer("off", "notRegistered", {row("a.plist", "notRegistered"), row("b.plist", "notRegistered")}));
}

TEST(LoginCommand, AnEntryOfAnotherCopyOfTheApplicationIsNotThisOnes)
{
    fixture::Bundle bundle;
    prepare(bundle, {"a.plist"});
    const std::string entry = entryOf(bundle, "a.plist");
    const std::string enabled = answer("on", "enabled", {row("a.plist", "enabled")});
    const std::string notRegistered = answer("off", "notRegistered", {row("a.plist", "notRegistered")});
    expectAnswer(bundle.run({"--login", "on"}), enabled);

    replaceLine(entry, "X-Kestrune-Bundle=", "X-Kestrune-Bundle=/Applications/Old Acme.app");
    expectAnswer(bundle.run({"--login", "status"}), notRegistered);
    expectAnswer(bundle.run({"--login", "on"}), enabled);
    EXPECT_EQ(lineOf(entry, "X-Kestrune-Bundle"), "X-Kestrune-Bundle=" + bundle.path());

    // "off" means the application no longer starts at login, whichever copy.
    replaceLine(entry, "X-Kestrune-Bundle=", "X-Kestrune-Bundle=/Applications/Old Acme.app");
    expectAnswer(bundle.run({"--login", "off"}), notRegistered);
    EXPECT_FALSE(fs::exists(entry));

    // An entry made by hand, without a bundle, is not registered either.
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=/usr/bin/a\n";
    expectAnswer(bundle.run({"--login", "status"}), notRegistered);
}

TEST(LoginCommand, TheAutostartFolderFollowsXdgConfigHome)
{
    struct Case {
        std::string what;
        std::function<std::string(const fixture::Bundle&)> value;   // of XDG_CONFIG_HOME
        std::function<std::string(const fixture::Bundle&)> folder;  // where the entries go
    };
    auto home = [](const fixture::Bundle& bundle) { return autostartIn(bundle); };
    const Case cases[] = {
        {"absolute", [](const fixture::Bundle& bundle) { return bundle.root() + "/config"; },
         [](const fixture::Bundle& bundle) { return bundle.root() + "/config/autostart"; }},
        {"with a trailing slash", [](const fixture::Bundle& bundle) { return bundle.root() + "/config/"; },
         [](const fixture::Bundle& bundle) { return bundle.root() + "/config/autostart"; }},
        {"relative, so ignored", [](const fixture::Bundle&) { return std::string("config"); }, home},
        {"empty, so ignored", [](const fixture::Bundle&) { return std::string(); }, home},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::Bundle bundle;
        prepare(bundle, {"a.plist"});
        fixture::RunOptions options;
        options.environment["XDG_CONFIG_HOME"] = c.value(bundle);
        options.workingDirectory = bundle.root();
        const std::string enabled = answer("on", "enabled", {row("a.plist", "enabled")});
        options.arguments = {"--login", "on"};
        expectAnswer(bundle.run(options), enabled);
        EXPECT_TRUE(fs::is_regular_file(entryIn(c.folder(bundle), "a.plist")));
        EXPECT_EQ(fs::exists(bundle.home() + "/.config"), c.folder(bundle) == home(bundle));
        EXPECT_FALSE(fs::exists(bundle.root() + "/config") && c.folder(bundle) == home(bundle));

        options.arguments = {"--login", "status"};
        expectAnswer(bundle.run(options), enabled);
        // Without the variable the entry is elsewhere or the same one.
        auto plain = bundle.run({"--login", "status"});
        EXPECT_EQ(plain.out, c.folder(bundle) == home(bundle) ? enabled : answer("off", "notRegistered", {row("a.plist", "notRegistered")}));
    }
}

TEST(LoginCommand, FailuresNameTheAgentAndTheReason)
{
    struct Case {
        std::string what;
        std::string verb;
        std::function<void(fixture::Bundle&)> setUp;
        std::function<std::string(const fixture::Bundle&)> err;
        std::function<std::string(const fixture::Bundle&)> configHome = nullptr;
    };
    auto failing = [](const std::string& text) { return [text](const fixture::Bundle&) { return text; }; };
    const Case cases[] = {
        {"property list missing", "on", [](fixture::Bundle&) {},
         [](const fixture::Bundle& bundle) {
             return "login on com.example.acme.plist failed: no property list com.example.acme.plist in " + agentsFolder(bundle) + "\n";
         }},
        {"property list is a folder", "on", [](fixture::Bundle& bundle) { fs::create_directories(agentsFolder(bundle) + "/a.plist"); },
         [](const fixture::Bundle& bundle) { return "login on a.plist failed: no property list a.plist in " + agentsFolder(bundle) + "\n"; }},
        {"not a property list", "on", [](fixture::Bundle& bundle) { bundle.writeFile("Contents/Library/LaunchAgents/a.plist", "not a plist {"); },
         failing("login on a.plist failed: a.plist is not a property list\n")},
        {"not a dictionary", "on", [](fixture::Bundle& bundle) { bundle.writeLaunchAgent("a.plist", nlohmann::json::array({"/usr/bin/a"})); },
         failing("login on a.plist failed: a.plist does not hold a dictionary\n")},
        {"no command", "on", [](fixture::Bundle& bundle) { bundle.writeLaunchAgent("a.plist", {{"Label", "a"}}); },
         failing("login on a.plist failed: a.plist has neither ProgramArguments nor Program\n")},
        {"arguments not a list", "on", [](fixture::Bundle& bundle) { bundle.writeLaunchAgent("a.plist", {{"ProgramArguments", "/usr/bin/a"}}); },
         failing("login on a.plist failed: a.plist has neither ProgramArguments nor Program\n")},
        {"arguments not texts", "on", [](fixture::Bundle& bundle) { bundle.writeLaunchAgent("a.plist", {{"ProgramArguments", {"/usr/bin/a", 2}}}); },
         failing("login on a.plist failed: a.plist has neither ProgramArguments nor Program\n")},
        {"both empty", "on",
         [](fixture::Bundle& bundle) { bundle.writeLaunchAgent("a.plist", {{"ProgramArguments", nlohmann::json::array()}, {"Program", ""}}); },
         failing("login on a.plist failed: a.plist has neither ProgramArguments nor Program\n")},
        {"empty program", "on", [](fixture::Bundle& bundle) { bundle.writeLaunchAgent("a.plist", agentRunning({"", "--x"})); },
         failing("login on a.plist failed: a.plist names an empty program\n")},
        {"equals sign in the program", "on", [](fixture::Bundle& bundle) { bundle.writeLaunchAgent("a.plist", {{"Program", "/opt/a=b/helper"}}); },
         failing("login on a.plist failed: a.plist names the program /opt/a=b/helper, which an autostart entry cannot start because of the \"=\" in it\n")},
        {"autostart folder blocked by a file", "on",
         [](fixture::Bundle& bundle) {
             bundle.writeLaunchAgent("a.plist", agentRunning({"/usr/bin/a"}));
             std::ofstream(bundle.root() + "/blocker") << "a file\n";
         },
         [](const fixture::Bundle& bundle) {
             return "login on a.plist failed: cannot create the autostart folder " + bundle.root() + "/blocker/autostart: Not a directory\n";
         },
         [](const fixture::Bundle& bundle) { return bundle.root() + "/blocker"; }},
        {"entry is a folder", "on",
         [](fixture::Bundle& bundle) {
             bundle.writeLaunchAgent("a.plist", agentRunning({"/usr/bin/a"}));
             fs::create_directories(entryOf(bundle, "a.plist") + "/inside");
         },
         [](const fixture::Bundle& bundle) { return "login on a.plist failed: cannot write " + entryOf(bundle, "a.plist") + ": Is a directory\n"; }},
        {"entry cannot be removed", "off",
         [](fixture::Bundle& bundle) {
             bundle.writeLaunchAgent("a.plist", agentRunning({"/usr/bin/a"}));
             fs::create_directories(entryOf(bundle, "a.plist") + "/inside");
         },
         [](const fixture::Bundle& bundle) { return "login off a.plist failed: cannot remove " + entryOf(bundle, "a.plist") + ": Is a directory\n"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::Bundle bundle;
        prepare(bundle, {});
        c.setUp(bundle);
        fixture::RunOptions options;
        options.arguments = {"--login", c.verb};
        if (c.configHome)
            options.environment["XDG_CONFIG_HOME"] = c.configHome(bundle);
        expectFailure(bundle.run(options), c.err(bundle));
    }
}

TEST(LoginCommand, AFailureMidwayStopsThereAndKeepsTheAgentsBefore)
{
    fixture::Bundle bundle;
    prepare(bundle, {"a.plist", "c.plist"});
    bundle.writeLaunchAgent("b.plist", {{"Label", "b"}});
    expectFailure(bundle.run({"--login", "on"}), "login on b.plist failed: b.plist has neither ProgramArguments nor Program\n");
    EXPECT_TRUE(fs::exists(entryOf(bundle, "a.plist")));
    EXPECT_FALSE(fs::exists(entryOf(bundle, "b.plist")));
    EXPECT_FALSE(fs::exists(entryOf(bundle, "c.plist")));
    expectAnswer(bundle.run({"--login", "status"}),
                 answer("off", "enabled", {row("a.plist", "enabled"), row("b.plist", "notRegistered"), row("c.plist", "notRegistered")}));

    // The same for "off": c stays registered behind the failing b.
    bundle.writeLaunchAgent("b.plist", agentRunning({"/usr/bin/b"}));
    expectAnswer(bundle.run({"--login", "on"}),
                 answer("on", "enabled", {row("a.plist", "enabled"), row("b.plist", "enabled"), row("c.plist", "enabled")}));
    fs::remove(entryOf(bundle, "b.plist"));
    fs::create_directories(entryOf(bundle, "b.plist") + "/inside");
    expectFailure(bundle.run({"--login", "off"}), "login off b.plist failed: cannot remove " + entryOf(bundle, "b.plist") + ": Is a directory\n");
    EXPECT_FALSE(fs::exists(entryOf(bundle, "a.plist")));
    EXPECT_TRUE(fs::exists(entryOf(bundle, "c.plist")));
}
