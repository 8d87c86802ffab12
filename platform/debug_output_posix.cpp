// POSIX has no debugger output: trace lines go to a sink or stderr only.
namespace vesk {

void SendToDebugger(const char*) {}

}  // namespace vesk
