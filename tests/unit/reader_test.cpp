#include "channel/reader.h"
#include "overlays/badge.h"

#include "main_loop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <thread>
#include <cstdio>
#include <unistd.h>

using namespace kestrune::channel;
using nlohmann::json;

namespace {

// A request written as the message that would ask for it, from what its
// owner reads in its line.
json described(const ChildRequest& request)
{
    auto optional = [](const auto& value) { return value ? json(*value) : json(nullptr); };
    auto member = [&](const char* key) { return json{{key, json::parse(request.line)[key]}}; };
    switch (request.route) {
    case Route::panel: return member("panel");
    case Route::hotKeys: return member("hotkeys");
    case Route::appsWatch: return json{{"watch", "apps"}};
    case Route::menu: return member("menu");
    case Route::popUp: return json{{"popUp", true}};
    case Route::badge: {
        auto badge = kestrune::overlays::badgeOf(member("badge"));
        return badge ? json{{"badge", {{"pid", badge->pid}, {"text", badge->text}, {"ms", badge->ms}}}} : json("no badge");
    }
    case Route::repliesAnnounced: return json{{"focus", "replies"}};
    case Route::urlReply: {
        auto reply = urlReplyOf(request.line);
        return reply ? json{{"url", reply->url}, {"focus", optional(reply->focus)}, {"panel", optional(reply->panel)}} : json("no reply");
    }
    }
    return nullptr;
}

struct Switches {
    bool panel = false, hotKeys = false, menu = false;
};

// A reader whose copies go to a file and whose requests are kept in order.
class Reader {
public:
    explicit Reader(std::size_t longestMessage = LONGEST_CHILD_MESSAGE)
        : file_(std::tmpfile())
        , output_(fileno(file_), [this](ChildRequests&& batch) {
            ++batches;
            for (std::size_t i = 0; i < batch.size(); ++i)
                requests.push_back(described(batch[i]));
        }, longestMessage)
    {
    }
    ~Reader() { std::fclose(file_); }
    ChildOutput& output() { return output_; }
    std::string copied()
    {
        std::string bytes;
        char buffer[65536];
        for (off_t at = 0;;) {
            ssize_t got = pread(fileno(file_), buffer, sizeof buffer, at);
            if (got <= 0)
                return bytes;
            bytes.append(buffer, static_cast<std::size_t>(got));
            at += got;
        }
    }
    json requests = json::array();
    int batches = 0;

private:
    std::FILE* file_;
    ChildOutput output_;
};

class ShellOutputRouting : public ::testing::Test {
protected:
    void set(Switches switches)
    {
        setTheRoutingSwitches({
            .hostsTheChildsPanel = switches.panel,
            .childOwnsHotKeys = switches.hotKeys,
            .drawsTheChildsMenu = switches.menu,
            .makesABadge = [](const json& message) { return kestrune::overlays::badgeOf(message).has_value(); },
        });
    }
    void TearDown() override { set({}); }
};

struct RoutingCase {
    std::string line;
    Switches switches;
    json requests;   // what the owners are handed
    bool copied;     // whether the line also reaches standard output
};

} // namespace

