#include "hotkeys/hot_key_owner.h"

#include "hotkeys/chords.h"
#include "hotkeys/remote.h"

#include "channel/outgoing.h"
#include "links/delivery.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

namespace kestrune::hotkeys {

HotKeyOwner::HotKeyOwner(std::vector<HotKey> keys, std::string activationFile)
    : keys_(std::move(keys))
    , references_(keys_.size())
    , statuses_(keys_.size(), unregisteredHotKeyStatus)
    , activationFile_(std::move(activationFile))
    , self_(std::make_shared<HotKeyOwner*>(this))
{
    platform::assertOnTheMainThread("HotKeyOwner");
    // The handlers stay installed for the process's life and never hold the
    // owner itself.
    std::weak_ptr<HotKeyOwner*> weak = self_;
    const std::size_t declared = keys_.size();
    platform::hotKeys().addHotKeyHandler([weak, declared](const platform::HotKeyID& id) {
        if (id.signature != hotKeySignature || id.id >= declared)
            return platform::EVENT_NOT_HANDLED_ERR;
        if (auto owner = weak.lock())
            (*owner)->fire(id.id);
        return platform::NO_ERR;
    });
    platform::workspace().observeWorkspace(platform::WorkspaceNotification::didActivateApplication,
                                           [weak](const std::optional<platform::RunningApplication>& application) {
                                               if (auto owner = weak.lock())
                                                   (*owner)->arm(application ? application->bundleIdentifier : std::nullopt);
                                           });
    auto armForTheFront = [weak] {
        if (auto owner = weak.lock())
            (*owner)->arm(channel::frontmostIdentifier());
    };
    observeTheSession(armForTheFront);
    arm(channel::frontmostIdentifier());
    // Anything written in the remote configuration's folder (the
    // configuration, the bridge) may change what yields: arm again.
    if (auto config = remoteConfigPath()) {
        std::string configFolder = platform::deletingLastComponent(*config);
        platform::makeFolders(configFolder);
        auto changed = [armForTheFront](const std::vector<std::string>& names) {
            // The owner's own activation file may live in the same folder:
            // writing it must not arm again, and again.
            for (const auto& name : names) {
                if (name != activationFileName && name.rfind("." + activationFileName + ".", 0) != 0) {
                    armForTheFront();
                    return;
                }
            }
        };
        if (auto watch = platform::watchFolder(configFolder, changed))
            configWatch_ = std::move(*watch);
    }
}

void HotKeyOwner::arm(const std::optional<std::string>& front)
{
    platform::assertOnTheMainThread("HotKeyOwner::arm");
    refreshTheSession(front);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        auto route = remoteRouteOf(keys_[i].key, front);
        if (!registersNow(keys_[i].when, front))
            unregisterHotKey(i);
        else if (yieldsToTheRemote(front)) {
            if (route == bridgeRoute || route == localRoute)
                registerHotKey(i);
            else
                unregisterHotKey(i);
        } else {
            registerHotKey(i);
        }
    }
    publish();
}

void HotKeyOwner::registerHotKey(std::size_t index)
{
    platform::assertOnTheMainThread("HotKeyOwner::registerHotKey");
    if (statuses_[index] == platform::NO_ERR)
        return;
    auto chord = chordOf(keys_[index].key);
    if (!chord) {
        statuses_[index] = unsupportedHotKeyStatus;
        return;
    }
    auto registration = platform::hotKeys().registerHotKey(chord->code, chord->modifiers,
                                                            {hotKeySignature, uint32_t(index)}, 0);
    statuses_[index] = registration.status;
    references_[index] = registration.status == platform::NO_ERR ? std::optional<uint64_t>(registration.reference)
                                                                 : std::nullopt;
}

void HotKeyOwner::unregisterHotKey(std::size_t index)
{
    platform::assertOnTheMainThread("HotKeyOwner::unregisterHotKey");
    // A hot key whose registration failed keeps its error.
    if (statuses_[index] != platform::NO_ERR || !references_[index])
        return;
    platform::hotKeys().unregisterHotKey(*references_[index]);
    references_[index].reset();
    statuses_[index] = unregisteredHotKeyStatus;
}

void HotKeyOwner::fire(std::size_t index)
{
    platform::assertOnTheMainThread("HotKeyOwner::fire");
    if (index >= keys_.size())
        return;
    if (forwardedToTheRemote(keys_[index].key))
        return;
    links::yieldToTheChild();
    links::deliver(keys_[index].url, "hotkey");
}

void HotKeyOwner::publish()
{
    platform::assertOnTheMainThread("HotKeyOwner::publish");
    nlohmann::json rows = nlohmann::json::array();
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        auto chord = chordOf(keys_[i].key);
        rows.push_back({
            {"action", keys_[i].action ? *keys_[i].action : actionOf(keys_[i].url)},
            {"args", nlohmann::json::array()},
            {"code", chord ? int64_t(chord->code) : int64_t(-1)},
            {"key", publishedKey(keys_[i].key)},
            {"status", statuses_[i]},
        });
    }
    nlohmann::json file = {{"at", platform::clock.now()}, {"pid", getpid()}, {"rows", std::move(rows)}};
    std::string bytes = platform::jsonLine(file);
    // A key string that is not UTF-8 cannot be encoded: nothing is written.
    if (bytes == "{}")
        return;
    platform::makeFolders(platform::deletingLastComponent(activationFile_));
    (void)platform::replaceAtomically(activationFile_, bytes);
}

std::string activationFileOf(const std::string& identity)
{
    std::string folder = platform::appendingComponent(platform::applicationSupportFolder(), identity);
    return platform::appendingComponent(folder, activationFileName);
}

} // namespace kestrune::hotkeys
