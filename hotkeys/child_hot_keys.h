// Hot keys the shell declares at run time in a "hotkeys" message, already as
// key codes and modifier masks. Each message replaces the whole list; after
// every arming the shell hears the status of each hot key, and a press hands
// its URL to the shell as a link (or forwards it to the remote machine).
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::hotkeys {

// The signature of the shell's hot keys: not the declared ones', so both
// owners can hold registrations at once.
inline constexpr uint32_t childHotKeySignature = 0x4B73434B;   // 'KsCK'

class ChildHotKeys {
public:
    struct Row {
        std::string key;   // the shell's name for it, never parsed
        uint32_t code = 0;
        uint32_t modifiers = 0;
        uint32_t options = 0;
        std::string url;
        bool operator==(const Row&) const = default;
    };

    // Installs the press handler and follows activations and session
    // changes. Nothing is registered before the shell's first list.
    ChildHotKeys();
    ChildHotKeys(const ChildHotKeys&) = delete;
    ChildHotKeys& operator=(const ChildHotKeys&) = delete;

    // A "hotkeys" message line: its list replaces every registration.
    void takeLine(std::string_view line);
    void take(std::vector<Row> rows);
    // Brings every registration in line with `front` and tells the shell.
    void arm(const std::optional<std::string>& front);
    void registerHotKey(std::size_t index);
    void unregisterHotKey(std::size_t index, bool yielded = false);
    void fire(std::size_t index);

    const std::vector<Row>& rows() const { return rows_; }
    const std::vector<int32_t>& statuses() const { return statuses_; }

private:
    std::vector<Row> rows_;
    std::vector<std::optional<uint64_t>> references_;
    std::vector<int32_t> statuses_;
    // What the handlers installed for the process's life reach this owner
    // through: they find nothing once it is gone.
    std::shared_ptr<ChildHotKeys*> self_;
};

// The rows of a "hotkeys" list: elements without a string "key" and "url"
// and integer "code" and "modifiers" between 0 and 4294967295 are left out;
// "options" is 0 unless it is such an integer (one beyond that range leaves
// the element out, as it cannot be registered as given).
std::vector<ChildHotKeys::Row> rowsOf(const nlohmann::json& list);

} // namespace kestrune::hotkeys
