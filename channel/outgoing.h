// What the host tells the shell: the sending gate every sender goes through,
// and the "front" message that names the application in front.
#pragma once

#include "channel/inbox.h"
#include "platform/desktop/workspace.h"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <optional>
#include <string>

namespace kestrune::channel {

// A message to the shell: keys stay in the order they were put in.
using Message = nlohmann::ordered_json;

// Set once at start-up by the shell's supervisor: the current shell's inbox
// while messages may go to it (a shell runs, it is piped and no replacement
// is under way), else null.
void setTheOpenInbox(std::function<ChildInbox*()> openInbox);

// True when a message may go to the shell now.
bool theChildCanBeTold();

// Sends `message` as one JSON line, keys in their own order, when the gate
// is open; otherwise, or when it cannot be encoded, drops it silently.
void tellTheChild(const Message& message);

// Sends bytes that are already one or more whole lines through the gate;
// true when the inbox took them.
bool sendThroughTheGate(std::string lines);

// The bundle identifier of the application in front, if it has one.
std::optional<std::string> frontmostIdentifier();

// Sends {"front": identifier} when the shell is told the front and the gate
// is open; nothing when the identifier is absent.
void tellTheChildTheFront(const std::optional<std::string>& identifier);
void tellTheChildTheFront();

// What the activation observer does with one activation.
void tellTheChildAboutActivation(const std::optional<platform::RunningApplication>& application);

// Start-up: the shell is told the front when it is piped and its descriptor
// says "front":"tell"; then application activations are observed for the
// rest of the process's life.
void decideWhetherToTellTheFront(bool piped, const std::optional<std::string>& front);
bool tellsTheChildTheFront();

} // namespace kestrune::channel
