#include "platform/json_line.h"
#include "overlays/badge.h"
#include "overlays/window_location.h"

#include "platform/main_queue.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

using namespace kestrune::overlays;
using platform::Rect;

namespace {

nlohmann::json window(nlohmann::json pid, nlohmann::json layer, nlohmann::json bounds)
{
    return {{platform::WINDOW_OWNER_PID, pid}, {platform::WINDOW_LAYER, layer}, {platform::WINDOW_BOUNDS, bounds}};
}

nlohmann::json bounds(double x, double y, double width, double height)
{
    return {{"X", x}, {"Y", y}, {"Width", width}, {"Height", height}};
}

} // namespace

TEST(BadgeFrame, SitsCentredBelowTheTopOrOnTheBottomEdge)
{
    const std::pair<Rect, Rect> cases[] = {
        {{100, 50, 800, 600}, {425, 102, 150, 34}},
        {{0, 0, 800, 70}, {325, 36, 150, 34}},
        {{10, 20, 100, 20}, {10, 20, 100, 20}},
        {{0, 0, 150, 86}, {0, 52, 150, 34}},      // exactly room for the inset
        {{0, 0, 150, 85}, {0, 51, 150, 34}},      // one point less
        {{0, 0, 150, 34}, {0, 0, 150, 34}},
        {{-500, -30, 301, 600}, {-424.5, 22, 150, 34}},
        {{0, 0, 100.5, 1000}, {0, 52, 100.5, 34}},
    };
    for (const auto& [win, badge] : cases) {
        EXPECT_EQ(badgeFrame(win), badge) << win.x << "," << win.y << " " << win.width << "x" << win.height;
    }
}

TEST(RectRow, WritesWholeNumbersWithoutFraction)
{
    const std::pair<std::optional<Rect>, std::string> cases[] = {
        {std::nullopt, "null"},
        {Rect{425, 102, 150, 34}, R"({"height":34,"width":150,"x":425,"y":102})"},
        {Rect{-425.5, 0.25, 150, 34}, R"({"height":34,"width":150,"x":-425.5,"y":0.25})"},
        {Rect{-0.0, 0, 0, 0}, R"({"height":0,"width":0,"x":0,"y":0})"},
        {Rect{1e20, 0, 1, 1}, R"({"height":1,"width":1,"x":1e+20,"y":0})"},
    };
    for (const auto& [rect, text] : cases)
        EXPECT_EQ(rectRow(rect).dump(), text);
}

