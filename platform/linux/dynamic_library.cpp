#include "platform/dynamic_library.h"

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>

namespace platform {

namespace {
// The loader's error since the last call, which also clears it.
std::string loaderError()
{
    const char* error = dlerror();
    return error ? error : "";
}
}

Result<LibraryHandle> loadLibrary(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return failureOf("stat", errno, path);
    if (!S_ISREG(info.st_mode))
        return failureBecause("dlopen", path + ": not a regular file", path);
    loaderError();
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (!handle)
        return failureBecause("dlopen", loaderError(), path);
    return handle;
}

Result<void*> symbolOf(LibraryHandle library, const std::string& name)
{
    loaderError();
    void* address = dlsym(library, name.c_str());
    if (!address)
        return failureBecause("dlsym", loaderError(), name);
    return address;
}

} // namespace platform
