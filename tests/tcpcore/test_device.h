// A small scripted device for the client tests: answers the operations the tests use,
// with faults on request (stall, refuse, wrong sizes), behind the in-process
// link: the scripted peer for exact result codes.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tcpcore/link.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore::test {

struct DeviceScript {
    // identity and session
    std::string deviceId = "1.3.6.1.4.1.59731.1.1.1.2.1.40.1.1.1.1.1.1.1";
    int major = 4;
    int minor = 9;
    int userAuth = 1;
    int accountAuth = 0;
    int publicSupport = 1;
    Inquiries inquiries;       // sent with Connect
    Inquiries extraInquiries;  // only answered through Inquire
    std::vector<tagUTIL_BOXINFO> boxes;
    std::map<int, std::string> boxPasswords;

    // document stream
    std::vector<std::uint8_t> document;
    std::int64_t announced = -2;  // -2: the document's real size
    std::size_t chunk = 64u << 10;
    std::int32_t endStatus = 0;  // status of the end frame
    std::int64_t endCount = -1;  // -1: the bytes really sent

    // thumbnail
    std::int32_t thumbAnnounced = 0;
    std::vector<std::uint8_t> thumbData;

    // faults on any operation
    Op stallOn = Op::kNone;                    // never answer this op
    std::map<Op, std::pair<int, int>> refuse;  // op -> (status, out value)

    // what the device saw
    std::mutex m;
    std::vector<Op> seen;
    std::atomic<int> aborts{0};
    std::atomic<int> sessions{0};
    std::atomic<bool> release{false};  // ends stalls (set when a test is done)

    std::vector<Op> Seen() {
        std::lock_guard lock(m);
        return seen;
    }
    int Count(Op op) {
        std::lock_guard lock(m);
        int n = 0;
        for (Op o : seen)
            n += o == op;
        return n;
    }
};

std::unique_ptr<DeviceSession> MakeScriptedSession(std::shared_ptr<DeviceScript> script);

// A box record as a device would list it.
tagUTIL_BOXINFO MakeBox(int number, const char* name, const char* owner);

// Deterministic test data.
std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed = 1);

}  // namespace vesk::tcpcore::test
