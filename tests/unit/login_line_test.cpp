#include "host/login.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using namespace kestrune::host;

TEST(LoginAgentNames, PropertyListsInAscendingOrderElseTheIdentity)
{
    struct Case {
        std::vector<std::string> entries;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{}, {"com.example.acme.plist"}},
        {{"notes.txt", "README"}, {"com.example.acme.plist"}},
        {{"b.plist", "a.plist", "notes.txt"}, {"a.plist", "b.plist"}},
        {{"helper.PLIST", "x.plist.bak", "z.plist"}, {"z.plist"}},
        {{"B.plist", "a.plist", "com.example.acme.plist"}, {"B.plist", "a.plist", "com.example.acme.plist"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loginAgentNames(c.entries, "com.example.acme"), c.names);
}

TEST(LoginStatusText, EveryStatus)
{
    EXPECT_STREQ(loginStatusText(platform::AgentStatus::enabled), "enabled");
    EXPECT_STREQ(loginStatusText(platform::AgentStatus::requiresApproval), "requiresApproval");
    EXPECT_STREQ(loginStatusText(platform::AgentStatus::notFound), "notFound");
    EXPECT_STREQ(loginStatusText(platform::AgentStatus::notRegistered), "notRegistered");
    EXPECT_STREQ(loginStatusText(static_cast<platform::AgentStatus>(42)), "notRegistered");
}

TEST(LoginLine, OverallStatusAndLogin)
{
    struct Case {
        std::vector<LoginAgentRow> agents;
        std::string line;
    };
    const Case cases[] = {
        {{{"com.example.acme.plist", "enabled"}},
         R"({"login":"on","status":"enabled","agents":[{"plist":"com.example.acme.plist","status":"enabled"}]})"},
        {{{"a.plist", "requiresApproval"}, {"com.example.acme.plist", "enabled"}},
         R"({"login":"off","status":"enabled","agents":[{"plist":"a.plist","status":"requiresApproval"},{"plist":"com.example.acme.plist","status":"enabled"}]})"},
        {{{"a.plist", "notRegistered"}, {"b.plist", "enabled"}},
         R"({"login":"off","status":"notRegistered","agents":[{"plist":"a.plist","status":"notRegistered"},{"plist":"b.plist","status":"enabled"}]})"},
        {{{"a.plist", "enabled"}, {"b.plist", "enabled"}},
         R"({"login":"on","status":"enabled","agents":[{"plist":"a.plist","status":"enabled"},{"plist":"b.plist","status":"enabled"}]})"},
        {{{"com.example.acme.plist", "notFound"}},
         R"({"login":"off","status":"notFound","agents":[{"plist":"com.example.acme.plist","status":"notFound"}]})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loginLine(c.agents, "com.example.acme"), c.line);
}

TEST(LoginLine, NamesThatWouldBreakTheJsonAreEscaped)
{
    const std::string names[] = {"quote\".plist", "back\\slash.plist", "new\nline.plist", "tab\t.plist", "ünï cöde.plist"};
    for (const auto& name : names) {
        std::string line = loginLine({{name, "enabled"}}, "com.example.acme");
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << line;
        EXPECT_EQ(parsed["agents"][0]["plist"], name);
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
    EXPECT_EQ(loginLine({{"ünï cöde.plist", "enabled"}}, "x"),
              R"({"login":"on","status":"enabled","agents":[{"plist":"ünï cöde.plist","status":"enabled"}]})");
}
