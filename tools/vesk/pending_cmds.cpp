// The session commands (connect, login, print, info) and the demo need the device
// connection, which this build does not have yet; until then vesk offers none of them.
#include "tools/vesk/cli.h"

namespace vesk::cli {

void AddSessionCommands(std::vector<Command>&) {}
void AddDemoCommand(std::vector<Command>&) {}

}  // namespace vesk::cli
