#include "supervision/death_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace kestrune::supervision;

namespace {
struct TemporaryFolder {
    std::string path;
    TemporaryFolder()
    {
        char pattern[] = "/tmp/kestrune-unit-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TemporaryFolder() { [[maybe_unused]] int ignored = std::system(("rm -rf '" + path + "'").c_str()); }
};
}

TEST(DeathLog, TwoWritersAtOnceNeverInterleaveLines)
{
    TemporaryFolder folder;
    const std::string file = folder.path + "/log/shell.jsonl";
    // Lines far larger than a pipe's atomic size, from two threads at once.
    const std::string filler(20000, 'x');
    auto writer = [&](int who) {
        for (int i = 0; i < 300; ++i)
            ASSERT_TRUE(append({{"kind", "child-exit"}, {"who", who}, {"i", i}, {"filler", filler}}, file));
    };
    std::thread first(writer, 1), second(writer, 2);
    first.join();
    second.join();

    std::ifstream log(file);
    std::string line;
    int counts[3] = {};
    while (std::getline(log, line)) {
        auto record = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(record.is_discarded()) << line.substr(0, 80);
        EXPECT_EQ(record["pid"], getpid());
        EXPECT_TRUE(record["at"].is_string());
        ++counts[record["who"].get<int>()];
    }
    EXPECT_EQ(counts[1], 300);
    EXPECT_EQ(counts[2], 300);
}

TEST(DeathLog, OnlyRecordsWithAKindGetTheirTimeAndTheHostsPid)
{
    TemporaryFolder folder;
    const std::string file = folder.path + "/links.jsonl";
    ASSERT_TRUE(append({{"url", "x://y"}, {"pid", 7}}, file));
    ASSERT_TRUE(append({{"kind", "shell-stuck"}, {"at", "kept"}, {"pid", 7}}, file));
    std::ifstream log(file);
    std::string line;
    std::getline(log, line);
    EXPECT_EQ(line, R"({"pid":7,"url":"x://y"})");
    std::getline(log, line);
    EXPECT_EQ(line, R"({"at":"kept","kind":"shell-stuck","pid":)" + std::to_string(getpid()) + "}");
}

TEST(DeathLog, AFolderGivesEachProcessItsOwnFile)
{
    TemporaryFolder folder;
    setTheDeathLog("com.example.acme", folder.path + "/logs");
    std::string first = deathLog(100);
    EXPECT_EQ(first.rfind(folder.path + "/logs/shell-", 0), 0u);
    EXPECT_TRUE(first.ends_with("-100.jsonl"));
    EXPECT_EQ(first.find(':'), std::string::npos);
    ASSERT_TRUE(append({{"kind", "x"}}, first));
    EXPECT_EQ(deathLog(100), first);                 // found again, not made anew
    EXPECT_NE(deathLog(200), first);
    EXPECT_FALSE(deathLog(1000).ends_with("-100.jsonl"));

    setTheDeathLog("com.example.acme", folder.path + "/one.jsonl");
    EXPECT_EQ(deathLog(100), folder.path + "/one.jsonl");
    setenv("HOME", folder.path.c_str(), 1);
    setTheDeathLog("com.example.acme", std::nullopt);
    EXPECT_EQ(deathLog(100), folder.path + "/Library/Application Support/com.example.acme/shell.jsonl");
}
