#include "hotkeys/remote.h"

#include "hotkeys/chords.h"

#include "channel/outgoing.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/standard_error.h"

#include <nlohmann/json.hpp>

namespace kestrune::hotkeys {

namespace {

RemoteSettings settings;
bool live = false;
std::unique_ptr<platform::Timer> sessionTimer;
std::vector<std::function<void()>> sessionObservers;

std::chrono::milliseconds sessionCheckInterval{1000};
// The files are JSON of a few levels; deeper nesting is not theirs.
constexpr int remoteFileDepth = 16;

// A set of strings, or nothing when the value is not an array of strings.
std::optional<std::set<std::string>> stringsIn(const nlohmann::json& value)
{
    if (!value.is_array())
        return std::nullopt;
    std::set<std::string> strings;
    for (const auto& element : value) {
        if (!element.is_string())
            return std::nullopt;
        strings.insert(element.get<std::string>());
    }
    return strings;
}

std::optional<std::string> stringIn(const nlohmann::json& object, const char* key)
{
    auto value = object.find(key);
    if (value == object.end() || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

// One tick of the session timer: the check runs again with whichever
// application is in front now, the timer goes on unless that check stopped
// it, and a change of the connection found here is announced.
void tick()
{
    bool before = live;
    refreshTheSession(channel::frontmostIdentifier());
    if (sessionTimer)
        sessionTimer = platform::after(sessionCheckInterval, tick);
    if (live != before) {
        auto observers = sessionObservers;
        for (const auto& observer : observers)
            observer();
    }
}

} // namespace

RemoteSettings remoteSettingsOf(const nlohmann::json& info)
{
    RemoteSettings read;
    if (!info.is_object())
        return read;
    auto machines = info.find(remoteMachinesKey);
    if (machines == info.end() || !machines->is_object())
        return read;
    if (auto bundles = machines->find("bundles"); bundles != machines->end())
        read.remoteBundles = stringsIn(*bundles).value_or(std::set<std::string>());
    if (auto sessions = machines->find("session"); sessions != machines->end())
        read.sessionBundles = stringsIn(*sessions).value_or(std::set<std::string>());
    read.remoteConfig = stringIn(*machines, "config");
    read.remoteKey = stringIn(*machines, "key");
    return read;
}

void readTheRemoteSettings(const nlohmann::json& info)
{
    settings = remoteSettingsOf(info);
}

void setTheSessionCheckInterval(std::chrono::milliseconds interval)
{
    sessionCheckInterval = interval;
}

const RemoteSettings& remoteSettings()
{
    return settings;
}

std::optional<std::string> remoteConfigPath()
{
    if (!settings.remoteConfig)
        return std::nullopt;
    return platform::appendingComponent(platform::homeFolder(), *settings.remoteConfig);
}

std::optional<std::string> remoteBridgeFile()
{
    auto config = remoteConfigPath();
    if (!config)
        return std::nullopt;
    return platform::appendingComponent(platform::deletingLastComponent(*config), remoteBridgeName);
}

bool forwardsIn(std::string_view configuration, const std::string& key)
{
    auto object = platform::objectWithin(configuration, remoteFileDepth);
    if (!object)
        return false;
    auto value = object->find(key);
    return value != object->end() && value->is_string() && value->get<std::string>() == "1";
}

bool forwardingIsOn()
{
    auto config = remoteConfigPath();
    if (!config || !settings.remoteKey)
        return false;
    auto text = platform::contentsOf(*config, remoteFileLimit);
    return text && forwardsIn(*text, *settings.remoteKey);
}

bool hasALiveSession(const std::string& bundle)
{
    auto running = platform::workspace().runningApplications(bundle);
    if (running.empty() || running.front().pid <= 0)
        return false;
    return platform::holdsAnEstablishedTCPConnection(running.front().pid);
}

void refreshTheSession(const std::optional<std::string>& front)
{
    platform::assertOnTheMainThread("refreshTheSession");
    if (front && settings.sessionBundles.count(*front) && settings.remoteBundles.count(*front) && forwardingIsOn()) {
        live = hasALiveSession(*front);
        if (!sessionTimer)
            sessionTimer = platform::after(sessionCheckInterval, tick);
        return;
    }
    sessionTimer.reset();
    live = false;
}

bool sessionLive()
{
    return live;
}

bool watchingTheSession()
{
    return sessionTimer != nullptr;
}

bool yieldsToTheRemote(const std::optional<std::string>& front)
{
    return front && settings.remoteBundles.count(*front) && forwardingIsOn()
           && (!settings.sessionBundles.count(*front) || live);
}

std::optional<RemoteBridge> bridgeIn(std::string_view text)
{
    auto object = platform::objectWithin(text, remoteFileDepth);
    if (!object)
        return std::nullopt;
    auto routes = object->find("routes");
    auto press = object->find("press");
    if (routes == object->end() || !routes->is_object() || press == object->end() || !press->is_array() || press->empty())
        return std::nullopt;
    RemoteBridge bridge;
    for (const auto& [key, route] : routes->items()) {
        if (!route.is_string())
            return std::nullopt;
        bridge.routes[key] = route.get<std::string>();
    }
    for (const auto& argument : *press) {
        if (!argument.is_string())
            return std::nullopt;
        bridge.press.push_back(argument.get<std::string>());
    }
    return bridge;
}

std::optional<RemoteBridge> remoteBridge()
{
    auto file = remoteBridgeFile();
    if (!file)
        return std::nullopt;
    auto text = platform::contentsOf(*file, remoteFileLimit);
    if (!text)
        return std::nullopt;
    return bridgeIn(*text);
}

std::optional<std::string> remoteRouteOf(const std::string& key, const std::optional<std::string>& front)
{
    if (!front || !settings.remoteBundles.count(*front) || !forwardingIsOn())
        return std::nullopt;
    if (settings.sessionBundles.count(*front) && !live)
        return std::nullopt;
    auto bridge = remoteBridge();
    if (!bridge)
        return std::nullopt;
    std::string_view bare = key;
    if (bare.substr(0, 4) == "key:")
        bare.remove_prefix(4);
    auto route = bridge->routes.find(std::string(bare));
    if (route == bridge->routes.end())
        return std::nullopt;
    return route->second;
}

void observeTheSession(std::function<void()> observer)
{
    platform::assertOnTheMainThread("observeTheSession");
    sessionObservers.push_back(std::move(observer));
}

void forwardThePress(const RemoteBridge& bridge, const std::string& publishedKey)
{
    platform::Launch press;
    press.program = bridge.press.front();
    for (std::size_t i = 1; i < bridge.press.size(); ++i)
        press.arguments.push_back(bridge.press[i] == "{key}" ? publishedKey : bridge.press[i]);
    press.environment = platform::processEnvironment();
    auto started = platform::launchAndForget(press);
    if (!started)
        platform::sayOnStandardError("remote press failed: " + started.failure().description());
}

bool forwardedToTheRemote(const std::string& key)
{
    if (remoteRouteOf(key, channel::frontmostIdentifier()) != bridgeRoute)
        return false;
    auto bridge = remoteBridge();
    if (!bridge)
        return false;
    forwardThePress(*bridge, publishedKey(key));
    return true;
}

} // namespace kestrune::hotkeys
