// Hot keys and the keyboard of the simulated session: the chords hosts
// registered (each held once in the whole session), chords made to fail,
// the keyboard's layout type, and the user pressing a chord.
#pragma once

#include "chords.h"
#include "request.h"
#include "topic.h"

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace desktop {

class Session;

class HotKeys final : public Topic {
public:
    explicit HotKeys(Session& session);

    std::optional<std::string> load(const json& session) override;
    void describe(json& state) override;
    void describeHost(const HostRecord& host, json& record) override;
    void applicationQuit(pid_t pid) override;

private:
    struct HotKey {
        uint64_t reference = 0;
        uint64_t connection = 0;   // 0: taken for an application of the session
        pid_t pid = 0;
        uint32_t code = 0, modifiers = 0, signature = 0, id = 0, options = 0;
    };

    // The chord a client request names, by text or by numbers.
    std::optional<Chord> chordIn(const json& request);

    void registerHotKey(Request& request);
    void unregisterHotKey(Request& request);
    void keyboardLayoutType(Request& request);
    void setKeyboardLayoutType(Request& request);
    void refuseHotKey(Request& request);
    void takeHotKey(Request& request);
    void releaseHotKey(Request& request);
    void heldHotKeys(Request& request);
    void press(Request& request);
    // Every held hot key, hosts' and applications' alike.
    json heldJson() const;

    Session& session_;
    std::vector<HotKey> hotKeys_;
    uint64_t nextReference_ = 1;
    std::map<std::pair<uint32_t, uint32_t>, int32_t> refusedChords_;
    platform::KeyboardLayoutType keyboard_ = platform::KeyboardLayoutType::ansi;
};

} // namespace desktop
