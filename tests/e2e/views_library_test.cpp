// The views library as the host uses it: loaded with dlopen in this process
// and called by name, reporting to a desktop server that the test starts,
// and handing what the user does in a panel to the callback the panel got.
#include "support/desktop_server.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using fixture::DesktopServer;
using fixture::ProtocolPeer;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

using Act = void (*)(const char*);
using Open = void (*)(const char*, Act);
using Update = void (*)(const char*);
using Close = void (*)();
using StartUpdater = int32_t (*)(const char*);
using CheckForUpdates = int32_t (*)();

// The library loaded once for the process, as the host loads it.
void* library()
{
    static void* handle = dlopen(KESTRUNE_VIEWS_LIBRARY, RTLD_NOW);
    return handle;
}

// An entry point by name, failing the test when it is not exported.
template <typename F>
F entry(const std::string& name)
{
    void* symbol = library() ? dlsym(library(), name.c_str()) : nullptr;
    EXPECT_NE(symbol, nullptr) << name << ": " << (library() ? "not exported" : dlerror());
    return reinterpret_cast<F>(symbol);
}

// One call of a panel's entry point, as the host makes it for the shell.
struct Call {
    std::string panel;
    std::string call;   // prepare, open, update or close
    std::string look;
    Act act = nullptr;
};

void make(const Call& call)
{
    std::string name = call.panel + "_" + call.call;
    if (call.call == "prepare" || call.call == "open") {
        if (auto function = entry<Open>(name))
            function(call.look.c_str(), call.act);
    } else if (call.call == "update") {
        if (auto function = entry<Update>(name))
            function(call.look.c_str());
    } else if (auto function = entry<Close>(name)) {
        function();
    }
}

// What the action callbacks heard, and on which thread.
struct Heard {
    std::string callback;
    std::optional<std::string> text;
    std::thread::id thread;
};
std::mutex heardMutex;
std::condition_variable heardChanged;
std::vector<Heard> heard;

void hear(const char* callback, const char* text)
{
    std::lock_guard lock(heardMutex);
    heard.push_back({callback, text ? std::optional<std::string>(text) : std::nullopt, std::this_thread::get_id()});
    heardChanged.notify_all();
}
void firstAct(const char* text) { hear("first", text); }
void secondAct(const char* text) { hear("second", text); }

// The next thing a callback heard.
std::optional<Heard> nextHeard()
{
    std::unique_lock lock(heardMutex);
    if (!heardChanged.wait_for(lock, 10s, [] { return !heard.empty(); }))
        return std::nullopt;
    Heard first = heard.front();
    heard.erase(heard.begin());
    return first;
}

