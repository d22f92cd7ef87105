// The command-line client: one command, one request to the server, its
// answer printed as JSON.
#pragma once

#include <string>
#include <vector>

namespace desktop {

// Runs a client command (the arguments after the program path, options
// first); the exit status: 0 done, 1 refused by the server, 2 used wrongly,
// 3 no server to talk to.
int runTheClient(const std::vector<std::string>& arguments);

// The usage text of the whole program.
std::string usage();

} // namespace desktop
