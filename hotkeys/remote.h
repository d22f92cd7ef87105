// Remote sessions: while a remote-session client is in front, the user's
// keystrokes are meant for the remote machine, so hot keys step aside unless
// the remote bridge routes them. The settings come from the Info.plist; the
// remote configuration (whether forwarding is on) and the bridge (routes and
// the press command) are files of the remote-session software, read afresh
// at every use.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::hotkeys {

inline const std::string remoteMachinesKey = "KestruneRemoteMachines";
inline const std::string remoteBridgeName = "remote-bridge.json";
// Keeps a hot key registered and forwards its presses to the remote machine.
inline const std::string bridgeRoute = "k\u00F6pr\u00FC";
// Keeps a hot key registered and lets it act here as usual.
inline const std::string localRoute = "burada";
// Posted inside the process when a session client's connection comes or goes.
inline const std::string sessionChanged = "app.kestrune.remote-session-changed";
// The two files are small; anything larger is not one of them.
inline constexpr std::size_t remoteFileLimit = 1024 * 1024;

struct RemoteSettings {
    std::set<std::string> remoteBundles;    // remote-session clients
    std::optional<std::string> remoteConfig;   // relative to the home folder
    std::optional<std::string> remoteKey;
    std::set<std::string> sessionBundles;   // clients that count only while connected
};

// The settings under "KestruneRemoteMachines"; a value of the wrong type (an
// array with anything but strings too) counts as missing.
RemoteSettings remoteSettingsOf(const nlohmann::json& info);

// Start-up: the settings of this bundle, kept for the process's life.
void readTheRemoteSettings(const nlohmann::json& info);
const RemoteSettings& remoteSettings();

// The remote configuration's path under the home folder, and the bridge file
// beside it; nothing without a configuration.
std::optional<std::string> remoteConfigPath();
std::optional<std::string> remoteBridgeFile();

// Whether a configuration's text turns forwarding on: its value under `key`
// is the string "1".
bool forwardsIn(std::string_view configuration, const std::string& key);
bool forwardingIsOn();

// Whether the first running application with this identifier holds an
// established TCP connection.
bool hasALiveSession(const std::string& bundle);

// Start-up: how often a watched session client's connection is checked
// (every second unless tests set it).
void setTheSessionCheckInterval(std::chrono::milliseconds interval);

// Watches a session client in front while forwarding is on: checks its
// connection now and at every interval; otherwise stops watching.
void refreshTheSession(const std::optional<std::string>& front);
bool sessionLive();
bool watchingTheSession();

// Whether hot keys step aside while `front` is in front.
bool yieldsToTheRemote(const std::optional<std::string>& front);

struct RemoteBridge {
    std::map<std::string, std::string> routes;   // key string to route
    std::vector<std::string> press;              // program, then arguments
};
// A bridge file's text as a bridge; nothing when an entry is missing or of
// the wrong type, or the press command is empty.
std::optional<RemoteBridge> bridgeIn(std::string_view text);
std::optional<RemoteBridge> remoteBridge();

// The route of a key string while `front` is in front; nothing when hot
// keys do not yield to it or the bridge has none. A "key:" prefix is dropped.
std::optional<std::string> remoteRouteOf(const std::string& key, const std::optional<std::string>& front);

// Observers of `sessionChanged`, run on the main queue in the order added.
void observeTheSession(std::function<void()> observer);

// Starts the press command with "{key}" arguments replaced by
// `publishedKey`, not waiting for it; says "remote press failed: " and why
// on standard error when it cannot start.
void forwardThePress(const RemoteBridge& bridge, const std::string& publishedKey);

// A press of the hot key named `key`, when the bridge routes it to the
// remote machine for the application in front now: forwarded, and true (even
// when the command could not start: the press was the remote machine's).
bool forwardedToTheRemote(const std::string& key);

} // namespace kestrune::hotkeys
