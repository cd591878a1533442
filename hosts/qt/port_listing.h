#pragma once
// --list-ports: the serial devices Qt finds, with the port number that names
// each by default (or the --com mapping that would), and whether this user
// may open it, and why not. Nothing is opened to find out.

#include <cstdio>

namespace orva::host {

// As text, or one JSON object per device ({"path","description","port",
// "usable","reason"}). Returns false when standard output could not be written.
bool listSerialPorts(std::FILE* out, bool json);

}  // namespace orva::host