TEST(FrontWindowIn, TakesTheFirstOrdinaryWindowOfTheProcess)
{
    struct Case {
        const char* name;
        std::vector<nlohmann::json> windows;
        std::optional<Rect> found;
    };
    const Case cases[] = {
        {"no windows", {}, std::nullopt},
        {"the first of two wins, even if smaller",
         {window(7, 0, bounds(1, 2, 10, 10)), window(7, 0, bounds(0, 0, 1000, 1000))},
         Rect{1, 2, 10, 10}},
        {"other processes' windows are passed over",
         {window(8, 0, bounds(0, 0, 5, 5)), window(7, 0, bounds(3, 4, 5, 6))},
         Rect{3, 4, 5, 6}},
        {"windows on another layer are passed over",
         {window(7, 25, bounds(0, 0, 5, 5)), window(7, -1, bounds(0, 0, 5, 5)), window(7, 0, bounds(3, 4, 5, 6))},
         Rect{3, 4, 5, 6}},
        {"a layer of 0.0 is layer 0", {window(7, 0.0, bounds(3, 4, 5, 6))}, Rect{3, 4, 5, 6}},
        {"a layer that is not a number", {window(7, "0", bounds(3, 4, 5, 6))}, std::nullopt},
        {"empty windows are passed over",
         {window(7, 0, bounds(0, 0, 0, 5)), window(7, 0, bounds(0, 0, 5, 0)), window(7, 0, bounds(0, 0, -5, 5)),
          window(7, 0, bounds(3, 4, 5, 6))},
         Rect{3, 4, 5, 6}},
        {"bounds that are no rectangle",
         {window(7, 0, {{"X", 0}, {"Y", 0}, {"Width", 5}}), window(7, 0, {{"X", "0"}, {"Y", 0}, {"Width", 5}, {"Height", 5}}),
          window(7, 0, nlohmann::json::array({0, 0, 5, 5}))},
         std::nullopt},
        {"an owner that is not a number", {window("7", 0, bounds(3, 4, 5, 6)), window(true, 0, bounds(3, 4, 5, 6))}, std::nullopt},
        {"an owner whose 32-bit value matches", {window(4294967303.0, 0, bounds(3, 4, 5, 6))}, Rect{3, 4, 5, 6}},
        {"missing keys", {nlohmann::json::object(), nlohmann::json::array(), window(7, 0, bounds(3, 4, 5, 6))}, Rect{3, 4, 5, 6}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(frontWindowIn(c.windows, 7), c.found) << c.name;
}

TEST(FrontWindowOf, FindsNothingOnTheHeadlessDesktop)
{
    // The desktop belongs to the main thread; here the test's thread is it.
    platform::markTheMainThread();
    EXPECT_EQ(frontWindowOf(getpid()), std::nullopt);
}

TEST(BadgeOf, ReadsABadgeRequest)
{
    struct Case {
        std::string message;
        std::optional<Badge> badge;
    };
    auto badge = [](int32_t pid, std::string text, int64_t ms) { return Badge{pid, std::move(text), ms}; };
    const Case cases[] = {
        {R"({"badge":{"pid":12}})", badge(12, "", 600)},
        {R"({"badge":{"pid":12,"text":"hi","ms":900}})", badge(12, "hi", 900)},
        {R"({"badge":{"pid":12,"text":5,"ms":"900"}})", badge(12, "", 600)},
        {R"({"badge":{"pid":12,"ms":0}})", badge(12, "", 0)},
        {R"({"badge":{"pid":12,"ms":-3}})", badge(12, "", -3)},
        {R"({"badge":{"pid":12,"ms":12.9}})", badge(12, "", 12)},
        {R"({"badge":{"pid":12,"ms":1e300}})", badge(12, "", 9200000000000000000)},
        {R"({"badge":{"pid":12,"ms":null}})", badge(12, "", 600)},
        {R"({"badge":{"pid":12.99}})", badge(12, "", 600)},
        {R"({"badge":{"pid":2147483647}})", badge(2147483647, "", 600)},
        {R"({"badge":{"pid":4294967297}})", badge(1, "", 600)},
        {R"({"badge":{"pid":0}})", std::nullopt},
        {R"({"badge":{"pid":-5}})", std::nullopt},
        {R"({"badge":{"pid":0.9}})", std::nullopt},
        {R"({"badge":{"pid":2147483648}})", std::nullopt},
        {R"({"badge":{"pid":4294967296}})", std::nullopt},
        {R"({"badge":{"pid":1e300}})", std::nullopt},
        {R"({"badge":{"pid":"12"}})", std::nullopt},
        {R"({"badge":{"pid":true}})", std::nullopt},
        {R"({"badge":{"pid":null}})", std::nullopt},
        {R"({"badge":{"pid":[12]}})", std::nullopt},
        {R"({"badge":{"text":"hi"}})", std::nullopt},
        {R"({"badge":"pid"})", std::nullopt},
        {R"({"badge":[{"pid":12}]})", std::nullopt},
        {R"({"pid":12})", std::nullopt},
        {R"([{"badge":{"pid":12}}])", std::nullopt},
        {R"("badge")", std::nullopt},
    };
    for (const auto& c : cases) {
        auto read = badgeOf(nlohmann::json::parse(c.message));
        ASSERT_EQ(read.has_value(), c.badge.has_value()) << c.message;
        if (read) {
            EXPECT_EQ(read->pid, c.badge->pid) << c.message;
            EXPECT_EQ(read->text, c.badge->text) << c.message;
            EXPECT_EQ(read->ms, c.badge->ms) << c.message;
        }
    }
}
