#include "host/login.h"

#include <cstdio>
#include <cstdlib>

namespace kestrune {

void runTheLoginCommand(const platform::Bundle&, const std::vector<std::string>&)
{
    std::fputs("usage: --login on|off|status\n", stderr);
    std::exit(1);
}

} // namespace kestrune
