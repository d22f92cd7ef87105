// Drawing the session with a long menu open: a menu of 1,000 rows and one
// of 10,000, each drawn as a PNG of the first screen. Rows past the
// screen's edge are never laid out, so ten times the rows should cost
// about the same; the figure printed is that ratio, from medians of
// interleaved runs.
#include "picture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int REPETITIONS = 9;

// A session with one host whose status item's menu of `count` rows is open.
nlohmann::json sessionWithMenu(int count)
{
    nlohmann::json items = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 9)
            items.push_back({{"separator", true}});
        else
            items.push_back({{"separator", false}, {"title", "Row number " + std::to_string(i)}, {"enabled", i % 3 != 0},
                             {"keyEquivalent", "k"}, {"modifierMask", 1 << 20}, {"image", {{"symbol", "doc"}}}});
    }
    nlohmann::json item = {{"item", 1}, {"button", {{"title", "Bench"}, {"image", nullptr}}}, {"menu", {{"items", items}}}};
    return {{"screens", {{{"frame", {{"x", 0}, {"y", 0}, {"width", 1440}, {"height", 900}}}}}},
            {"hosts", {{{"pid", 1}, {"connected", true}, {"statusItems", {item}}, {"menuOpen", 1}}}}};
}

double secondsToDraw(const nlohmann::json& state)
{
    auto start = std::chrono::steady_clock::now();
    auto picture = desktop::drawPicture(state, {});
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (picture.bytes.empty())
        std::fprintf(stderr, "picture-bench: %s\n", picture.error.c_str());
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    const auto small = sessionWithMenu(1000);
    const auto large = sessionWithMenu(10000);
    std::vector<double> smallTimes, largeTimes;
    secondsToDraw(small);   // the first drawing loads the font
    for (int i = 0; i < REPETITIONS; ++i) {
        smallTimes.push_back(secondsToDraw(small));
        largeTimes.push_back(secondsToDraw(large));
    }
    double smallMedian = median(smallTimes), largeMedian = median(largeTimes);
    std::printf("picture with a menu of 1,000 rows open: %.1f ms (median of %d)\n", smallMedian * 1000, REPETITIONS);
    std::printf("picture with a menu of 10,000 rows open: %.1f ms\n", largeMedian * 1000);
    std::printf("ratio, 10x the rows: %.2fx the time (goal about 1x: only the rows on screen are drawn)\n", largeMedian / smallMedian);
    return 0;
}
