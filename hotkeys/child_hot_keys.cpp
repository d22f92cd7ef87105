#include "hotkeys/child_hot_keys.h"

#include "hotkeys/hot_key_owner.h"
#include "hotkeys/remote.h"

#include "channel/outgoing.h"
#include "links/delivery.h"
#include "platform/desktop.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"

#include <nlohmann/json.hpp>

namespace kestrune::hotkeys {

static_assert(childHotKeySignature == platform::fourCharCode("KsCK"));

namespace {
// The reader let the line through only when it parsed within this depth.
constexpr int MESSAGE_DEPTH_LIMIT = 1024;

// A whole number from 0 to 4294967295.
std::optional<uint32_t> unsigned32(const nlohmann::json& value)
{
    if (value.is_number_unsigned()) {
        auto number = value.get<uint64_t>();
        if (number <= UINT32_MAX)
            return uint32_t(number);
    } else if (value.is_number_integer()) {
        auto number = value.get<int64_t>();
        if (number >= 0 && number <= int64_t(UINT32_MAX))
            return uint32_t(number);
    }
    return std::nullopt;
}
} // namespace

std::vector<ChildHotKeys::Row> rowsOf(const nlohmann::json& list)
{
    std::vector<ChildHotKeys::Row> rows;
    if (!list.is_array())
        return rows;
    for (const auto& element : list) {
        if (!element.is_object())
            continue;
        auto key = element.find("key");
        auto url = element.find("url");
        auto code = element.find("code");
        auto modifiers = element.find("modifiers");
        if (key == element.end() || !key->is_string() || url == element.end() || !url->is_string()
            || code == element.end() || modifiers == element.end())
            continue;
        auto codeValue = unsigned32(*code);
        auto modifiersValue = unsigned32(*modifiers);
        if (!codeValue || !modifiersValue)
            continue;
        uint32_t options = 0;
        if (auto given = element.find("options"); given != element.end() && given->is_number_integer()) {
            auto optionsValue = unsigned32(*given);
            if (!optionsValue)
                continue;
            options = *optionsValue;
        }
        rows.push_back({key->get<std::string>(), *codeValue, *modifiersValue, options, url->get<std::string>()});
    }
    return rows;
}

ChildHotKeys::ChildHotKeys()
    : self_(std::make_shared<ChildHotKeys*>(this))
{
    platform::assertOnTheMainThread("ChildHotKeys");
    std::weak_ptr<ChildHotKeys*> weak = self_;
    platform::hotKeys().addHotKeyHandler([weak](const platform::HotKeyID& id) {
        if (id.signature != childHotKeySignature)
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
    observeTheSession([weak] {
        if (auto owner = weak.lock())
            (*owner)->arm(channel::frontmostIdentifier());
    });
}

void ChildHotKeys::takeLine(std::string_view line)
{
    platform::assertOnTheMainThread("ChildHotKeys::takeLine");
    auto message = platform::objectWithin(line, MESSAGE_DEPTH_LIMIT);
    if (!message)
        return;
    auto list = message->find("hotkeys");
    if (list == message->end() || !list->is_array())
        return;
    take(rowsOf(*list));
}

void ChildHotKeys::take(std::vector<Row> rows)
{
    platform::assertOnTheMainThread("ChildHotKeys::take");
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (statuses_[i] == platform::NO_ERR && references_[i])
            platform::hotKeys().unregisterHotKey(*references_[i]);
    }
    rows_ = std::move(rows);
    references_.assign(rows_.size(), std::nullopt);
    statuses_.assign(rows_.size(), unregisteredHotKeyStatus);
    arm(channel::frontmostIdentifier());
}

void ChildHotKeys::arm(const std::optional<std::string>& front)
{
    platform::assertOnTheMainThread("ChildHotKeys::arm");
    if (rows_.empty())
        return;
    refreshTheSession(front);
    bool yields = yieldsToTheRemote(front);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        auto route = remoteRouteOf(rows_[i].key, front);
        if (!yields || route == bridgeRoute || route == localRoute)
            registerHotKey(i);
        else
            unregisterHotKey(i, true);
    }
    nlohmann::ordered_json report = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < rows_.size(); ++i)
        report.push_back({{"key", rows_[i].key}, {"status", statuses_[i]}});
    channel::tellTheChild({{"hotkeys", std::move(report)}});
}

void ChildHotKeys::registerHotKey(std::size_t index)
{
    platform::assertOnTheMainThread("ChildHotKeys::registerHotKey");
    if (statuses_[index] == platform::NO_ERR)
        return;
    const Row& row = rows_[index];
    auto registration = platform::hotKeys().registerHotKey(row.code, row.modifiers,
                                                            {childHotKeySignature, uint32_t(index)}, row.options);
    statuses_[index] = registration.status;
    references_[index] = registration.status == platform::NO_ERR ? std::optional<uint64_t>(registration.reference)
                                                                 : std::nullopt;
}

void ChildHotKeys::unregisterHotKey(std::size_t index, bool yielded)
{
    platform::assertOnTheMainThread("ChildHotKeys::unregisterHotKey");
    if (statuses_[index] == platform::NO_ERR && references_[index])
        platform::hotKeys().unregisterHotKey(*references_[index]);
    references_[index].reset();
    statuses_[index] = yielded ? yieldedHotKeyStatus : unregisteredHotKeyStatus;
}

void ChildHotKeys::fire(std::size_t index)
{
    platform::assertOnTheMainThread("ChildHotKeys::fire");
    // A press that raced with a new, shorter list.
    if (index >= rows_.size())
        return;
    // Unlike a declared hot key's, this press does not first let the shell
    // take activation.
    if (!forwardedToTheRemote(rows_[index].key))
        links::deliver(rows_[index].url, "hotkey");
}


} // namespace kestrune::hotkeys
