// Libraries loaded while the host runs (dlopen and dlsym): the views library
// that draws panels and holds the updater.
#pragma once

#include "platform/result.h"

#include <string>

namespace platform {

using LibraryHandle = void*;

// Loads the library at `path`, binding every symbol now. Only a regular file
// is opened (a FIFO would block the loader); the failure's reason is the
// loader's own error text, or what kept the file from being opened.
Result<LibraryHandle> loadLibrary(const std::string& path);

// The address of `name` in a loaded library; the failure's reason is the
// loader's error text ("" when it gives none).
Result<void*> symbolOf(LibraryHandle library, const std::string& name);

} // namespace platform
