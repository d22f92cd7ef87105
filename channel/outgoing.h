// What the host tells the shell: the sending gate every sender goes through,
// and the "front" message that names the application in front.
#pragma once

#include "channel/json_line.h"
#include "platform/desktop/workspace.h"

#include <optional>
#include <string>

namespace kestrune {

// Set once at start-up: the shell is piped and its descriptor says
// "front":"tell".
inline bool tellsTheChildTheFront = false;

// True when a message may go to the shell now: it has an inbox, it runs,
// and no replacement of it is under way.
bool theChildCanBeTold();

// Sends `message` as one JSON line, keys in their own order, when the gate
// is open; otherwise, or when it cannot be encoded, drops it silently.
void tellTheChild(const Message& message);

// The bundle identifier of the application in front, if it has one.
std::optional<std::string> frontmostIdentifier();

// Sends {"front": identifier} when the shell is told the front and the gate
// is open; nothing when the identifier is absent.
void tellTheChildTheFront(const std::optional<std::string>& identifier);
void tellTheChildTheFront();

// What the activation observer does with one activation.
void tellTheChildAboutActivation(const std::optional<platform::RunningApplication>& application);

// Start-up: decides `tellsTheChildTheFront` from `piped` and the descriptor's
// "front" value and, when it is true, observes application activations for
// the rest of the process's life.
void decideWhetherToTellTheFront();

} // namespace kestrune
