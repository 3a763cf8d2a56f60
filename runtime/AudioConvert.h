// Conversions between the interleaved and the planar 32-bit float frame layouts.
//
// Threads: any; pure functions that touch only the frames they are given (real-time safe).
#pragma once

#include "NdiLib.h"

namespace veltrin::rt {

// Writes src's samples interleaved into dst->p_data (room for no_channels * no_samples floats
// is the caller's) and copies rate, channel count, sample count and timecode into dst.
void planarToInterleaved(const NDIlib_audio_frame_v2_t &src,
                         NDIlib_audio_frame_interleaved_32f_t &dst);

// De-interleaves src into dst->p_data with dst's channel stride (the caller's buffer) and
// copies rate, channel count, sample count and timecode into dst.
void interleavedToPlanar(const NDIlib_audio_frame_interleaved_32f_t &src,
                         NDIlib_audio_frame_v2_t &dst);

} // namespace veltrin::rt
