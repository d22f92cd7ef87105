// The host socket's requests: which reply each line gets, what it sets off
// above the socket, and how a byte stream is cut into request lines.
#include "socket/request_lines.h"
#include "socket/requests.h"

#include "fake_host.h"

#include "platform/main_queue.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace kestrune::socket;
using testing_support::FakeHost;

namespace {

// A URL of the scheme "acme", exactly `bytes` bytes long.
std::string acmeURLOfLength(std::size_t bytes)
{
    std::string url = "acme://x?";
    url.append(bytes - url.size(), 'a');
    return url;
}

std::string urlRequest(const std::string& url)
{
    return nlohmann::json{{"url", url}}.dump();
}

} // namespace

TEST(HostRequests, EachLineGetsItsReplyAndSetsOffOnlyItsAction)
{
    platform::markTheMainThread();
    struct Case {
        const char* what;
        std::string request;
        std::string reply;                      // compared as JSON: key order is no part of it
        std::vector<std::string> effects = {};
        FakeHost host = {};
    };
    FakeHost notDrawn, failsToPublish, noShell, notListening, badTitles;
    notDrawn.drawn = false;
    failsToPublish.publishes = false;
    noShell.shell = std::nullopt;
    notListening.shellListens = false;
    badTitles.titles = {{"bad", "caf\xc3\xa9 \xff\xfe"}, {"lines", "two\nlines"}};
    const std::string longest = acmeURLOfLength(HOST_URL_LIMIT);
    const std::string tooLong = acmeURLOfLength(HOST_URL_LIMIT + 1);

    Case cases[] = {
        // Not a JSON object.
        {"empty line", "", R"({"error":"not-json"})"},
        {"array", "[1,2]", R"({"error":"not-json"})"},
        {"plain text", "refresh", R"({"error":"not-json"})"},
        {"string", R"("refresh")", R"({"error":"not-json"})"},
        {"unfinished", R"({"refresh":true)", R"({"error":"not-json"})"},
        {"two objects", R"({"refresh":true}{"refresh":true})", R"({"error":"not-json"})"},
        {"NUL after the object", std::string(R"({"refresh":true})") + '\0', R"({"error":"not-json"})"},
        {"bytes that are not UTF-8", "{\"url\":\"acme://\xff\"}", R"({"error":"not-json"})"},
        {"a lone surrogate escape", R"({"url":"acme://\ud800"})", R"({"error":"not-json"})"},
        {"nested past the limit", R"({"refresh":true,"x":)" + std::string(REQUEST_NESTING_LIMIT, '[') + std::string(REQUEST_NESTING_LIMIT, ']') + "}",
         R"({"error":"not-json"})"},
        // None of the keys applies.
        {"empty object", "{}", R"({"error":"unknown-request"})"},
        {"refresh false", R"({"refresh":false})", R"({"error":"unknown-request"})"},
        {"refresh as a number", R"({"refresh":1})", R"({"error":"unknown-request"})"},
        {"refresh as a string", R"({"refresh":"true"})", R"({"error":"unknown-request"})"},
        {"url as a number", R"({"url":7})", R"({"error":"unknown-request"})"},
        {"invoke as null", R"({"invoke":null,"title":"Open"})", R"({"error":"unknown-request"})"},
        {"other keys only", R"({"menu":"open","title":"Open"})", R"({"error":"unknown-request"})"},
        // Refresh.
        {"refresh", R"({"refresh":true})", R"({"refreshed":true})", {"publish"}},
        {"refresh with a carriage return", "{\"refresh\":true}\r", R"({"refreshed":true})", {"publish"}},
        {"nested within the limit", R"({"refresh":true,"x":)" + std::string(REQUEST_NESTING_LIMIT - 1, '[') + std::string(REQUEST_NESTING_LIMIT - 1, ']') + "}",
         R"({"refreshed":true})", {"publish"}},
        {"refresh before the first drawing writes nothing", R"({"refresh":true})", R"({"refreshed":false})", {}, notDrawn},
        {"refresh that cannot write", R"({"refresh":true})", R"({"refreshed":false})", {"publish"}, failsToPublish},
        {"refresh comes first", R"({"invoke":"open","title":"Open","url":"acme://x","refresh":true})", R"({"refreshed":true})", {"publish"}},
        {"refresh false lets url apply", R"({"refresh":false,"url":"acme://x"})", R"({"delivered":"acme://x","shell":4242})", {"arrived acme://x"}},
        // URLs.
        {"url of ours", R"({"url":"acme://open/settings?x=1"})", R"({"delivered":"acme://open/settings?x=1","shell":4242})",
         {"arrived acme://open/settings?x=1"}},
        {"url while no shell runs", R"({"url":"acme://open"})", R"({"delivered":"acme://open","shell":null})", {"arrived acme://open"}, noShell},
        {"scheme in another case", R"({"url":"ACME://Open"})", R"({"delivered":"ACME://Open","shell":4242})", {"arrived ACME://Open"}},
        {"foreign scheme", R"({"url":"https://example.com"})", R"({"error":"url-scheme-not-mine","url":"https://example.com"})"},
        {"no scheme", R"({"url":"/open/settings"})", R"({"error":"url-scheme-not-mine","url":"/open/settings"})"},
        {"empty url", R"({"url":""})", R"({"error":"url-scheme-not-mine","url":""})"},
        {"not a URL", R"({"url":"acme://open settings"})", R"({"error":"url-scheme-not-mine","url":"acme://open settings"})"},
        {"url at the limit", urlRequest(longest), nlohmann::json{{"delivered", longest}, {"shell", 4242}}.dump(), {"arrived " + longest}},
        {"url one byte over", urlRequest(tooLong), nlohmann::json{{"error", "url-scheme-not-mine"}, {"url", tooLong}}.dump()},
        {"url before invoke", R"({"invoke":"open","title":"Open","url":"acme://x"})", R"({"delivered":"acme://x","shell":4242})", {"arrived acme://x"}},
        // Invoke.
        {"invoke", R"({"invoke":"open","title":"Open"})", R"({"invoked":"open","title":"Open"})", {"send open"}},
        {"invoke while the shell is away", R"({"invoke":"open","title":"Open"})", R"({"error":"shell-not-listening","id":"open"})", {"send open"},
         notListening},
        {"invoke with a stale title", R"({"invoke":"open","title":"Open…"})", R"({"error":"invoke-row-changed","id":"open","title":"Open"})"},
        {"invoke without a title", R"({"invoke":"open"})", R"({"error":"invoke-row-changed","id":"open","title":"Open"})"},
        {"invoke with a title of another type", R"({"invoke":"open","title":1})", R"({"error":"invoke-row-changed","id":"open","title":"Open"})"},
        {"invoke with a title in another case", R"({"invoke":"open","title":"open"})", R"({"error":"invoke-row-changed","id":"open","title":"Open"})"},
        {"invoke of a missing row", R"({"invoke":"gone","title":"Gone"})", R"({"error":"invoke-row-changed","id":"gone","title":null})"},
        {"invoke of the host's own row", R"({"invoke":"host.check-for-updates","title":"Check for Updates…"})",
         R"({"error":"invoke-row-changed","id":"host.check-for-updates","title":null})"},
        {"refresh false and url of a wrong type let invoke apply", R"({"refresh":false,"url":[],"invoke":"quit","title":"Quit Acme"})",
         R"({"invoked":"quit","title":"Quit Acme"})", {"send quit"}},
        // Replies stay one line of valid JSON whatever the titles hold.
        {"title that is not UTF-8", R"({"invoke":"bad"})", "{\"error\":\"invoke-row-changed\",\"id\":\"bad\",\"title\":\"caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd\"}", {},
         badTitles},
        {"title with a line feed", R"({"invoke":"lines","title":"two\nlines"})", R"({"invoked":"lines","title":"two\nlines"})", {"send lines"}, badTitles},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.host.install();
        std::string line = replyLine(answer(c.request));
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
        auto parsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        EXPECT_EQ(parsed, nlohmann::json::parse(c.reply)) << line;
        EXPECT_EQ(c.host.effects, c.effects);
    }
}

TEST(HostRequests, WithoutSeamsEveryRequestIsAnsweredAsBeforeTheMenu)
{
    platform::markTheMainThread();
    setTheHostRequestSeams({});
    const std::pair<const char*, const char*> cases[] = {
        {R"({"refresh":true})", R"({"refreshed":false})"},
        {R"({"url":"acme://x"})", R"({"error":"url-scheme-not-mine","url":"acme://x"})"},
        {R"({"invoke":"open","title":"Open"})", R"({"error":"invoke-row-changed","id":"open","title":null})"},
    };
    for (const auto& [request, reply] : cases)
        EXPECT_EQ(nlohmann::json::parse(replyLine(answer(request))), nlohmann::json::parse(reply)) << request;
}

TEST(RequestLines, CutsTheSameLinesHoweverTheReadsCutTheBytes)
{
    struct Case {
        const char* what;
        std::string stream;
        std::vector<std::string> lines;
        std::size_t pending;
    };
    const Case cases[] = {
        {"two lines", "a\nbc\n", {"a", "bc"}, 0},
        {"an unfinished line stays", "a\nbc", {"a"}, 2},
        {"empty lines are lines", "\n\nx\n", {"", "", "x"}, 0},
        {"carriage returns stay in the line", "a\r\n", {"a\r"}, 0},
        {"NUL bytes are bytes", std::string("a\0b\n", 4), {std::string("a\0b", 3)}, 0},
        {"nothing", "", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Whole, then in every chunk size up to the stream's length.
        for (std::size_t chunk = c.stream.size() + 1; chunk >= 1; --chunk) {
            SCOPED_TRACE(chunk);
            RequestLines splitter;
            std::vector<std::string> lines;
            for (std::size_t at = 0; at < c.stream.size(); at += chunk) {
                bool framed = splitter.take(std::string_view(c.stream).substr(at, chunk), [&](std::string_view line) { lines.emplace_back(line); });
                ASSERT_TRUE(framed);
            }
            EXPECT_EQ(lines, c.lines);
            EXPECT_EQ(splitter.pendingBytes(), c.pending);
        }
    }
}

TEST(RequestLines, ALineOverTheLimitEndsTheFramingFinishedOrNot)
{
    struct Case {
        const char* what;
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
        bool framed;
    };
    // With a limit of 4 bytes.
    const Case cases[] = {
        {"at the limit", {"abcd\n"}, {"abcd"}, true},
        {"unfinished at the limit", {"ab", "cd"}, {}, true},
        {"over it, finished in one read", {"ab\nabcde\nx\n"}, {"ab"}, false},
        {"over it across reads", {"ab\nab", "c", "de"}, {"ab"}, false},
        {"unfinished over it", {"abcde"}, {}, false},
        {"nothing after the overflow", {"abcde", "\nok\n", "ok\n"}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RequestLines splitter(4);
        std::vector<std::string> lines;
        bool framed = true;
        for (const auto& chunk : c.chunks)
            framed = splitter.take(chunk, [&](std::string_view line) { lines.emplace_back(line); }) && framed;
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(framed, c.framed);
        EXPECT_EQ(splitter.overflowed(), !c.framed);
        if (!c.framed) {
            EXPECT_EQ(splitter.pendingBytes(), 0u) << "nothing held once framing ended";
        }
    }
}
