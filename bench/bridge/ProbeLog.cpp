#include "ProbeLog.h"

namespace veltrin::bench {

ProbeLogWriter::ProbeLogWriter(const std::string &path) : m_file(std::fopen(path.c_str(), "wb")) {}

ProbeLogWriter::~ProbeLogWriter()
{
    if (m_file != nullptr)
        std::fclose(m_file);
}

void ProbeLogWriter::put(const ProbeRecord &r)
{
    if (m_file != nullptr)
        std::fwrite(&r, sizeof r, 1, m_file);
}

void ProbeLogWriter::flush()
{
    if (m_file != nullptr)
        std::fflush(m_file);
}

void ProbeLogWriter::write(const CycleStamp &c)
{
    put({kCycleRecord, static_cast<int32_t>(c.frames), c.frame, c.ns, 0, 0});
}

void ProbeLogWriter::write(const Emission &e)
{
    put({kEmissionRecord, e.code, e.frame, 0, 0, 0});
}

void ProbeLogWriter::write(const Arrival &a)
{
    put({kArrivalRecord, 0, 0, 0, a.frame, a.area});
}

void ProbeLogWriter::write(const Silence &s)
{
    put({kSilenceRecord, 0, s.start, s.length, 0, 0});
}

void ProbeLogWriter::write(const Discontinuity &d)
{
    put({kDiscontinuityRecord, 0, 0, 0, d.frame, d.jump});
}

void ProbeLogWriter::write(const XrunStamp &x)
{
    put({kXrunRecord, 0, x.frame, x.ns, 0, 0});
}

void ProbeLogWriter::write(const ProbeGap &g)
{
    put({kGapRecord, 0, g.frame, g.length, 0, 0});
}

void ProbeLog::poll()
{
    std::FILE *file = std::fopen(m_path.c_str(), "rb");
    if (file == nullptr)
        return;
    std::fseek(file, m_offset, SEEK_SET);
    ProbeRecord r;
    while (std::fread(&r, sizeof r, 1, file) == 1) {
        m_offset += static_cast<long>(sizeof r);
        switch (r.kind) {
        case kCycleRecord:
            cycles.push_back({r.frame, r.ns, static_cast<uint32_t>(r.code)});
            break;
        case kEmissionRecord:
            emissions.push_back({r.frame, r.code});
            break;
        case kArrivalRecord:
            arrivals.push_back({r.a, r.b});
            break;
        case kSilenceRecord:
            silences.push_back({r.frame, r.ns});
            break;
        case kDiscontinuityRecord:
            discontinuities.push_back({r.a, r.b});
            break;
        case kXrunRecord:
            xruns.push_back({r.frame, r.ns});
            break;
        case kGapRecord:
            gaps.push_back({r.frame, r.ns});
            break;
        default:
            break;
        }
    }
    std::fclose(file);
}

} // namespace veltrin::bench
