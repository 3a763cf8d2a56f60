#include "StreamStats.h"

#include "Console.h"
#include "FiguresText.h"
#include "SummarySignal.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace veltrin::cli {

namespace {

using ndi::clockWord;
using ndi::figuresText;
using ndi::formatted;
using ndi::hasFigure;

QJsonObject jsonOf(const VeltrinNdiFigures &f, uint64_t xruns, double seconds)
{
    const auto number = [&](uint32_t figure, double value) {
        return hasFigure(f, figure) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
    };
    const auto count = [&](uint32_t figure, uint64_t value) {
        return number(figure, static_cast<double>(value));
    };
    QJsonObject o;
    o.insert(QStringLiteral("seconds"), std::round(seconds * 10) / 10);
    o.insert(QStringLiteral("name"), QString::fromUtf8(f.name));
    o.insert(QStringLiteral("xruns"), static_cast<double>(xruns));
    o.insert(QStringLiteral("connections"), number(VeltrinNdi_has_connections, f.connections));
    if (f.kind == VeltrinNdi_sender) {
        o.insert(QStringLiteral("stream"), QStringLiteral("send"));
        o.insert(QStringLiteral("datagramsSent"), count(VeltrinNdi_has_sent, f.datagramsSent));
        o.insert(QStringLiteral("bytesSent"), count(VeltrinNdi_has_sent, f.bytesSent));
        return o;
    }
    o.insert(QStringLiteral("stream"), QStringLiteral("receive"));
    o.insert(QStringLiteral("latencyMs"), number(VeltrinNdi_has_latency, f.latencyMs));
    o.insert(QStringLiteral("reserveMs"), number(VeltrinNdi_has_latency, f.reserveMs));
    o.insert(QStringLiteral("clock"), hasFigure(f, VeltrinNdi_has_clock)
                                          ? QJsonValue(QString::fromUtf8(clockWord(f.clockMode)))
                                          : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("driftPpm"), number(VeltrinNdi_has_clock, f.driftPpm));
    o.insert(QStringLiteral("lateBlocks"), count(VeltrinNdi_has_blocks, f.lateBlocks));
    o.insert(QStringLiteral("underruns"), count(VeltrinNdi_has_blocks, f.underruns));
    o.insert(QStringLiteral("datagramsReceived"),
             count(VeltrinNdi_has_datagrams, f.datagramsReceived));
    o.insert(QStringLiteral("datagramsRepaired"),
             count(VeltrinNdi_has_datagrams, f.datagramsRepaired));
    o.insert(QStringLiteral("datagramsConcealed"),
             count(VeltrinNdi_has_datagrams, f.datagramsConcealed));
    o.insert(QStringLiteral("datagramsLost"), count(VeltrinNdi_has_datagrams, f.datagramsLost));
    o.insert(QStringLiteral("framesReceived"), count(VeltrinNdi_has_frames, f.framesReceived));
    o.insert(QStringLiteral("framesDropped"), count(VeltrinNdi_has_frames, f.framesDropped));
    o.insert(QStringLiteral("queueDepth"), number(VeltrinNdi_has_queue, f.queueDepth));
    return o;
}

std::string compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

std::string figuresJson(const VeltrinNdiFigures &figures, uint64_t xruns, double seconds)
{
    return compact(jsonOf(figures, xruns, seconds));
}

StreamStats::StreamStats(const std::atomic<uint64_t> &xruns, bool json)
    : m_xruns(xruns), m_xrunsAtStart(xruns.load(std::memory_order_relaxed)), m_json(json)
{
}

double StreamStats::seconds() const
{
    return std::chrono::duration<double>(Clock::now() - m_start).count();
}

uint64_t StreamStats::xruns() const
{
    return m_xruns.load(std::memory_order_relaxed) - m_xrunsAtStart;
}

void StreamStats::take()
{
    record(ndi::streamFigures(), seconds());
}

void StreamStats::record(const std::vector<VeltrinNdiFigures> &figures, double now)
{
    m_current = figures;
    for (const VeltrinNdiFigures &f : m_current) {
        const std::string key = std::to_string(f.kind) + f.name;
        auto [it, fresh] = m_seen.try_emplace(key);
        if (fresh)
            it->second.firstSeconds = now;
        it->second.latest = f;
        if (f.available & VeltrinNdi_has_latency)
            it->second.maxLatencyMs = std::max(it->second.maxLatencyMs, f.latencyMs);
    }
}

std::vector<std::string> StreamStats::lines()
{
    take();
    std::vector<std::string> out;
    for (const VeltrinNdiFigures &f : m_current)
        out.push_back(m_json ? figuresJson(f, xruns(), seconds()) : figuresText(f, xruns()));
    return out;
}

std::vector<std::string> StreamStats::summary()
{
    take();
    std::vector<std::string> out;
    const double now = seconds();
    for (const auto &entry : m_seen) {
        const Seen &s = entry.second;
        const double ran = now - s.firstSeconds;
        const bool latency = (s.latest.available & VeltrinNdi_has_latency) != 0;
        if (m_json) {
            QJsonObject o = jsonOf(s.latest, xruns(), now);
            o.insert(QStringLiteral("summary"), true);
            o.insert(QStringLiteral("ranSeconds"), std::round(ran * 10) / 10);
            o.insert(QStringLiteral("maxLatencyMs"),
                     latency ? QJsonValue(s.maxLatencyMs) : QJsonValue(QJsonValue::Null));
            out.push_back(compact(o));
        } else {
            std::string line =
                "summary after " + formatted("%.0f s", ran) + ": " + figuresText(s.latest, xruns());
            if (latency)
                line += ", highest latency " + formatted("%.1f ms", s.maxLatencyMs);
            out.push_back(line);
        }
    }
    return out;
}

StatsReport::StatsReport(const std::atomic<uint64_t> &xruns, bool text, bool json, Console &console,
                         SummarySignal &summaries)
    : m_everySecond(text || json), m_console(console), m_summaries(summaries), m_stats(xruns, json),
      m_next(StreamStats::Clock::now() + std::chrono::seconds(1))
{
}

bool StatsReport::print(const std::vector<std::string> &lines, bool toOutput)
{
    for (const std::string &line : lines) {
        if (!toOutput)
            Console::message(line);
        else if (!m_console.data(line))
            return false;
    }
    return true;
}

bool StatsReport::poll()
{
    if (m_summaries.taken() && !print(m_stats.summary(), m_everySecond))
        return false;
    if (!m_everySecond)
        return true;
    const auto now = StreamStats::Clock::now();
    if (now < m_next)
        return true;
    // One line a second; after a stall, start the count again rather than catch up.
    m_next = std::max(m_next + std::chrono::seconds(1), now);
    return print(m_stats.lines(), true);
}

void StatsReport::finish()
{
    if (m_everySecond)
        print(m_stats.summary(), true);
}

} // namespace veltrin::cli
