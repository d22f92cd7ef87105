// The drawing of the desktop server's pictures, from states made here:
// key equivalents as menus write them, text made safe, what is drawn of a
// menu (and where it stops), states of every odd shape, and sameness.
#include "picture.h"
#include "platform/linux/desktop/live/symbols.h"

#include "platform/desktop/status_bar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

using desktop::drawPicture;
using desktop::Picture;
using desktop::PictureFormat;
using desktop::PictureOptions;
using nlohmann::json;

namespace {

constexpr uint64_t CMD = platform::MODIFIER_COMMAND, SHIFT = platform::MODIFIER_SHIFT, OPT = platform::MODIFIER_OPTION,
                   CTRL = platform::MODIFIER_CONTROL;

json row(const std::string& title, const std::string& key = "", uint64_t mask = CMD, bool enabled = true, json submenu = nullptr)
{
    return {{"separator", false}, {"title", title}, {"enabled", enabled}, {"action", true}, {"keyEquivalent", key},
            {"modifierMask", mask}, {"image", nullptr}, {"submenu", submenu}};
}

// A session of one 1440 × 900 screen and one host whose status item's
// menu, holding `items`, is open.
json sessionWithMenu(json items, json openSubmenu = nullptr)
{
    json menu = {{"title", ""}, {"autoenablesItems", false}, {"items", std::move(items)}};
    json host = {{"pid", 4242}, {"bundleIdentifier", "com.example.acme"}, {"localizedName", "Acme"}, {"connected", true},
                 {"statusItems", {{{"item", 1}, {"button", {{"image", nullptr}, {"title", "Acme"}}}, {"menu", menu}}}},
                 {"menuOpen", 1}, {"openSubmenu", openSubmenu}, {"popUp", nullptr}, {"panels", json::array()}, {"alert", nullptr}};
    return {{"screens", {{{"display", 1}, {"frame", {{"x", 0}, {"y", 0}, {"width", 1440}, {"height", 900}}}}}},
            {"front", nullptr}, {"applications", json::array()}, {"windowList", json::array()}, {"hosts", {host}}};
}

Picture svgOf(const json& state, PictureOptions options = {})
{
    options.format = PictureFormat::svg;
    return drawPicture(state, options);
}

struct Text {
    std::string text;
    double y;
};

// The text layer of an SVG, in drawing order.
std::vector<Text> textsOf(const std::string& svg)
{
    static const std::regex text("<text x=\"[-0-9.]+\" y=\"([-0-9.]+)\"[^>]*>([^<]*)</text>");
    std::vector<Text> texts;
    for (auto match = std::sregex_iterator(svg.begin(), svg.end(), text); match != std::sregex_iterator(); ++match)
        texts.push_back({(*match)[2], std::stod((*match)[1])});
    return texts;
}

std::vector<std::string> titlesOf(const std::string& svg)
{
    std::vector<std::string> titles;
    for (const auto& text : textsOf(svg))
        titles.push_back(text.text);
    return titles;
}

std::pair<uint32_t, uint32_t> sizeOfPng(const std::string& png)
{
    auto big = [&](std::size_t at) {
        return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 | uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
        return {0, 0};
    return {big(16), big(20)};
}

} // namespace

TEST(Picture, KeyEquivalentsAreWrittenAsMenusWriteThem)
{
    struct Case {
        std::string key;
        uint64_t mask;
        std::string shown;
    };
    for (const auto& c : std::vector<Case>{
             {"k", CMD, "⌘K"},
             {"K", CMD, "⇧⌘K"},   // an upper-case key asks for shift
             {"k", CMD | SHIFT, "⇧⌘K"},
             {"k", SHIFT | CMD | OPT | CTRL, "⌃⌥⇧⌘K"},
             {",", CMD, "⌘,"},
             {"\r", CMD, "⌘↩"},
             {" ", OPT | CMD, "⌥⌘Space"},
             {"\x1b", 0, "⎋"},
             {"\x7f", CMD, "⌘⌫"},
             {"\t", CTRL, "⌃⇥"},
             {"\uf700", CMD, "⌘↑"},
             {"\uf703", CMD | SHIFT, "⇧⌘→"},
             {"\uf704", 0, "F1"},
             {"\uf70f", CMD, "⌘F12"},
             {"ä", CMD, "⌘Ä"},
             {"space", CMD, "⌘SPACE"},
             {"", CMD, ""},
         }) {
        EXPECT_EQ(desktop::keyEquivalentText(c.key, c.mask), c.shown) << json(c.key).dump() << " " << c.mask;
    }
}

TEST(Picture, TextIsRepairedAndBoundedBeforeItIsLaidOut)
{
    struct Case {
        std::string text;
        std::size_t limit;
        std::string drawable;
    };
    for (const auto& c : std::vector<Case>{
             {"Say hello", 256, "Say hello"},
             {"bad \xff\xfe end", 256, "bad \uFFFD\uFFFD end"},
             {"cut \xe2\x8c", 256, "cut \uFFFD\uFFFD"},
             {"two\nlines\tand\x01", 256, "two lines and "},
             {"עברית 😀👍🏽", 256, "עברית 😀👍🏽"},
             {"abcdef", 3, "abc…"},
             {"ééé", 2, "éé…"},
             {"", 256, ""},
         }) {
        EXPECT_EQ(desktop::drawableText(c.text, c.limit), c.drawable) << json(c.text).dump(-1, ' ', false, json::error_handler_t::replace);
    }
}

TEST(Picture, EveryDrawnRowsTitleAndKeyAreInOrderAndAnOpenSubmenuBesideIt)
{
    json submenu = {{"title", "More"}, {"items", {row("Deep", "d", OPT | CMD), row("Deeper")}}};
    json items = {row("Open…", "o", CMD | SHIFT), {{"separator", true}}, row("More", "", 0, true, submenu), row("Off", "", 0, false),
                  row("Quit", "q")};
    auto texts = titlesOf(svgOf(sessionWithMenu(items, json::array({2}))).bytes);
    EXPECT_EQ(texts, (std::vector<std::string>{"Acme", "Open…", "⇧⌘O", "More", "Off", "Quit", "⌘Q", "Deep", "⌥⌘D", "Deeper"}));
    // Closed, the submenu is not drawn; a path past the rows or to a row
    // without a submenu opens none.
    for (const json& path : {json(nullptr), json::array({9}), json::array({0}), json::array({-1}), json("2"), json::array({2, 0, 0})}) {
        auto drawn = titlesOf(svgOf(sessionWithMenu(items, path)).bytes);
        EXPECT_EQ(std::count(drawn.begin(), drawn.end(), "Deep"), path == json::array({2, 0, 0}) ? 1 : 0) << path.dump();
        EXPECT_EQ(drawn.size(), path == json::array({2, 0, 0}) ? 10u : 7u) << path.dump();
    }
}

TEST(Picture, AMenuOfTenThousandRowsIsDrawnDownToTheScreensEdge)
{
    json items = json::array();
    for (int i = 0; i < 10000; ++i)
        items.push_back(i % 10 == 9 ? json{{"separator", true}} : row("Row " + std::to_string(i), "k"));
    Picture picture = svgOf(sessionWithMenu(items));
    ASSERT_TRUE(picture.error.empty()) << picture.error;
    auto texts = textsOf(picture.bytes);
    ASSERT_GT(texts.size(), 20u);
    EXPECT_LT(texts.size(), 100u) << "rows past the screen's edge are not drawn";
    EXPECT_EQ(texts[1].text, "Row 0");
    EXPECT_EQ(texts[2].text, "⌘K");
    for (const auto& text : texts)
        EXPECT_LT(text.y, 900) << text.text;
}

TEST(Picture, TitlesInAnyScriptAndInvalidUtf8DrawAndReadBackRepaired)
{
    json items = {row("שלום עולם"), row("مرحبا بالعالم"), row("emoji 😀👩‍👩‍👧 🇫🇷"), row("bad \xff\xfe\xc3"), row("\xed\xa0\x80 surrogate"),
                  row(std::string(100000, 'x')), row("ctl\x01\x7f\u2028end")};
    json state = sessionWithMenu(items);
    state["hosts"][0]["statusItems"][0]["button"]["title"] = "\xc0\xaf";
    Picture picture = svgOf(state);
    ASSERT_TRUE(picture.error.empty()) << picture.error;
    auto texts = titlesOf(picture.bytes);
    ASSERT_EQ(texts.size(), 8u);
    EXPECT_EQ(texts[0], "\uFFFD\uFFFD");
    EXPECT_EQ(texts[1], "שלום עולם");
    EXPECT_EQ(texts[2], "مرحبا بالعالم");
    EXPECT_EQ(texts[3], "emoji 😀👩‍👩‍👧 🇫🇷");
    EXPECT_EQ(texts[4], "bad \uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(texts[6], std::string(256, 'x') + "…");
    EXPECT_EQ(texts[7], "ctl   end");
    EXPECT_FALSE(drawPicture(state, {}).bytes.empty()) << "and as PNG";
}

TEST(Picture, StatesOfAnyShapeDrawWithoutACrash)
{
    json menu = sessionWithMenu({row("A")});
    std::vector<std::pair<std::string, json>> states = {
        {"nothing", json::object()},
        {"not an object", json::array({1, 2})},
        {"no screen", {{"screens", json::array()}, {"hosts", menu["hosts"]}}},
        {"screens of nothing", {{"screens", {1, "x", nullptr}}}},
        {"a screen without size", {{"screens", {{{"frame", {{"x", 0}, {"y", 0}, {"width", 0}, {"height", -5}}}}}}}},
        {"a huge screen", {{"screens", {{{"frame", {{"x", 0}, {"y", 0}, {"width", 1e12}, {"height", 1e300}}}}}}}},
        {"hosts of the wrong kind", {{"screens", menu["screens"]}, {"hosts", "many"}}},
        {"items of the wrong kind", sessionWithMenu({1, "two", nullptr, {{"title", 5}, {"enabled", "yes"}, {"submenu", 3}}})},
        {"a menu that is no menu", [&] {
             json state = menu;
             state["hosts"][0]["statusItems"][0]["menu"] = "menu";
             return state;
         }()},
        {"windows and panels past every edge", [&] {
             json state = menu;
             state["applications"] = {{{"pid", 7}, {"localizedName", "Far"}, {"windows", {{{"number", 100}, {"name", "w"}}}}}};
             state["windowList"] = {{{"kCGWindowNumber", 100}, {"kCGWindowOwnerPID", 7},
                                     {"kCGWindowBounds", {{"X", -1e200}, {"Y", 1e200}, {"Width", 1e308}, {"Height", NAN}}}}};
             state["hosts"][0]["panels"] = {{{"panel", 1}, {"visible", true}, {"text", "t"}, {"frame", {{"x", 1e300}, {"y", -1e300}, {"width", 1e300}, {"height", 5}}},
                                             {"style", {{"fontSize", 1e9}, {"cornerRadius", -4}, {"background", "white 7"}}}}};
             return state;
         }()},
        {"a pop-up far away with an alert of odd buttons", [&] {
             json state = menu;
             state["hosts"][0]["popUp"] = {{"menu", menu["hosts"][0]["statusItems"][0]["menu"]}, {"location", {{"x", -1e9}, {"y", 1e9}}}};
             state["hosts"][0]["alert"] = {{"messageText", std::string(5000, 'm')}, {"buttons", {1, nullptr, "OK", "", "a", "b", "c", "d", "e", "f"}}};
             return state;
         }()},
    };
    for (const auto& [name, state] : states) {
        for (auto format : {PictureFormat::png, PictureFormat::svg}) {
            PictureOptions options;
            options.format = format;
            Picture picture = drawPicture(state, options);
            EXPECT_TRUE(picture.error.empty()) << name << ": " << picture.error;
            EXPECT_FALSE(picture.bytes.empty()) << name;
            EXPECT_GE(picture.width, 1) << name;
            EXPECT_LE(picture.width, desktop::PICTURE_SIDE_LIMIT) << name;
            EXPECT_LE(picture.height, desktop::PICTURE_SIDE_LIMIT) << name;
        }
    }
    // Without a screen the picture has the default size and says so.
    Picture none = svgOf({{"screens", json::array()}, {"hosts", menu["hosts"]}});
    EXPECT_EQ(titlesOf(none.bytes), std::vector<std::string>{"No screen"});
    EXPECT_EQ(sizeOfPng(drawPicture(json::object(), {}).bytes), (std::pair<uint32_t, uint32_t>{1440, 900}));
}

TEST(Picture, TheSameStateGivesTheSameBytesWithTheSizeAsked)
{
    json state = sessionWithMenu({row("Open…", "o"), row("Quit", "q")});
    struct Case {
        PictureFormat format;
        double scale;
        int width, height;
    };
    for (const auto& c : std::vector<Case>{{PictureFormat::png, 1, 1440, 900}, {PictureFormat::png, 2, 2880, 1800},
                                           {PictureFormat::png, 0.25, 360, 225}, {PictureFormat::svg, 1, 1440, 900}}) {
        PictureOptions options;
        options.format = c.format;
        options.scale = c.scale;
        Picture first = drawPicture(state, options);
        Picture second = drawPicture(state, options);
        ASSERT_TRUE(first.error.empty()) << first.error;
        EXPECT_EQ(first.width, c.width);
        EXPECT_EQ(first.height, c.height);
        EXPECT_TRUE(first.bytes == second.bytes) << "scale " << c.scale;
        if (c.format == PictureFormat::png) {
            EXPECT_EQ(sizeOfPng(first.bytes), (std::pair<uint32_t, uint32_t>(c.width, c.height)));
            EXPECT_EQ(first.bytes.find("tIME"), std::string::npos) << "no time stamp";
        }
    }
    // A different state, a different picture.
    EXPECT_NE(drawPicture(state, {}).bytes, drawPicture(sessionWithMenu({row("Open…", "o")}), {}).bytes);
    // A screen too large for the side limit is drawn smaller.
    json huge = state;
    huge["screens"][0]["frame"] = {{"x", 0}, {"y", 0}, {"width", 20000}, {"height", 10000}};
    Picture capped = drawPicture(huge, {});
    EXPECT_EQ(capped.width, desktop::PICTURE_SIDE_LIMIT);
    EXPECT_EQ(capped.height, desktop::PICTURE_SIDE_LIMIT / 2);
    for (double scale : {0.0, -1.0, 8.5, double(NAN)}) {
        PictureOptions options;
        options.scale = scale;
        EXPECT_FALSE(drawPicture(state, options).error.empty()) << scale;
    }
}

TEST(Picture, AHostNamedDrawsItsMenusAlone)
{
    json state = sessionWithMenu({row("First host's row")});
    json second = state["hosts"][0];
    second["pid"] = 5151;
    second["bundleIdentifier"] = "com.example.other";
    second["localizedName"] = "Other";
    second["statusItems"][0]["menu"]["items"] = {row("Second host's row")};
    second["statusItems"][0]["button"]["title"] = "Other";
    state["hosts"].push_back(second);
    struct Case {
        json host;
        std::vector<std::string> drawn;
    };
    for (const auto& c : std::vector<Case>{{nullptr, {"Acme", "Other", "First host's row", "Second host's row"}},
                                           {4242, {"Acme", "Other", "First host's row"}},
                                           {"com.example.other", {"Acme", "Other", "Second host's row"}},
                                           {"Other", {"Acme", "Other", "Second host's row"}}}) {
        PictureOptions options;
        options.host = c.host;
        EXPECT_EQ(titlesOf(svgOf(state, options).bytes), c.drawn) << c.host.dump();
    }
    PictureOptions nobody;
    nobody.host = 1;
    EXPECT_NE(svgOf(state, nobody).error, "");
    // A host that left draws nothing.
    state["hosts"][1]["connected"] = false;
    EXPECT_EQ(titlesOf(svgOf(state).bytes), (std::vector<std::string>{"Acme", "First host's row"}));
}

TEST(Picture, EverySymbolOfTheCatalogueDrawsAndUnknownOnesDrawAsMissing)
{
    for (const auto& name : platform::drawableSymbols()) {
        json state = sessionWithMenu({row("A")});
        state["hosts"][0]["statusItems"][0]["button"] = {{"title", ""}, {"image", {{"symbol", name}, {"accessibilityDescription", "Acme"}}}};
        EXPECT_EQ(titlesOf(svgOf(state).bytes), std::vector<std::string>{"A"}) << name << " draws as its symbol, not as text";
    }
    for (const std::string name : {"no.such.symbol", "star.fill"}) {
        json state = sessionWithMenu({row("A")});
        state["missingSymbols"] = {"star.fill"};
        state["hosts"][0]["statusItems"][0]["button"] = {{"title", ""}, {"image", {{"symbol", name}, {"accessibilityDescription", "Acme"}}}};
        EXPECT_EQ(titlesOf(svgOf(state).bytes), (std::vector<std::string>{"Acme", "A"})) << name << " draws as its title";
    }
}

TEST(Picture, TheViewsLibrarysPanelsAreNamedWithTheirState)
{
    json state = sessionWithMenu({row("Open")});
    state["hosts"][0]["menuOpen"] = nullptr;
    state["hosts"][0]["viewPanels"] = {{{"name", "settings"}, {"state", "open"}, {"look", "{}"}, {"calls", json::array()}},
                                      {{"name", "about"}, {"state", "closed"}, {"look", ""}, {"calls", json::array()}}};
    EXPECT_EQ(titlesOf(svgOf(state).bytes), (std::vector<std::string>{"Acme", "settings: open", "about: closed"}));
}