TEST_F(ShellOutputRouting, EachLineMeetsTheChecksInOrder)
{
    const Switches none, panel{true, false, false}, hotKeys{false, true, false}, menu{false, false, true};
    const Switches all{true, true, true};
    const RoutingCase cases[] = {
        // The panel host, only when it hosts the shell's panels.
        {R"({"panel":{"id":3,"views":[1,"two",null]}})", panel, json::parse(R"([{"panel":{"id":3,"views":[1,"two",null]}}])"), false},
        {R"({"panel":{"id":3}})", none, json::array(), true},
        {R"({"panel":[1]})", panel, json::array(), true},
        // The shell's hot keys: an array of objects.
        {R"({"hotkeys":[{"key":"cmd+k"},{}]})", hotKeys, json::parse(R"([{"hotkeys":[{"key":"cmd+k"},{}]}])"), false},
        {R"({"hotkeys":"none"})", hotKeys, json::array(), true},
        {R"({"hotkeys":[{"key":"cmd+k"},1]})", hotKeys, json::array(), true},
        {R"({"hotkeys":[]})", none, json::array(), true},
        // The apps watch: exactly one key.
        {R"({"watch":"apps"})", none, json::parse(R"([{"watch":"apps"}])"), false},
        {R"(  {"watch" : "apps"}	)", none, json::parse(R"([{"watch":"apps"}])"), false},
        {"{\"watch\":\"apps\"}\r", none, json::parse(R"([{"watch":"apps"}])"), false},
        {R"({"watch":"apps","watch":"apps"})", none, json::parse(R"([{"watch":"apps"}])"), false},
        {R"({"watch":"apps","x":1})", none, json::array(), true},
        {R"({"watch":"Apps"})", none, json::array(), true},
        {R"({"watch":["apps"]})", none, json::array(), true},
        // The menu owner, only when the shell draws the menu.
        {R"({"menu":[{"title":"caf\u00e9","n":1.5,"k":[true,null],"big":18446744073709551615}]})", menu,
         json::parse(R"([{"menu":[{"title":"café","n":1.5,"k":[true,null],"big":18446744073709551615}]}])"), false},
        {R"({"menu":[]})", menu, json::parse(R"([{"menu":[]}])"), false},
        {R"({"menu":[{"title":"a"}]})", none, json::array(), true},
        {R"({"menu":[{"title":"a"},"b"]})", menu, json::array(), true},
        {R"({"popUp":true})", menu, json::parse(R"([{"popUp":true}])"), false},
        {R"({"popUp":true})", none, json::array(), true},
        {R"({"popUp":false})", menu, json::array(), true},
        {R"({"popUp":1})", menu, json::array(), true},
        {R"({"popUp":true,"menu":7})", menu, json::array(), true},
        {R"({"badge":{"pid":42,"text":"hi","ms":250}})", menu, json::parse(R"([{"badge":{"pid":42,"text":"hi","ms":250}}])"), false},
        {R"({"badge":{"pid":0,"text":"hi"}})", menu, json::array(), true},
        {R"({"badge":{"pid":42}})", none, json::array(), true},
        // A key of the wrong shape falls through to the later checks.
        {R"({"menu":5,"badge":{"pid":7}})", menu, json::parse(R"([{"badge":{"pid":7,"text":"","ms":600}}])"), false},
        {R"({"panel":"x","url":"u","result":1})", all, json::parse(R"([{"url":"u","focus":null,"panel":null}])"), true},
        {R"({"hotkeys":"x","menu":[{}]})", all, json::parse(R"([{"menu":[{}]}])"), false},
        {R"({"panel":{},"menu":[{}]})", all, json::parse(R"([{"panel":{}}])"), false},
        // Focus return: the shell says it replies, and its replies.
        {R"({"focus":"replies"})", none, json::parse(R"([{"focus":"replies"}])"), false},
        {R"({"focus":"replies","x":1})", none, json::array(), true},
        {R"({"focus":"other"})", none, json::array(), true},
        {R"({"url":"x","result":null})", none, json::parse(R"([{"url":"x","focus":null,"panel":null}])"), true},
        {R"({"url":"x","error":"no","focus":"keep","panel":7})", none, json::parse(R"([{"url":"x","focus":"keep","panel":7}])"), true},
        {R"({"url":"x","result":1,"focus":5,"panel":-2147483648})", none, json::parse(R"([{"url":"x","focus":null,"panel":-2147483648}])"), true},
        {R"({"url":"x","result":1,"panel":2147483648})", none, json::parse(R"([{"url":"x","focus":null,"panel":null}])"), true},
        {R"({"url":"x","result":1,"panel":5.0})", none, json::parse(R"([{"url":"x","focus":null,"panel":null}])"), true},
        {R"({"url":"x","result":1,"panel":"5"})", none, json::parse(R"([{"url":"x","focus":null,"panel":null}])"), true},
        {R"({"url":"x","result":123456789012345678901234567890})", none, json::parse(R"([{"url":"x","focus":null,"panel":null}])"), true},
        {R"({"url":"x"})", none, json::array(), true},
        {R"({"url":5,"result":1})", none, json::array(), true},
        // Lines that are no message at all.
        {"", none, json::array(), true},
        {"plain text", none, json::array(), true},
        {R"(["watch","apps"])", none, json::array(), true},
        {R"("text")", none, json::array(), true},
        {R"({"watch":"apps"} {})", none, json::array(), true},
        {R"({"watch":"apps")", none, json::array(), true},
        {"{\"url\":\"\xff\",\"result\":1}", none, json::array(), true},
        {R"({"url":"\ud800","result":1})", none, json::array(), true},
        {std::string(2000, '[') + std::string(2000, ']'), none, json::array(), true},
        {"{\"a\":" + std::string(2000, '[') + std::string(2000, ']') + "}", none, json::array(), true},
        {std::string("{\"watch\":\"apps\"}\0", 17), none, json::array(), true},
        // Numbers too big for the fast parser with nesting too deep for any
        // message: copied, without recursing once per level.
        {"{\"a\":123456789012345678901234567890,\"b\":" + std::string(60000, '[') + std::string(60000, ']') + "}", all,
         json::array(), true},
        {"{\"watch\":\"apps\",\"n\":123456789012345678901234567890}", none, json::array(), true},
        {"{\"url\":\"x\",\"result\":1e999999}", none, json::array(), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        set(c.switches);
        Reader reader;
        reader.output().take(c.line + "\n");
        EXPECT_EQ(reader.requests, c.requests);
        EXPECT_EQ(reader.copied(), c.copied ? c.line + "\n" : "");
        EXPECT_EQ(reader.output().pending(), "");
    }
}

TEST_F(ShellOutputRouting, LinesAreTheSameHoweverTheBytesArrive)
{
    set({false, false, true});
    const std::string stream = "first\n{\"watch\":\"apps\"}\n\n{\"menu\":[{\"title\":\"" + std::string(100000, 'x')
                               + "\"}]}\n{\"url\":\"u\",\"result\":true}\n{\"focus\":\"replies\"}\nlast\n";
    const std::string copies = "first\n\n{\"url\":\"u\",\"result\":true}\nlast\n";
    for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(4096), stream.size()}) {
        SCOPED_TRACE(piece);
        Reader reader;
        for (std::size_t at = 0; at < stream.size(); at += piece)
            reader.output().take(std::string_view(stream).substr(at, piece));
        ASSERT_EQ(reader.requests.size(), 4u);
        EXPECT_EQ(reader.requests[0], json({{"watch", "apps"}}));
        EXPECT_EQ(reader.requests[1]["menu"][0]["title"].get<std::string>().size(), 100000u);
        EXPECT_EQ(reader.requests[2]["url"], "u");
        EXPECT_EQ(reader.requests[3], json({{"focus", "replies"}}));
        EXPECT_EQ(reader.copied(), copies);
        EXPECT_EQ(reader.output().pending(), "");
    }
}

