// The reader of what the shell writes on its standard output.
#pragma once

#include "supervision/launch.h"

namespace kestrune {

// Installs the output reader on a shell that is not launched yet.
void listen(Child& shell);

} // namespace kestrune
