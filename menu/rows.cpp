#include "menu/rows.h"

#include <nlohmann/json.hpp>

#include <unordered_map>
#include <unordered_set>

namespace kestrune::menu {

namespace {

// The group a row belongs to for the separator cleanup: its "parent"
// string, or the top level when it has none (which differs from "").
struct Group {
    bool topLevel;
    std::string_view parent;
};

Group groupOf(const Row& row)
{
    auto parent = stringOf(row, "parent");
    return parent ? Group{false, *parent} : Group{true, {}};
}

// Per-group state, with the top level kept apart from the named groups.
template<typename State>
class GroupTable {
public:
    State& operator[](const Group& group) { return group.topLevel ? topLevel_ : named_[group.parent]; }

private:
    State topLevel_{};
    std::unordered_map<std::string_view, State> named_;
};

// The key a row hangs under in the published tree.
std::string_view parentKeyOf(const Row& row)
{
    return stringOf(row, "parent").value_or(std::string_view());
}

// A row as the published tree shows it, without its children.
nlohmann::json publishedRow(const Row& row)
{
    nlohmann::json entry = nlohmann::json::object();
    entry["id"] = std::string(stringOf(row, "id").value_or(""));
    entry["title"] = std::string(stringOf(row, "title").value_or(""));
    entry["enabled"] = isTrue(row, "enabled");
    for (const char* key : {"symbol", "key", "row"}) {
        if (auto value = stringOf(row, key))
            entry[key] = std::string(*value);
    }
    if (auto checked = row.find("checked"); checked != row.end() && checked->is_boolean())
        entry["checked"] = checked->get<bool>();
    return entry;
}

} // namespace

std::optional<std::string_view> stringOf(const Row& row, const char* key)
{
    if (!row.is_object())
        return std::nullopt;
    auto found = row.find(key);
    if (found == row.end() || !found->is_string())
        return std::nullopt;
    return std::string_view(found->get_ref<const std::string&>());
}

bool isTrue(const Row& row, const char* key)
{
    if (!row.is_object())
        return false;
    auto found = row.find(key);
    return found != row.end() && found->is_boolean() && found->get<bool>();
}

bool isSeparator(const Row& row)
{
    return stringOf(row, "kind") == "separator";
}

bool isFooterRow(const Row& row)
{
    if (isSeparator(row))
        return false;
    if (stringOf(row, "section") == "footer" || stringOf(row, "kind") == "setup")
        return true;
    auto id = stringOf(row, "id");
    return id && id->substr(0, hostRowPrefix.size()) == hostRowPrefix;
}

Rows withoutStraySeparators(const Rows& rows)
{
    // First pass: a separator stays only after a sibling that is no
    // separator.
    struct Seen {
        bool any = false;
        bool lastIsSeparator = false;
    };
    GroupTable<Seen> seen;
    std::vector<const Row*> kept;
    kept.reserve(rows.size());
    for (const auto& row : rows) {
        Seen& group = seen[groupOf(row)];
        if (isSeparator(row)) {
            if (!group.any || group.lastIsSeparator)
                continue;
            group.lastIsSeparator = true;
        } else {
            group.lastIsSeparator = false;
        }
        group.any = true;
        kept.push_back(&row);
    }
    // Second pass, from the end: a separator stays only when a sibling
    // follows it.
    GroupTable<bool> followed;
    std::vector<bool> keep(kept.size(), true);
    for (std::size_t i = kept.size(); i-- > 0;) {
        bool& later = followed[groupOf(*kept[i])];
        if (isSeparator(*kept[i]) && !later)
            keep[i] = false;
        later = true;
    }
    Rows result;
    result.reserve(kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (keep[i])
            result.push_back(*kept[i]);
    }
    return result;
}

nlohmann::json published(const Rows& rows)
{
    // The leading header, and a separator right after it.
    std::size_t first = 0;
    if (first < rows.size() && !stringOf(rows[first], "parent") && stringOf(rows[first], "kind") == "header") {
        ++first;
        if (first < rows.size() && !stringOf(rows[first], "parent") && isSeparator(rows[first]))
            ++first;
    }
    // Footer rows go, and so do their children (deeper descendants are
    // unreachable once their ancestors are gone).
    std::unordered_set<std::string_view> footerIds;
    for (std::size_t i = first; i < rows.size(); ++i) {
        if (isFooterRow(rows[i])) {
            if (auto id = stringOf(rows[i], "id"))
                footerIds.insert(*id);
        }
    }
    Rows candidates;
    candidates.reserve(rows.size() - first);
    for (std::size_t i = first; i < rows.size(); ++i) {
        if (!isFooterRow(rows[i]) && !footerIds.count(parentKeyOf(rows[i])))
            candidates.push_back(rows[i]);
    }
    const Rows cleaned = withoutStraySeparators(candidates);

    // The rows of each parent key, in order.
    std::unordered_map<std::string_view, std::vector<const Row*>> children;
    for (const auto& row : cleaned)
        children[parentKeyOf(row)].push_back(&row);

    // Depth first, in the rows' order, without recursion: each frame fills
    // one array; a child frame only lives while its parent waits, so the
    // arrays it points into do not move.
    struct Frame {
        const std::vector<const Row*>* entries;
        std::size_t next;
        nlohmann::json* into;
    };
    static const std::vector<const Row*> none;
    nlohmann::json tree = nlohmann::json::array();
    std::unordered_set<std::string_view> expanded{std::string_view()};
    auto entriesOf = [&](std::string_view key) {
        auto found = children.find(key);
        return found == children.end() ? &none : &found->second;
    };
    std::vector<Frame> frames{{entriesOf({}), 0, &tree}};
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.next == frame.entries->size()) {
            frames.pop_back();
            continue;
        }
        const Row& row = *(*frame.entries)[frame.next++];
        if (isSeparator(row)) {
            frame.into->push_back({{"separator", true}});
            continue;
        }
        nlohmann::json entry = publishedRow(row);
        if (!isTrue(row, "submenu")) {
            frame.into->push_back(std::move(entry));
            continue;
        }
        entry["submenu"] = nlohmann::json::array();
        frame.into->push_back(std::move(entry));
        std::string_view id = stringOf(row, "id").value_or(std::string_view());
        if (frames.size() > static_cast<std::size_t>(MENU_DEPTH_LIMIT) || !expanded.insert(id).second)
            continue;
        nlohmann::json* submenu = &frame.into->back()["submenu"];
        frames.push_back({entriesOf(id), 0, submenu});
    }
    return tree;
}

std::optional<std::string> titleOf(const Rows& rows, std::string_view identifier)
{
    for (const auto& row : rows) {
        if (isSeparator(row) || stringOf(row, "id") != identifier)
            continue;
        auto title = stringOf(row, "title");
        return title ? std::optional<std::string>(std::string(*title)) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace kestrune::menu
