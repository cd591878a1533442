#pragma once
// --list-ports: the serial devices Qt finds, with the port number that names
// each by default, or the --com mapping that would.

#include <cstdio>

namespace orva::host {

void listSerialPorts(std::FILE* out);

}  // namespace orva::host
