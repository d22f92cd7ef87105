// A runtime descriptor's text through what start-up does with it: the
// top-level object, its string members, the environment prefix of its unit,
// and the shell's environment built from them.
#include "host/descriptor.h"
#include "supervision/launch.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    auto object = host::runtimeObjectFrom(text);
    if (!object)
        return 0;
    auto members = host::stringMembersOf(*object);

    supervision::EnvironmentInputs inputs;
    inputs.inherited = {{"PATH", "/usr/bin"}, {"HOME", "/home/someone"}, {"MENU_BAR_HOSTED", "1"}};
    // The wait for a new root is read from the inherited environment; the
    // descriptor's "wait" stands in for it so that its parsing is fuzzed too.
    if (auto wait = members.find("wait"); wait != members.end())
        inputs.inherited["MENU_BAR_ROOT_WAIT_SECONDS"] = wait->second;
    inputs.executable = members.count("bun") ? members["bun"] : "/opt/bun/bin/bun";
    if (auto executable = members.find("executable"); executable != members.end())
        inputs.frozen = host::frozenPath(executable->second, "/Applications/Acme.app", std::nullopt);
    inputs.prefix = host::prefixOf(members.count("unit") ? members["unit"] : "acme");
    inputs.hostPid = 4242;
    inputs.parentPid = 100;
    inputs.bundlePath = "/Applications/Acme.app";
    inputs.runtime = members;
    inputs.runtimeObject = *object;
    auto built = supervision::shellEnvironmentFrom(inputs);
    // Later rules overwrite but never remove the host's own variables.
    if (built.environment.find(inputs.prefix + "LAUNCHER_PID") == built.environment.end())
        __builtin_trap();
    return 0;
}
