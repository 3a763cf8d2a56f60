// The bridge probe's signals and the detectors that find them again in what a bridge gives back.
//
// The probe sends, on every even channel, a 17-sample Hann impulse every spacing (its amplitude
// carries a code, so that each arrival is matched to its own impulse even when some are lost),
// and a steady tone on every odd channel. The detectors are plain code on buffers: the probe
// runs them on its worker thread, the tests on made-up input. Each is fed a stream in order,
// block by block, and told when the stream has a gap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrin::bench {

// What the probe records, on the frame clock of the server it runs on.
struct Emission {
    int64_t frame = 0; // centre of the pulse
    int code = 0;
};

struct Arrival {
    double frame = 0; // centroid of the returned pulse, to a fraction of a sample
    double area = 0;  // sum of the pulse's samples: the code survives resampling
};

struct Silence {
    int64_t start = 0; // first silent frame of the tone channel
    int64_t length = 0;
};

struct Discontinuity {
    double frame = 0; // centre of the first tone window that showed it
    double jump = 0;  // phase step in samples; NaN when the tone broke off instead
};

struct Impulse {
    static constexpr int kLength = 17; // a Hann pulse: band-limited, area 8 x peak
    static constexpr int kCodes = 16;

    // Peak of impulse `code`; codes repeat every kCodes impulses.
    static double amplitude(int code) { return 0.2 + 0.04 * code; }
    // The code whose pulse has this area, or -1.
    static int codeOf(double area);
    // The pulse's shape, peak 1.
    static std::vector<float> shape();
};

constexpr double kToneLevel = 0.25;

// Finds the impulses in one channel and times each by the centroid of its samples.
class ImpulseDetector
{
public:
    // `in` holds frames first .. first + n - 1. A gap in the frames starts afresh.
    void feed(const float *in, size_t n, int64_t first, std::vector<Arrival> &out);
    void reset();

private:
    static constexpr int64_t kHistory = 64; // power of two, longer than a pulse and its ringing
    int64_t m_next = -1;
    float m_history[kHistory] = {};
    int64_t m_trigger = -1, m_quietUntil = 0;
};

// Finds where the tone channel stays near zero for at least `minLength` frames.
class SilenceDetector
{
public:
    explicit SilenceDetector(int64_t minLength) : m_minLength(minLength) {}
    void feed(const float *in, size_t n, int64_t first, std::vector<Silence> &out);
    void reset() { m_silentFrom = -1; }

private:
    int64_t m_minLength;
    int64_t m_next = -1;
    int64_t m_silentFrom = -1;
};

// Follows the phase of the tone and reports where it jumps or breaks off.
//
// The stream is cut into windows of about one tone period; in each, a least-squares fit of a
// sine at the tone's nominal frequency gives the phase at the window's centre. A window is
// broken when its amplitude strays from the tone's or the fit leaves a large residue. The
// phase advances from window to window by the tone's actual frequency, which a resampler or a
// clock offset moves by up to some thousand ppm, slowly: the median advance over the windows
// around is that frequency, and an advance beyond it is a phase step. A step inside a window
// splits over two advances, so each is tested together with the next. A discontinuity is a run
// of windows that are broken or step by more than the threshold, reported once, when as many
// clean windows as a test spans follow it: a disturbance that trips the test, calms and trips
// it again is one discontinuity.
class ToneTracker
{
public:
    // cyclesPerSample: the tone's frequency over the sample rate of the stream.
    explicit ToneTracker(double cyclesPerSample, double thresholdSamples = 0.05);
    void feed(const float *in, size_t n, int64_t first, std::vector<Discontinuity> &out);
    // A gap in the frames (or this call) ends the stream: a discontinuity in progress is
    // reported, and the tone is followed afresh from the next sample.
    void reset(std::vector<Discontinuity> &out);

    static constexpr int kSide = 8;             // advances on either side of the one tested
    static constexpr int kSpan = 2 * kSide + 3; // windows a test looks at

private:
    struct Window {
        double centre = 0; // frame
        double phase = 0;  // radians against the nominal tone, unwrapped
        bool ok = false;
    };
    void closeWindow(std::vector<Discontinuity> &out);
    void test(std::vector<Discontinuity> &out);

    double m_cycles;                  // tone cycles per sample
    double m_omega;                   // radians per sample
    double m_threshold;               // radians
    size_t m_length;                  // samples per window
    std::vector<double> m_cos, m_sin; // the nominal tone over one window, about its centre
    double m_inverse[3] = {};         // inverse of the fit's 2x2 normal matrix (xx, xy, yy)

    std::vector<float> m_samples;
    int64_t m_next = -1;
    int64_t m_windowStart = 0;
    double m_amplitude = 0; // the tone's, followed slowly over clean windows
    bool m_havePhase = false;
    double m_lastPhase = 0;
    std::vector<Window> m_windows; // the last kSpan, oldest first
    std::vector<double> m_advances;
    bool m_inEvent = false;
    int m_cleanSince = 0; // clean tests since the event's last flagged one
    Discontinuity m_event;
};

} // namespace veltrin::bench
