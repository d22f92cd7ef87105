#include "supervision/root.h"

#include <gtest/gtest.h>

using kestrune::supervision::adopterIn;

TEST(AdopterIn, OnlyAnObjectNamingThisHostAndARealRootAdopts)
{
    const pid_t me = 4000;
    struct Case {
        const char* text;
        std::optional<pid_t> root;
    } cases[] = {
        {R"({"pid":4000,"root":4242})", 4242},
        {R"({"pid":4000,"root":2,"at":"x","lost":9})", 2},
        {R"({"pid":4000,"root":1})", std::nullopt},
        {R"({"pid":4000,"root":0})", std::nullopt},
        {R"({"pid":4000,"root":-5})", std::nullopt},
        {R"({"pid":4000,"root":4242.5})", std::nullopt},
        {R"({"pid":4000,"root":"4242"})", std::nullopt},
        {R"({"pid":4000,"root":99999999999})", std::nullopt},
        {R"({"pid":4001,"root":4242})", std::nullopt},
        {R"({"pid":"4000","root":4242})", std::nullopt},
        {R"({"root":4242})", std::nullopt},
        {R"({"pid":4000})", std::nullopt},
        {R"([4000,4242])", std::nullopt},
        {"not json", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(adopterIn(c.text, me), c.root) << c.text;
}
