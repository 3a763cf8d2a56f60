#include "SourceWatch.h"

#include "Console.h"
#include "Options.h"
#include "StopSignals.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace veltrin::cli {

namespace {

// How long one wait for a change lasts before the stop signals are looked at again.
constexpr std::chrono::milliseconds kWatchSlice{200};

bool sameSource(const NdiSource &a, const NdiSource &b)
{
    return a.name == b.name && a.address == b.address;
}

bool contains(const std::vector<NdiSource> &list, const NdiSource &s)
{
    return std::any_of(list.begin(), list.end(),
                       [&](const NdiSource &other) { return sameSource(s, other); });
}

} // namespace

std::vector<SourceEvent> sourceEvents(const std::vector<NdiSource> &before,
                                      const std::vector<NdiSource> &after)
{
    std::vector<SourceEvent> gone, appeared;
    for (const NdiSource &s : before)
        if (!contains(after, s))
            gone.push_back({false, s});
    for (const NdiSource &s : after)
        if (!contains(before, s))
            appeared.push_back({true, s});
    const auto byName = [](const SourceEvent &a, const SourceEvent &b) {
        return a.source.name < b.source.name;
    };
    std::sort(gone.begin(), gone.end(), byName);
    std::sort(appeared.begin(), appeared.end(), byName);
    gone.insert(gone.end(), appeared.begin(), appeared.end());
    return gone;
}

std::string sourceEventLine(const SourceEvent &event, bool json)
{
    if (!json)
        return (event.appeared ? "+ " : "- ") + event.source.name + "  " + event.source.address;
    const QJsonObject o{{QStringLiteral("event"),
                         event.appeared ? QStringLiteral("appeared") : QStringLiteral("gone")},
                        {QStringLiteral("name"), QString::fromStdString(event.source.name)},
                        {QStringLiteral("address"), QString::fromStdString(event.source.address)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

int watchSources(bool json, Console &console, StopSignals &stops)
{
    FinderSession session;
    if (const std::string problem = session.problem(); !problem.empty()) {
        Console::message(problem);
        return kExitNdiUnavailable;
    }
    SourceFinder &finder = session.finder();
    std::vector<NdiSource> known;
    while (!stops.received()) {
        finder.listUntil(SourceFinder::Clock::now() + kWatchSlice,
                         [&] { return stops.received(); });
        const std::vector<NdiSource> now = finder.sources();
        for (const SourceEvent &event : sourceEvents(known, now))
            if (!console.data(sourceEventLine(event, json)))
                return kExitOk; // nobody reads any more: stop as for a signal
        known = now;
    }
    return kExitOk;
}

} // namespace veltrin::cli
