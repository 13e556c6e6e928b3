// SPDX-License-Identifier: MIT
// What the project's own tools need of the library beyond veeprom.h.  Not
// installed: other clients use the public functions only.
#ifndef VEEPROM_TOOLS_H
#define VEEPROM_TOOLS_H

#include <cstdio>

namespace veeprom {

// Where the library's own standard-output lines ("mmc:... device not
// found!", "read short: N") go: standard output unless a tool whose output
// is its answer sends them elsewhere.
void messages_to(FILE *stream);

} // namespace veeprom

#endif
