// The shell's menu rows: what is published, the separator cleanup, footer
// rows, titles, and key equivalents.
#include "menu/key_equivalent.h"
#include "menu/rows.h"
#include "platform/desktop/status_bar.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kestrune::menu;
using nlohmann::json;

namespace {
Rows rowsOf(const json& list)
{
    return Rows(list.begin(), list.end());
}
}

TEST(Published, Trees)
{
    struct Case {
        const char* name;
        json rows;
        json tree;
    };
    const json sep = {{"kind", "separator"}};
    const Case cases[] = {
        {"empty", json::array(), json::array()},
        {"header and separators cleaned",
         {{{"kind", "header"}, {"title", "H"}}, sep, {{"id", "a"}, {"title", "A"}}, sep, sep, {{"id", "b"}, {"title", "B"}}, sep},
         {{{"id", "a"}, {"title", "A"}, {"enabled", false}}, {{"separator", true}}, {{"id", "b"}, {"title", "B"}, {"enabled", false}}}},
        {"a later header is an ordinary row",
         {{{"id", "a"}}, {{"kind", "header"}, {"id", "h"}, {"title", "H"}, {"enabled", true}}},
         {{{"id", "a"}, {"title", ""}, {"enabled", false}}, {{"id", "h"}, {"title", "H"}, {"enabled", true}}}},
        {"a separator followed only by another group's rows is trailing",
         {{{"id", "s"}, {"submenu", true}}, sep, {{"id", "c"}, {"parent", "s"}}},
         {{{"id", "s"}, {"title", ""}, {"enabled", false}, {"submenu", {{{"id", "c"}, {"title", ""}, {"enabled", false}}}}}}},
        {"footer rows and their children go; a footer separator is a separator",
         {{{"id", "a"}}, {{"id", "f"}, {"section", "footer"}, {"submenu", true}}, {{"id", "fc"}, {"parent", "f"}},
          {{"id", "s"}, {"kind", "setup"}}, {{"id", "sc"}, {"parent", "s"}}, {{"kind", "separator"}, {"section", "footer"}},
          {{"id", "host.x"}}, {{"id", "b"}}},
         {{{"id", "a"}, {"title", ""}, {"enabled", false}}, {{"separator", true}}, {{"id", "b"}, {"title", ""}, {"enabled", false}}}},
        {"a footer row without an identifier's text removes the top level",
         {{{"id", "a"}}, {{"id", ""}, {"section", "footer"}}},
         json::array()},
        {"kept and dropped keys",
         {{{"id", "a"}, {"title", "A"}, {"enabled", "yes"}, {"hidden", true}, {"checked", false}, {"symbol", "star"}, {"key", "⌘K"},
           {"row", "r"}, {"pointSize", 3}, {"badge", "b"}, {"kind", "other"}}},
         {{{"id", "a"}, {"title", "A"}, {"enabled", false}, {"checked", false}, {"symbol", "star"}, {"key", "⌘K"}, {"row", "r"}}}},
        {"an empty submenu, and children listed before their submenu row",
         {{{"id", "c"}, {"parent", "s"}, {"title", "C"}}, {{"id", "s"}, {"submenu", true}}, {{"id", "e"}, {"submenu", true}}},
         {{{"id", "s"}, {"title", ""}, {"enabled", false}, {"submenu", {{{"id", "c"}, {"title", "C"}, {"enabled", false}}}}},
          {{"id", "e"}, {"title", ""}, {"enabled", false}, {"submenu", json::array()}}}},
        {"wrong types count as absent",
         {{{"id", 1}, {"title", false}, {"submenu", "true"}, {"parent", 3}}},
         {{{"id", ""}, {"title", ""}, {"enabled", false}}}},
        {"a loop publishes the repeated submenu empty",
         {{{"id", "s"}, {"submenu", true}}, {{"id", "t"}, {"parent", "s"}, {"submenu", true}}, {{"id", "s"}, {"parent", "t"}, {"submenu", true}}},
         {{{"id", "s"}, {"title", ""}, {"enabled", false}, {"submenu", {{{"id", "t"}, {"title", ""}, {"enabled", false},
            {"submenu", {{{"id", "s"}, {"title", ""}, {"enabled", false}, {"submenu", json::array()}}}}}}}}}},
        {"a submenu row without an identifier loops to the top",
         {{{"submenu", true}}},
         {{{"id", ""}, {"title", ""}, {"enabled", false}, {"submenu", json::array()}}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(published(rowsOf(c.rows)), c.tree) << c.name;
}

TEST(Published, DeepAndWideListsStayBounded)
{
    // A chain of submenus far deeper than any menu: published to the depth
    // limit, without recursion.
    Rows chain;
    for (int i = 0; i < 20000; ++i) {
        json row = {{"id", "m" + std::to_string(i)}, {"submenu", true}};
        if (i > 0)
            row["parent"] = "m" + std::to_string(i - 1);
        chain.push_back(row);
    }
    json tree = published(chain);
    int depth = 0;
    for (const json* level = &tree; !level->empty(); level = &(*level)[0]["submenu"])
        ++depth;
    EXPECT_EQ(depth, MENU_DEPTH_LIMIT + 1);

    // Every level holding two submenu rows of the same identifier would
    // double the tree at each level: each identifier is expanded once.
    Rows doubling;
    for (int i = 0; i < 40; ++i) {
        for (int copy = 0; copy < 2; ++copy) {
            json row = {{"id", "d" + std::to_string(i)}, {"submenu", true}};
            if (i > 0)
                row["parent"] = "d" + std::to_string(i - 1);
            doubling.push_back(row);
        }
    }
    EXPECT_LT(published(doubling).dump().size(), 100000u);
}

TEST(WithoutStraySeparators, KeepsOnlySeparatorsBetweenSiblings)
{
    const json sep = {{"kind", "separator"}};
    const json sepIn = {{"kind", "separator"}, {"parent", "s"}};
    const json sepEmpty = {{"kind", "separator"}, {"parent", ""}};
    auto ids = [](const Rows& rows) {
        std::string text;
        for (const auto& row : rows)
            text += isSeparator(row) ? "|" : row.value("id", "?");
        return text;
    };
    EXPECT_EQ(ids(withoutStraySeparators(rowsOf({sep, {{"id", "a"}}, sep, sep, {{"id", "b"}}, sep}))), "a|b");
    EXPECT_EQ(ids(withoutStraySeparators(rowsOf({{{"id", "a"}}, sep, {{"id", "c"}, {"parent", "s"}}, sep, {{"id", "b"}}}))), "a|cb");
    EXPECT_EQ(ids(withoutStraySeparators(rowsOf({{{"id", "c"}, {"parent", "s"}}, sepIn, {{"id", "a"}}, sepIn}))), "ca");
    // The top level and the group named "" are not siblings.
    EXPECT_EQ(ids(withoutStraySeparators(rowsOf({{{"id", "a"}}, sepEmpty, {{"id", "b"}}}))), "ab");
    EXPECT_EQ(ids(withoutStraySeparators(rowsOf({{{"id", "a"}, {"parent", ""}}, sepEmpty, {{"id", "b"}, {"parent", ""}}}))), "a|b");

    // Many rows in many groups.
    Rows many;
    for (int i = 0; i < 30000; ++i)
        many.push_back(i % 3 ? json{{"id", "r"}, {"parent", std::to_string(i % 1000)}} : json{{"kind", "separator"}, {"parent", std::to_string(i % 1000)}});
    EXPECT_LT(withoutStraySeparators(many).size(), many.size());
}

TEST(TitleOf, FindsTheFirstRowThatIsNoSeparator)
{
    Rows rows = rowsOf({{{"id", "x"}, {"kind", "separator"}, {"title", "S"}}, {{"id", "x"}, {"title", "X"}}, {{"id", "y"}, {"title", 3}}});
    EXPECT_EQ(titleOf(rows, "x"), "X");
    EXPECT_EQ(titleOf(rows, "y"), std::nullopt);
    EXPECT_EQ(titleOf(rows, "z"), std::nullopt);
}

TEST(IsFooterRow, InItsOrder)
{
    EXPECT_FALSE(isFooterRow({{"kind", "separator"}, {"section", "footer"}}));
    EXPECT_TRUE(isFooterRow({{"section", "footer"}}));
    EXPECT_TRUE(isFooterRow({{"kind", "setup"}}));
    EXPECT_TRUE(isFooterRow({{"id", "host.check"}}));
    EXPECT_FALSE(isFooterRow({{"id", "hostx"}}));
    EXPECT_FALSE(isFooterRow({{"section", "Footer"}}));
}

TEST(MenuKeyOf, KeyStrings)
{
    using platform::MODIFIER_COMMAND, platform::MODIFIER_SHIFT, platform::MODIFIER_OPTION, platform::MODIFIER_CONTROL;
    struct Case {
        std::string key;
        std::optional<std::pair<std::string, uint64_t>> equivalent;
    };
    const Case cases[] = {
        {"⌘K", std::pair<std::string, uint64_t>{"k", MODIFIER_COMMAND}},
        {"key:⌘⇧k", std::pair<std::string, uint64_t>{"k", MODIFIER_COMMAND | MODIFIER_SHIFT}},
        {"⌥⌘Space", std::pair<std::string, uint64_t>{" ", MODIFIER_OPTION | MODIFIER_COMMAND}},
        {"⌘↩", std::pair<std::string, uint64_t>{"\r", MODIFIER_COMMAND}},
        {"⌃↑", std::pair<std::string, uint64_t>{"\xef\x9c\x80", MODIFIER_CONTROL}},
        {"F", std::pair<std::string, uint64_t>{"f", 0}},
        {"⌘⌘K", std::pair<std::string, uint64_t>{"k", MODIFIER_COMMAND}},
        {"⌘space", std::pair<std::string, uint64_t>{"space", MODIFIER_COMMAND}},
        {"⌘ÄB", std::pair<std::string, uint64_t>{"äb", MODIFIER_COMMAND}},
        {"⌘\u0301K", std::pair<std::string, uint64_t>{"⌘\u0301k", 0}},   // a mark joins the symbol: no modifier
        {"⌘none", std::nullopt},
        {"⌘", std::nullopt},
        {"key:", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(menuKeyOf(c.key), c.equivalent) << c.key;
    EXPECT_EQ(menuKeyGlyphs().size(), 9u);
    EXPECT_EQ(menuKeyModifiers().size(), 4u);
}

TEST(BadgeGeometry, PutsTheBadgeAtTheLowerRightPastTheBase)
{
    auto geometry = platform::badgeGeometry(18, 16, 10, 10);
    EXPECT_DOUBLE_EQ(geometry.width, 22.5);
    EXPECT_DOUBLE_EQ(geometry.height, 16);
    EXPECT_EQ(geometry.base, (platform::Rect{0, 0, 18, 16}));
    EXPECT_EQ(geometry.badge, (platform::Rect{12.5, 0, 10, 10}));
    EXPECT_EQ(geometry.halo, (platform::Rect{11, -1.5, 13, 13}));
}
