// Arming the declared hot keys as the front application changes, with 10,
// 100 and 1,000 keys: half of them wanted only while one application is in
// front, and a remote-session client taking turns with it, so that every
// arm registers or releases half the keys and reads the remote configuration
// and bridge for each key. Arming should be linear in the number of keys;
// the figures printed are the time per key against 10 keys' (goal at most
// 1.5), from medians of interleaved runs on the headless desktop.
#include "hotkeys/chords.h"
#include "hotkeys/hot_key_owner.h"
#include "hotkeys/remote.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kestrune;

namespace {

constexpr int REPETITIONS = 15;
const std::string front = "com.example.front";
const std::string remote = "com.remote.client";

std::vector<hotkeys::HotKey> keysOf(int count)
{
    static const char* modifiers[] = {"", "⌘", "⌥", "⌃", "⇧", "⌘⌥", "⌘⌃", "⌘⇧", "⌥⌃", "⌥⇧", "⌃⇧", "⌘⌥⌃", "⌘⌥⇧", "⌘⌃⇧", "⌥⌃⇧", "⌘⌥⌃⇧"};
    static const std::string keys = "ASDFHGZXCVBQWERYTOUIPLJKNM1234567890";
    std::vector<hotkeys::HotKey> declared;
    for (int i = 0; i < count; ++i) {
        hotkeys::HotKey key;
        key.key = std::string(modifiers[(i / keys.size()) % 16]) + keys[i % keys.size()];
        key.url = "bench://key/" + std::to_string(i);
        key.when = i % 2 ? "always" : "front:" + front;
        declared.push_back(key);
    }
    return declared;
}

// One arm to each application, timed.
double secondsToArm(hotkeys::HotKeyOwner& owner)
{
    auto start = std::chrono::steady_clock::now();
    owner.arm(front);
    owner.arm(remote);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    platform::markTheMainThread();
    char folder[] = "/tmp/kestrune-hotkeys-bench-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string home = folder;
    setenv("HOME", home.c_str(), 1);
    std::system(("mkdir -p '" + home + "/Remote'").c_str());
    std::ofstream(home + "/Remote/config.json") << R"({"forward":"1"})";
    std::ofstream(home + "/Remote/remote-bridge.json") << R"({"routes":{"⌘A":"burada","⌘S":"köprü"},"press":["/bin/true"]})";
    hotkeys::readTheRemoteSettings({{"KestruneRemoteMachines", {{"bundles", {remote}}, {"config", "Remote/config.json"}, {"key", "forward"}}}});
    hotkeys::makeTheKeyTables(platform::KeyboardLayoutType::ansi);

    const int counts[] = {10, 100, 1000};
    std::vector<std::unique_ptr<hotkeys::HotKeyOwner>> owners;
    for (int count : counts)
        owners.push_back(std::make_unique<hotkeys::HotKeyOwner>(keysOf(count), home + "/activation-" + std::to_string(count) + ".json"));
    std::vector<std::vector<double>> times(owners.size());
    for (int round = 0; round < REPETITIONS; ++round) {
        for (std::size_t i = 0; i < owners.size(); ++i)
            times[i].push_back(secondsToArm(*owners[i]));
    }
    const double base = median(times[0]) / counts[0];
    for (std::size_t i = 0; i < owners.size(); ++i) {
        double perKey = median(times[i]) / counts[i];
        std::printf("arming %4d hot keys, two front changes: %8.3f ms, %6.2f us a key, %.2fx the time a key of 10 keys (goal at most 1.5x)\n",
                    counts[i], median(times[i]) * 1000, perKey * 1e6, perKey / base);
    }
    std::system(("rm -rf '" + home + "'").c_str());
    return 0;
}