// Sets environment variables for one test, putting back what was there.
class Environment {
public:
    void set(const std::string& name, const std::optional<std::string>& value)
    {
        if (!saved_.count(name)) {
            const char* was = std::getenv(name.c_str());
            saved_[name] = was ? std::optional<std::string>(was) : std::nullopt;
        }
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    ~Environment()
    {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

json outputOf(const fixture::Run& run)
{
    auto parsed = json::parse(run.out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << run.out << run.err;
    return parsed;
}

// Of a state: the views library of this process when no host has its pid.
json libraryAlone(const json& state, pid_t pid)
{
    for (const auto& library : state.value("viewsLibraries", json::array())) {
        if (library["pid"] == pid)
            return library;
    }
    return nullptr;
}

const std::string pidText = std::to_string(getpid());

} // namespace

TEST(ViewsLibrary, CallsReachTheServerInOrderAndTheUserActsThroughTheCallbackAPanelGotLast)
{
    ASSERT_NE(library(), nullptr) << dlerror();
    DesktopServer server;
    Environment environment;
    environment.set("KESTRUNE_DESKTOP_SOCKET", server.socket());
    environment.set("KESTRUNE_VIEWS_START_CODE", std::nullopt);
    environment.set("KESTRUNE_VIEWS_CHECK_CODE", std::nullopt);

    // A look that is not UTF-8 reaches the server repaired, and what
    // follows it still arrives.
    const std::vector<Call> calls = {
        {"settings", "prepare", R"({"tab":"general"})", firstAct},
        {"settings", "open", R"({"tab":"general","title":"Réglages ✓"})", secondAct},
        {"about", "prepare", "\xff\xfe about \xc3", firstAct},
        {"welcome", "open", "{}", firstAct},
        {"settings", "update", R"({"tab":"advanced"})"},
        {"welcome", "close", ""},
        {"about", "update", "about"},
    };
    for (const auto& call : calls)
        make(call);
    auto start = entry<StartUpdater>("kestrune_start_updater");
    auto check = entry<CheckForUpdates>("kestrune_check_for_updates");
    ASSERT_TRUE(start && check);
    EXPECT_EQ(start("https://example.com/appcast.xml"), 0);
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(check(), 0);

    // No host has this process's id: the library is listed on its own.
    auto state = server.waitFor([](const json& state) {
        json alone = libraryAlone(state, getpid());
        return !alone.is_null() && alone["updater"]["checks"] == 2;
    });
    ASSERT_TRUE(state) << server.state().dump();
    json alone = libraryAlone(*state, getpid());
    EXPECT_TRUE(alone["connected"].get<bool>());
    json expectedPanels = json::parse(R"([
        {"name":"settings","state":"open","look":"{\"tab\":\"advanced\"}",
         "calls":[{"call":"prepare","look":"{\"tab\":\"general\"}"},
                  {"call":"open","look":"{\"tab\":\"general\",\"title\":\"Réglages ✓\"}"},
                  {"call":"update","look":"{\"tab\":\"advanced\"}"}]},
        {"name":"about","state":"prepared","look":"about",
         "calls":[{"call":"prepare","look":"\ufffd\ufffd about \ufffd"},{"call":"update","look":"about"}]},
        {"name":"welcome","state":"closed","look":"{}",
         "calls":[{"call":"open","look":"{}"},{"call":"close"}]}
    ])");
    EXPECT_EQ(alone["panels"], expectedPanels);
    EXPECT_EQ(alone["updater"],
              (json{{"start", {{"feed", "https://example.com/appcast.xml"}, {"code", 0}}}, {"starts", 1}, {"checks", 2}, {"checkCode", 0}}));

    // The log has every call, in the order they were made.
    std::vector<std::string> logged;
    for (const auto& entry : server.log()) {
        if (entry.value("from", "") == "views")
            logged.push_back(entry["request"].value("panel", "updater") + " " + entry["request"]["call"].get<std::string>());
    }
    EXPECT_EQ(logged, (std::vector<std::string>{"settings prepare", "settings open", "about prepare", "welcome open", "settings update",
                                                "welcome close", "about update", "updater start", "updater check", "updater check"}));

    // The user acts: the callback the panel got last hears it, on a thread
    // of the library's own.
    struct Acting {
        std::vector<std::string> arguments;
        std::string callback;
        std::string text;
    };
    const std::vector<Acting> acts = {
        {{"act", "settings", "save ✓"}, "second", "save ✓"},
        {{"act", "--host", pidText, "about", "{\"link\":\"licence\"}"}, "first", "{\"link\":\"licence\"}"},
    };
    for (const auto& acting : acts) {
        SCOPED_TRACE(json(acting.arguments).dump());
        auto run = server.client(acting.arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(outputOf(run), (json{{"sent", true}, {"pid", getpid()}, {"panel", acting.arguments[acting.arguments.size() - 2]}}));
        auto got = nextHeard();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->callback, acting.callback);
        EXPECT_EQ(got->text, acting.text);
        EXPECT_NE(got->thread, std::this_thread::get_id());
    }

    // Acts the user cannot make are refused, and nothing is heard.
    struct Refused {
        std::vector<std::string> arguments;
        std::string error;
    };
    const std::vector<Refused> refusals = {
        {{"act", "welcome", "x"}, "kestrune-desktop: the views library of process " + pidText
                                      + " has no panel \"welcome\" open or prepared (it is closed)\n"},
        {{"act", "preferences", "x"}, "kestrune-desktop: the views library of process " + pidText
                                          + " has no panel \"preferences\" open or prepared\n"},
        {{"act", "--host", "900000123", "settings", "x"}, "kestrune-desktop: process 900000123 has no views library connected\n"},
        {{"views", "--host", "Nobody"}, "kestrune-desktop: no application \"Nobody\"\n"},
    };
    for (const auto& refused : refusals) {
        SCOPED_TRACE(json(refused.arguments).dump());
        auto run = server.client(refused.arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, refused.error);
    }

    // Once a host with this process id is in the session, the library's
    // record is part of the host's, and the host is named by its bundle.
    ProtocolPeer host(server.socket());
    ASSERT_TRUE(host.helloAs("host", getpid(), "com.example.acme"));
    state = server.state();
    json record = DesktopServer::hostIn(*state, getpid());
    EXPECT_EQ(record["viewPanels"], expectedPanels);
    EXPECT_EQ(record["updater"], alone["updater"]);
    EXPECT_TRUE(libraryAlone(*state, getpid()).is_null());
    auto listed = server.client({"views", "--host", "com.example.acme"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(outputOf(listed)["panels"], expectedPanels);
    ASSERT_EQ(server.client({"act", "--host", "com.example.acme", "settings", "close"}).status, 0);
    auto got = nextHeard();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->text, "close");

    std::lock_guard lock(heardMutex);
    EXPECT_TRUE(heard.empty()) << heard.size() << " more than acted";
}

TEST(ViewsLibrary, TheUpdaterCodesAreTheEnvironmentsAndReported)
{
    ASSERT_NE(library(), nullptr) << dlerror();
    DesktopServer server;
    Environment environment;
    environment.set("KESTRUNE_DESKTOP_SOCKET", server.socket());
    auto start = entry<StartUpdater>("kestrune_start_updater");
    auto check = entry<CheckForUpdates>("kestrune_check_for_updates");
    ASSERT_TRUE(start && check);

    struct Case {
        std::optional<std::string> startVariable, checkVariable;
        const char* feed;
        int32_t startCode, checkCode;
    };
    // A value that is not a whole 32-bit number counts as none.
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, "https://example.com/a.xml", 0, 0},
        {"7", "-3", "https://example.com/b.xml", 7, -3},
        {"2147483647", "-2147483648", nullptr, 2147483647, -2147483648},
        {"2147483648", "12abc", "", 0, 0},
    };
    int64_t made = 0;
    for (const auto& test : cases) {
        SCOPED_TRACE(made);
        environment.set("KESTRUNE_VIEWS_START_CODE", test.startVariable);
        environment.set("KESTRUNE_VIEWS_CHECK_CODE", test.checkVariable);
        EXPECT_EQ(start(test.feed), test.startCode);
        EXPECT_EQ(check(), test.checkCode);
        ++made;
        auto state = server.waitFor([&](const json& state) {
            json alone = libraryAlone(state, getpid());
            return !alone.is_null() && alone["updater"]["checks"] == made;
        });
        ASSERT_TRUE(state);
        json updater = libraryAlone(*state, getpid())["updater"];
        EXPECT_EQ(updater["start"], (json{{"feed", test.feed ? json(test.feed) : json(nullptr)}, {"code", test.startCode}}));
        EXPECT_EQ(updater["checkCode"], test.checkCode);
        EXPECT_EQ(updater["starts"], made);
    }
}

TEST(ViewsLibrary, WithoutAServerEveryEntryPointReturnsAndTheNextServerHearsWhatFollows)
{
    ASSERT_NE(library(), nullptr) << dlerror();
    Environment environment;
    environment.set("KESTRUNE_VIEWS_START_CODE", "5");
    environment.set("KESTRUNE_VIEWS_CHECK_CODE", std::nullopt);
    auto start = entry<StartUpdater>("kestrune_start_updater");
    auto check = entry<CheckForUpdates>("kestrune_check_for_updates");
    ASSERT_TRUE(start && check);

    // Every entry point, a null callback and feed among them.
    auto everyCall = [&] {
        for (const char* panel : {"settings", "about", "welcome"}) {
            make({panel, "prepare", "{}", firstAct});
            make({panel, "open", "{}", nullptr});
            make({panel, "update", "{\"n\":1}"});
            make({panel, "close", ""});
        }
        EXPECT_EQ(start(nullptr), 5);
        EXPECT_EQ(check(), 0);
    };
    auto gone = std::make_unique<DesktopServer>();
    const std::vector<std::optional<std::string>> noServer = {
        std::nullopt,
        "",
        "/tmp/kestrune-views-no-such-folder/desktop.sock",
        "/tmp/" + std::string(200, 's'),   // longer than a socket path can be
        gone->socket(),                    // a server that is killed below
    };
    for (const auto& socket : noServer) {
        SCOPED_TRACE(socket.value_or("(unset)"));
        environment.set("KESTRUNE_DESKTOP_SOCKET", socket);
        everyCall();
        if (socket == gone->socket())
            gone->kill();
        everyCall();
    }

    DesktopServer server;
    environment.set("KESTRUNE_DESKTOP_SOCKET", server.socket());
    make({"welcome", "open", "again", secondAct});
    auto state = server.waitFor([](const json& state) { return !libraryAlone(state, getpid()).is_null(); });
    ASSERT_TRUE(state);
    EXPECT_EQ(libraryAlone(*state, getpid())["panels"],
              json::parse(R"([{"name":"welcome","state":"open","look":"again","calls":[{"call":"open","look":"again"}]}])"));
    ASSERT_EQ(server.client({"act", "welcome", "hi"}).status, 0);
    auto got = nextHeard();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->callback, "second");
    EXPECT_EQ(got->text, "hi");
}

