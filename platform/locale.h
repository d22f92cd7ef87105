// The user's language settings (the locale's preferred languages).
#pragma once

#include <string>
#include <vector>

namespace platform {

// The user's preferred languages, most wanted first ("tr_TR.UTF-8", "en");
// empty when the user set none.
std::vector<std::string> preferredLanguages();

} // namespace platform