TEST_F(ShellOutputRouting, KeepsTheUnendedLineUntilItsLineFeed)
{
    Reader reader;
    reader.output().take("done\n{\"watch\":");
    EXPECT_EQ(reader.output().pending(), "{\"watch\":");
    EXPECT_EQ(reader.copied(), "done\n");
    EXPECT_EQ(reader.requests, json::array());
    reader.output().take("\"apps\"}\n{\"next\"");
    EXPECT_EQ(reader.requests, json::parse(R"([{"watch":"apps"}])"));
    EXPECT_EQ(reader.output().pending(), "{\"next\"");
    EXPECT_EQ(reader.copied(), "done\n");
}

TEST_F(ShellOutputRouting, AtTheEndALineLeftOpenIsEndedWhenOutAndDroppedWhenHeld)
{
    struct EndCase {
        const char* name;
        std::string bytes;
        std::string copied;
    };
    const EndCase cases[] = {
        {"every line ended", "kept\n", "kept\n"},
        {"console text is out already: it is ended", "kept\nopen", "kept\nopen\n"},
        {"white space then console text", "kept\n \topen", "kept\n \topen\n"},
        {"a possible message is held, never copied", "kept\n{\"watch\":\"apps\"}", "kept\n"},
        {"white space alone is held", "kept\n  ", "kept\n"},
        {"a line too long for a message is out already", "{\"a\":\"" + std::string(100, 'x'), "{\"a\":\"" + std::string(100, 'x') + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reader reader(64);
        reader.output().take(c.bytes);
        reader.output().ended();
        EXPECT_EQ(reader.copied(), c.copied);
        EXPECT_EQ(reader.output().pending(), "");
        EXPECT_EQ(reader.requests, json::array());
    }
}

TEST_F(ShellOutputRouting, PassesThroughALineTooLongForAMessage)
{
    // The line would be a message if it were short; held no longer than
    // the limit, it is copied as it comes, and the next line is routed.
    Reader reader(64);
    const std::string longLine = "{\"watch\":\"apps\",\"pad\":\"" + std::string(300, 'p') + "\"}";
    const std::string tooLong = "{\"focus\":\"replies\"" + std::string(100, ' ') + "}";
    const std::string stream = longLine + "\n" + tooLong + "\n{\"watch\":\"apps\"}\n";
    for (std::size_t at = 0; at < stream.size(); at += 10) {
        reader.output().take(std::string_view(stream).substr(at, 10));
        EXPECT_LE(reader.output().pending().size(), 64u + 10u);
    }
    EXPECT_EQ(reader.copied(), longLine + "\n" + tooLong + "\n");
    EXPECT_EQ(reader.requests, json::parse(R"([{"watch":"apps"}])"));
}

TEST_F(ShellOutputRouting, HoldsNoLineThatCannotBeAMessage)
{
    // Console output is copied as it comes, however long its line; only a
    // line that opens an object is held, up to the longest message.
    Reader reader;
    const std::string chunk(65536, 'c');
    reader.output().take("   \t");
    EXPECT_EQ(reader.output().pending(), "   \t");
    for (int i = 0; i < 64; ++i) {
        reader.output().take(chunk);
        EXPECT_EQ(reader.output().pending(), "");
    }
    reader.output().take("\n{\"watch\"");
    EXPECT_EQ(reader.output().pending(), "{\"watch\"");
    reader.output().take(":\"apps\"}\n");
    EXPECT_EQ(reader.copied(), "   \t" + std::string(64 * 65536, 'c') + "\n");
    EXPECT_EQ(reader.requests, json::parse(R"([{"watch":"apps"}])"));
}

TEST_F(ShellOutputRouting, RoutingGoesOnWhenTheHostsOutputIsGone)
{
    signal(SIGPIPE, SIG_IGN);
    testing_support::Pipe gone;
    gone.closeReadEnd();
    json requests = json::array();
    ChildOutput output(gone.writeEnd, [&](ChildRequests&& batch) {
        for (std::size_t i = 0; i < batch.size(); ++i)
            requests.push_back(described(batch[i]));
    });
    output.take("console\n{\"watch\":\"apps\"}\nmore console\n{\"focus\":\"replies\"}\n");
    EXPECT_EQ(requests, json::parse(R"([{"watch":"apps"},{"focus":"replies"}])"));
}

TEST(ShellOutputRequests, AReaderWaitsWhileTheMainLoopIsBehind)
{
    platform::markTheMainThread();
    std::atomic<int> handedOver{0};
    const std::string line(1024 * 1024, 'x');
    std::thread reader([&] {
        for (int i = 0; i < 12; ++i) {
            performOnTheMainQueue({{Route::appsWatch, line}});
            ++handedOver;
        }
    });
    // Nothing is performed yet: the reader stops once the backlog is full.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(handedOver.load(), 9);
    EXPECT_LE(mainLoopBacklog(), MAIN_LOOP_BACKLOG + line.size());
    ASSERT_TRUE(testing_support::pumpUntil([&] { return handedOver == 12; }));
    reader.join();
    ASSERT_TRUE(testing_support::pumpUntil([&] { return mainLoopBacklog() == 0; }));
}

TEST(ShellOutputRequests, ReachTheirOwnersOnTheMainQueueInOrder)
{
    platform::markTheMainThread();
    std::vector<std::string> seen;
    ChildMessageOwners owners;
    owners.appsWatchStart = [&] { seen.push_back("watch"); };
    owners.focusReturnChildReplies = [&] { seen.push_back("replies"); };
    owners.focusReturnReplied = [&](std::string_view line) { seen.push_back(std::string(line)); };
    setTheMessageOwners(owners);
    const std::string reply = R"({"url":"u","result":1,"focus":"f","panel":3})";
    performOnTheMainQueue({{Route::appsWatch, R"({"watch":"apps"})"}, {Route::urlReply, reply}, {Route::popUp, R"({"popUp":true})"}});
    performOnTheMainQueue({{Route::repliesAnnounced, R"({"focus":"replies"})"}});
    EXPECT_TRUE(seen.empty());
    ASSERT_TRUE(testing_support::pumpUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"watch", reply, "replies"}));
    setTheMessageOwners({});
}