TEST(ViewsLibrary, TheServerRefusesWhatAViewsPeerCannotSay)
{
    DesktopServer server;
    // Before any library connects, the commands say so.
    for (const auto& arguments : {std::vector<std::string>{"views"}, std::vector<std::string>{"act", "settings", "x"}}) {
        auto run = server.client(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "kestrune-desktop: no views library is connected\n");
    }

    ProtocolPeer views(server.socket());
    auto welcome = views.helloAs("views", 700072, "");
    ASSERT_TRUE(welcome && welcome->value("ok", false)) << (welcome ? welcome->dump() : "no answer");
    // A second library of the same process is refused while the first is connected.
    ProtocolPeer again(server.socket());
    auto refused = again.helloAs("views", 700072, "");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["error"], "process 700072 has a views library connected already (connection " + std::to_string((*welcome)["connection"].get<int>()) + ")");

    const std::string callRefusal =
        "a views call needs \"panel\", a \"call\" (prepare, open, update or close) and, but for close, a \"look\" string";
    const std::string updaterRefusal =
        "an updater call needs \"call\" (start or check), a 32-bit \"code\" and, to start, a \"feed\" string or null";
    struct Case {
        json request;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{{"op", "viewsCall"}, {"call", "open"}, {"look", "{}"}}, callRefusal},
        {{{"op", "viewsCall"}, {"panel", ""}, {"call", "open"}, {"look", "{}"}}, callRefusal},
        {{{"op", "viewsCall"}, {"panel", "settings"}, {"call", "show"}, {"look", "{}"}}, callRefusal},
        {{{"op", "viewsCall"}, {"panel", "settings"}, {"call", "update"}}, callRefusal},
        {{{"op", "viewsCall"}, {"panel", "settings"}, {"call", "open"}, {"look", 3}}, callRefusal},
        {{{"op", "viewsUpdater"}, {"call", "start"}, {"code", 0}}, updaterRefusal},
        {{{"op", "viewsUpdater"}, {"call", "check"}, {"code", int64_t(1) << 31}}, updaterRefusal},
        {{{"op", "viewsUpdater"}, {"call", "stop"}, {"code", 0}}, updaterRefusal},
        // A library speaks for a host, but is none.
        {{{"op", "panel"}, {"panel", 1}}, "\"panel\" is not for a views"},
        {{{"op", "state"}}, "\"state\" is not for a views"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.request.dump());
        auto reply = views.request(test.request);
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["error"], test.error);
    }
    // Nothing refused was kept, and the connection goes on.
    ASSERT_TRUE(views.request({{"op", "viewsCall"}, {"panel", "about"}, {"call", "close"}}).value_or(json())["ok"] == true);
    auto listed = server.client({"views"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(outputOf(listed), json::parse(R"({"pid":700072,"connection":)" + (*welcome)["connection"].dump() + R"(,"connected":true,
        "panels":[{"name":"about","state":"closed","look":"","calls":[{"call":"close"}]}],
        "updater":{"start":null,"starts":0,"checks":0,"checkCode":null}})"));
    // A host cannot say what its library says.
    ProtocolPeer host(server.socket());
    ASSERT_TRUE(host.helloAs("host", 700073, "com.example.acme"));
    EXPECT_EQ(host.request({{"op", "viewsCall"}, {"panel", "about"}, {"call", "close"}}).value_or(json())["error"],
              "\"viewsCall\" is not for a host");

    // Once the library is gone, what it reported stays, and acts are refused.
    views.close();
    auto state = server.waitFor([](const json& state) {
        for (const auto& library : state["viewsLibraries"])
            return !library["connected"].get<bool>();
        return false;
    });
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["viewsLibraries"][0]["panels"].size(), 1u);
    auto act = server.client({"act", "--host", "700072", "about", "x"});
    EXPECT_EQ(act.status, 1);
    EXPECT_EQ(act.err, "kestrune-desktop: the views library of process 700072 is no longer connected\n");
}
