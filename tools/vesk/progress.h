// Progress of document downloads on stderr: a bar redrawn in place on a terminal
// (bytes, rate, time left), plain lines when stderr goes to a file or a pipe, nothing
// with --quiet. The library reports received data through a plain function pointer,
// so one display at a time is the process's current one.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "tcpcore/records.h"

namespace vesk::cli {

enum class ProgressStyle { kNone, kLines, kBar };

// kNone when quiet; kBar when stderr is a terminal that redraws a line (TERM is not
// "dumb"); kLines otherwise.
ProgressStyle ProgressStyleFor(bool quiet);

// "512 B", "12.3 KiB", "4.0 MiB", "1.25 GiB".
std::string FormatBytes(long long bytes);
// "0:08", "12:40", "1:02:03".
std::string FormatDuration(double seconds);

class TransferProgress {
public:
    explicit TransferProgress(ProgressStyle style);
    ~TransferProgress();
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    // Starts the display of one document. `pages` above 1: each page comes as a stream
    // of its own, and the display counts them.
    void Begin(const std::string& label, int pages);
    // Ends it: the bar line is cleared, so the next output starts on a clean line.
    void End();
    // What to hand to the library for the download: null when nothing is shown.
    QTCP_RECVDATA_CALLBACK Callback() const;
    // Bytes received in every stream since Begin, and the seconds since Begin.
    long long Received() const { return m_doneStreams + m_received; }
    double Seconds() const;

private:
    static long __stdcall Receive(tagQTCP_RECVDATA* data);
    void OnData(long long received, long long total);
    // Bytes per second over the last few seconds (since Begin at first).
    double Rate(std::chrono::steady_clock::time_point now);
    void DrawBar(std::chrono::steady_clock::time_point now);
    void PrintLine(std::chrono::steady_clock::time_point now);
    std::string Label() const;

    ProgressStyle m_style;
    std::string m_label;
    int m_pages = 0;
    int m_stream = 0;             // 1-based number of the stream under way
    long long m_doneStreams = 0;  // bytes of the streams before it
    long long m_received = 0;
    long long m_total = -1;
    int m_lastDecile = -1;  // the last tenth reported as a line
    bool m_barShown = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
    std::deque<std::pair<std::chrono::steady_clock::time_point, long long>> m_samples;
};

}  // namespace vesk::cli
