// The shell's menu as rows: a flat list of JSON objects, each naming its
// submenu's row by "parent". What is derived from the list without drawing
// it: the published tree, the cleanup of separators, footer rows, titles.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::menu {

using Row = nlohmann::json;
using Rows = std::vector<Row>;

// Identifiers of the rows the host appends itself; a shell row that uses
// the prefix counts as a footer row.
inline const std::string hostRowPrefix = "host.";

// Submenus nest at most this deep, drawn or published: a submenu row below
// it opens nothing (drawn) or an empty submenu (published). Menus are
// copied and encoded level by level, so the depth must not be the input's.
inline constexpr int MENU_DEPTH_LIMIT = 32;

// A member of the row when it has that JSON type; absent otherwise.
std::optional<std::string_view> stringOf(const Row& row, const char* key);
// Whether the member is the boolean true.
bool isTrue(const Row& row, const char* key);
bool isSeparator(const Row& row);

// Footer rows are drawn but never published: "section":"footer",
// "kind":"setup", or an identifier under hostRowPrefix; never a separator.
bool isFooterRow(const Row& row);

// The rows without separators that would open or close their group of
// siblings or follow another separator of it; order kept. Linear in the
// number of rows.
Rows withoutStraySeparators(const Rows& rows);

// The published tree: the rows nested under their submenu rows, cleaned of
// the leading header, footer rows and stray separators, each entry
// {"separator":true} or {"id","title","enabled"[,"symbol","key","row",
// "checked","submenu"]}. A submenu identifier is expanded once: a loop, or
// a second submenu row with the same identifier, publishes an empty
// submenu; so do submenus beyond MENU_DEPTH_LIMIT.
nlohmann::json published(const Rows& rows);

// The "title" of the first non-separator row with this identifier.
std::optional<std::string> titleOf(const Rows& rows, std::string_view identifier);

} // namespace kestrune::menu
