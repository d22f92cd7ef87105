// The owner of the hot keys declared in the Info.plist: it registers those
// that the application in front allows, releases those that step aside for
// a remote-session client, hands presses to the shell as links (or forwards
// them to the remote machine), and writes what it holds to the activation
// file after every change.
#pragma once

#include "hotkeys/declared.h"

#include "platform/desktop/hot_keys.h"
#include "platform/desktop/values.h"
#include "platform/folder_watch.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::hotkeys {

// A hot key's status: 0 registered, or one of these, or the error the
// system's registration gave.
inline constexpr int32_t unregisteredHotKeyStatus = -1;
inline constexpr int32_t yieldedHotKeyStatus = -3;
inline constexpr int32_t unsupportedHotKeyStatus = -50;

// The signature of every hot key this owner registers.
inline constexpr uint32_t hotKeySignature = platform::fourCharCode("KsHK");

inline const std::string activationFileName = "shortcut-activation.json";

class HotKeyOwner {
public:
    // Registers what the application in front allows and starts following
    // activations, session changes and the remote configuration's folder.
    HotKeyOwner(std::vector<HotKey> keys, std::string activationFile);
    HotKeyOwner(const HotKeyOwner&) = delete;
    HotKeyOwner& operator=(const HotKeyOwner&) = delete;

    // Brings every registration in line with `front` (nothing: no front
    // application known), then publishes.
    void arm(const std::optional<std::string>& front);
    void registerHotKey(std::size_t index);
    void unregisterHotKey(std::size_t index);
    // A press of hot key `index`.
    void fire(std::size_t index);
    // Writes the activation file.
    void publish();

    const std::vector<int32_t>& statuses() const { return statuses_; }
    const std::string& activationFile() const { return activationFile_; }

private:
    std::vector<HotKey> keys_;
    std::vector<std::optional<uint64_t>> references_;
    std::vector<int32_t> statuses_;
    std::string activationFile_;
    std::unique_ptr<platform::FolderWatch> configWatch_;
    // What the handlers installed for the process's life reach this owner
    // through: they find nothing once it is gone.
    std::shared_ptr<HotKeyOwner*> self_;
};

// The activation file of the application named `identity`, in its folder.
std::string activationFileOf(const std::string& identity);

} // namespace kestrune::hotkeys
