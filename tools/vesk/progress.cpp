#include "tools/vesk/progress.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/vesk/system.h"
#include "tools/vesk/text.h"

namespace vesk::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The display the library's callback feeds; set while a TransferProgress shows
// something.
TransferProgress* g_current = nullptr;

constexpr auto kRedraw = std::chrono::milliseconds(100);
constexpr auto kRateWindow = std::chrono::seconds(3);
// Without an announced size, a plain line this often.
constexpr auto kUnknownSizeLine = std::chrono::seconds(2);

// At most `columns` columns of `s`, cut at a character and marked with "…".
std::string Fit(const std::string& s, size_t columns) {
    if (DisplayWidth(s) <= columns)
        return s;
    std::string cut = s;
    while (!cut.empty()) {
        // Drop one UTF-8 character from the end.
        do {
            cut.pop_back();
        } while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0x80);
        if (!cut.empty() && static_cast<unsigned char>(cut.back()) >= 0xC0)
            cut.pop_back();
        if (DisplayWidth(cut) + 1 <= columns)
            break;
    }
    return cut + "\xe2\x80\xa6";
}

// " 45%  28.8 MiB of 64.0 MiB  4.1 MiB/s  0:08 left" (or "done in 15.6 s" at the end).
std::string Figures(long long received, long long total, double rate, double seconds) {
    std::string out;
    char buf[64];
    if (total > 0) {
        std::snprintf(buf, sizeof buf, "%3d%%  ", static_cast<int>(received * 100 / total));
        out += buf;
        out += FormatBytes(received);
        out += " of ";
        out += FormatBytes(total);
    } else {
        out += FormatBytes(received);
    }
    out += "  ";
    out += FormatBytes(static_cast<long long>(rate));
    out += "/s";
    if (total > 0 && received >= total) {
        std::snprintf(buf, sizeof buf, "  done in %.1f s", seconds);
        out += buf;
    } else if (total > 0 && rate > 0) {
        out += "  ";
        out += FormatDuration(static_cast<double>(total - received) / rate);
        out += " left";
    }
    return out;
}

}  // namespace

ProgressStyle ProgressStyleFor(bool quiet) {
    if (quiet)
        return ProgressStyle::kNone;
    const char* term = std::getenv("TERM");
    const bool dumb = term && std::strcmp(term, "dumb") == 0;
    return sys::StderrIsTerminal() && !dumb ? ProgressStyle::kBar : ProgressStyle::kLines;
}

std::string FormatBytes(long long bytes) {
    char buf[32];
    const double b = static_cast<double>(bytes);
    if (bytes < 1024)
        std::snprintf(buf, sizeof buf, "%lld B", bytes);
    else if (bytes < 1024LL * 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB", b / 1024);
    else if (bytes < 1024LL * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MiB", b / (1024.0 * 1024));
    else
        std::snprintf(buf, sizeof buf, "%.2f GiB", b / (1024.0 * 1024 * 1024));
    return buf;
}

std::string FormatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 99.0 * 3600)
        return "?";
    const long s = std::lround(std::ceil(seconds));
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

TransferProgress::TransferProgress(ProgressStyle style) : m_style(style) {
    if (m_style != ProgressStyle::kNone)
        g_current = this;
}

TransferProgress::~TransferProgress() {
    End();
    if (g_current == this)
        g_current = nullptr;
}

void TransferProgress::Begin(const std::string& label, int pages) {
    m_label = label;
    m_pages = pages;
    m_stream = 0;
    m_doneStreams = 0;
    m_received = 0;
    m_total = -1;
    m_lastDecile = -1;
    m_start = Clock::now();
    m_lastDraw = Clock::time_point();
    m_samples.clear();
}

void TransferProgress::End() {
    if (m_barShown) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        m_barShown = false;
    }
}

QTCP_RECVDATA_CALLBACK TransferProgress::Callback() const {
    return m_style == ProgressStyle::kNone ? nullptr : &TransferProgress::Receive;
}

double TransferProgress::Seconds() const {
    return std::chrono::duration<double>(Clock::now() - m_start).count();
}

long __stdcall TransferProgress::Receive(tagQTCP_RECVDATA* data) {
    if (g_current && data && data->llReceived >= 0) {
        // The first chunk of a stream: what it received is that chunk.
        if (data->llReceived == data->nChunk || g_current->m_stream == 0) {
            g_current->m_doneStreams += g_current->m_received;
            g_current->m_received = 0;
            g_current->m_lastDecile = -1;
            ++g_current->m_stream;
        }
        g_current->OnData(data->llReceived, data->llTotal);
    }
    return 0;
}

void TransferProgress::OnData(long long received, long long total) {
    const Clock::time_point now = Clock::now();
    m_received = received;
    m_total = total > 0 ? total : -1;
    m_samples.emplace_back(now, Received());
    while (m_samples.size() > 2 && now - m_samples.front().first > kRateWindow)
        m_samples.pop_front();
    const bool complete = m_total > 0 && m_received >= m_total;
    if (m_style == ProgressStyle::kBar) {
        if (complete || now - m_lastDraw >= kRedraw)
            DrawBar(now);
        return;
    }
    if (m_total > 0) {
        const int decile = static_cast<int>(m_received * 10 / m_total);
        if (decile > m_lastDecile) {
            m_lastDecile = decile;
            PrintLine(now);
        }
    } else if (now - m_lastDraw >= kUnknownSizeLine) {
        PrintLine(now);
    }
}

double TransferProgress::Rate(Clock::time_point now) {
    const auto& [then, bytes] = m_samples.front();
    const double window = std::chrono::duration<double>(now - then).count();
    if (window >= 0.25)
        return static_cast<double>(Received() - bytes) / window;
    const double all = std::chrono::duration<double>(now - m_start).count();
    return all > 0 ? static_cast<double>(Received()) / all : 0;
}

std::string TransferProgress::Label() const {
    if (m_pages <= 1)
        return m_label;
    return m_label + " page " + std::to_string(m_stream) + "/" + std::to_string(m_pages);
}

void TransferProgress::DrawBar(Clock::time_point now) {
    m_lastDraw = now;
    const size_t columns = static_cast<size_t>(sys::TerminalColumns()) - 1;
    const std::string figures = Figures(m_received, m_total, Rate(now), Seconds());
    const std::string name = Fit(Label(), std::max<size_t>(10, columns / 3));
    std::string line = name + "  ";
    // Room for the longest figures, so that the bar keeps its length while they change.
    const size_t used = DisplayWidth(name) + 2 + std::max<size_t>(figures.size(), 56) + 2;
    if (m_total > 0 && columns > used + 10) {
        const size_t width = columns - used - 2;
        const size_t filled =
            static_cast<size_t>(m_received * static_cast<long long>(width) / m_total);
        line += '[';
        line.append(filled, '=');
        if (filled < width) {
            line += '>';
            line.append(width - filled - 1, ' ');
        }
        line += "]  ";
    }
    line += figures;
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    m_barShown = true;
}

void TransferProgress::PrintLine(Clock::time_point now) {
    m_lastDraw = now;
    std::fprintf(stderr, "%s  %s\n", Label().c_str(),
                 Figures(m_received, m_total, Rate(now), Seconds()).c_str());
    std::fflush(stderr);
}

}  // namespace vesk::cli
