// Files and folders, as the host needs them: whole-file reads, atomic
// replacement, listings, and the user's folders.
#pragma once

#include "platform/result.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The user's home folder: $HOME, else the password database's entry.
std::string homeFolder();

// "~/x" with the home folder in place of "~"; any other text unchanged.
std::string expandingTilde(const std::string& path);

// $HOME/Library/Application Support, where hosting parents, adopters and
// other tools look for what the host publishes.
std::string applicationSupportFolder();

// The folder's entry names (not paths), in the order the system lists them;
// nothing when the folder is missing or unreadable.
std::vector<std::string> entriesOf(const std::string& folder);

// The text after the last "/", once trailing slashes are gone.
std::string lastComponent(std::string_view path);

// The path without its last component and without a trailing "/".
std::string deletingLastComponent(std::string_view path);

// The path with its symbolic links, "." and ".." resolved, as the kernel
// names an executable; the path as given when it cannot be resolved.
std::string standardizedPath(const std::string& path);

// `base` + "/" + `component`, with exactly one "/" between them.
std::string appendingComponent(std::string_view base, std::string_view component);

bool fileExists(const std::string& path);                 // files and folders alike
bool isExecutableFile(const std::string& path);           // a regular file we may execute
bool isFolder(const std::string& path);
bool isSocket(const std::string& path);                   // the path itself, not what a link points at

// Removes the file at `path`; true when it is gone afterwards.
bool removeFile(const std::string& path);

// The whole file, or nothing when it cannot be read, is not a regular file
// or is larger than `limit` bytes.
std::optional<std::string> contentsOf(const std::string& path, std::size_t limit);

// Creates the folder and its missing parents; true when it exists afterwards.
bool makeFolders(const std::string& folder);

// The same, but a folder it creates at `folder` itself is open to its owner
// only (its parents are made as makeFolders makes them). A folder already
// there keeps its mode: it may be shared with files others are meant to read.
bool makePrivateFolder(const std::string& folder);

// Replaces `path` with `bytes` atomically: a temporary file in the same
// folder, synced, then renamed over it.
Result<void> replaceAtomically(const std::string& path, std::string_view bytes);

} // namespace platform
