// Debug trace: a test-installed sink, or stderr when VESK_TRACE asks for it.
#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace vesk {
// The system's debugger output; nothing where there is none.
void SendToDebugger(const char* text);
}  // namespace vesk

namespace {

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<vesk::TraceSink>& SinkSlot() {
    static std::shared_ptr<vesk::TraceSink> sink;
    return sink;
}

bool TraceToStderr() {
    const char* v = std::getenv("VESK_TRACE");
    return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

void OutputDebugStringA(const char* text) {
    if (!text)
        return;
    std::shared_ptr<vesk::TraceSink> sink;
    {
        std::lock_guard<std::mutex> lock(SinkMutex());
        sink = SinkSlot();
    }
    // Called outside the lock so a sink may trace again without dead-locking.
    if (sink) {
        (*sink)(text);
        return;
    }
    vesk::SendToDebugger(text);
    if (!TraceToStderr())
        return;
    std::string line = text;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

namespace vesk {

TraceSink SetTraceSink(TraceSink sink) {
    auto next = sink ? std::make_shared<TraceSink>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> lock(SinkMutex());
    auto previous = std::move(SinkSlot());
    SinkSlot() = std::move(next);
    // Copied, not moved: another thread may be running the old sink right now.
    return previous ? *previous : TraceSink{};
}

}  // namespace vesk
