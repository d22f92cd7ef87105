// What the Info.plist says about the links the application takes: its URL
// schemes, its services and its link files. Read once at start-up.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrune::links {

inline const std::string linkExtensionKey = "KestruneLinkExtension";
inline constexpr std::size_t linkFileBytes = 32768;   // largest link file and longest URL accepted
inline const std::string linkRelayPrefixKey = "KestruneLinkRelayPrefix";

// Every string of the CFBundleURLSchemes arrays of CFBundleURLTypes, then of
// "KestruneURLSchemes", lower-cased. Entries of the wrong shape add nothing.
std::set<std::string> schemesOf(const nlohmann::json& info);

// NSServices when it is an array of dictionaries, else nothing.
std::vector<nlohmann::json> servicesOf(const nlohmann::json& info);

// ASCII lower case, as scheme and extension comparisons use it.
std::string lowerCased(std::string text);

// Start-up step 16: schemes, services and the link-file settings.
void readTheLinkSettings(const nlohmann::json& info);

// What readTheLinkSettings() found.
const std::set<std::string>& schemes();                 // lower-cased
const std::vector<nlohmann::json>& services();          // the NSServices dictionaries
const std::optional<std::string>& linkExtension();      // lower-cased
const std::optional<std::string>& linkRelayPrefix();    // lower-cased

// Whether the bundle declares URL schemes or services: then the host talks
// to its shell over pipes.
bool takesLinks();

} // namespace kestrune::links
