// What a probe process observed, as fixed-size records appended to a file: the probe's worker
// thread writes it, the benchmark reads it back while the probe runs and after. Frames are on
// the clock of the probe's own server, times on CLOCK_MONOTONIC_RAW.
#pragma once

#include "ClockFit.h"
#include "ProbeSignals.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace veltrin::bench {

struct XrunStamp {
    int64_t frame = 0; // the server's frame time when the probe heard of it
    int64_t ns = 0;    // CLOCK_MONOTONIC_RAW then
};

struct ProbeGap {
    int64_t frame = 0; // first frame the probe did not see
    int64_t length = 0;
};

// The on-disk record. kind says which fields mean what (see ProbeLogWriter).
struct ProbeRecord {
    uint32_t kind = 0;
    int32_t code = 0;
    int64_t frame = 0;
    int64_t ns = 0;
    double a = 0, b = 0;
};

enum ProbeRecordKind : uint32_t {
    kCycleRecord = 1,
    kEmissionRecord,
    kArrivalRecord,
    kSilenceRecord,
    kDiscontinuityRecord,
    kXrunRecord,
    kGapRecord,
};

// Buffered; records reach the file at flush(). Closed by the destructor.
class ProbeLogWriter
{
public:
    explicit ProbeLogWriter(const std::string &path);
    ~ProbeLogWriter();
    ProbeLogWriter(const ProbeLogWriter &) = delete;
    ProbeLogWriter &operator=(const ProbeLogWriter &) = delete;

    bool ok() const { return m_file != nullptr; }
    void write(const CycleStamp &c);
    void write(const Emission &e);
    void write(const Arrival &a);
    void write(const Silence &s);
    void write(const Discontinuity &d);
    void write(const XrunStamp &x);
    void write(const ProbeGap &g);
    void flush();

private:
    void put(const ProbeRecord &r);
    std::FILE *m_file = nullptr;
};

// Everything in a probe's log so far; poll() adds what was appended since the last call.
class ProbeLog
{
public:
    explicit ProbeLog(std::string path) : m_path(std::move(path)) {}
    void poll();

    std::vector<CycleStamp> cycles;
    std::vector<Emission> emissions;
    std::vector<Arrival> arrivals;
    std::vector<Silence> silences;
    std::vector<Discontinuity> discontinuities;
    std::vector<XrunStamp> xruns;
    std::vector<ProbeGap> gaps;

private:
    std::string m_path;
    long m_offset = 0; // bytes read so far, whole records only
};

} // namespace veltrin::bench
