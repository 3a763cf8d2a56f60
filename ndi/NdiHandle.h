// An owner for one NDI handle (sender, receiver, frame synchroniser, finder): its destructor
// hands the handle to `Destroy`, the runtime operation that releases it. Move-only; a null handle
// is an empty owner that releases nothing.
//
// Threads: an owner is used by one thread at a time; get() may be read by an audio thread while
// the owning thread leaves it alone.
#pragma once

#include "NdiLib.h"

#include <utility>

namespace veltrin::ndi {

template <void (*Destroy)(void *)> class NdiHandle
{
public:
    NdiHandle() = default;
    explicit NdiHandle(void *handle) : m_handle(handle) {}
    ~NdiHandle()
    {
        if (m_handle != nullptr)
            Destroy(m_handle);
    }
    NdiHandle(NdiHandle &&other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    NdiHandle &operator=(NdiHandle &&other) noexcept
    {
        std::swap(m_handle, other.m_handle);
        return *this;
    }
    NdiHandle(const NdiHandle &) = delete;
    NdiHandle &operator=(const NdiHandle &) = delete;

    void *get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    void *m_handle = nullptr;
};

using NdiSender = NdiHandle<NDIlib_send_destroy>;
using NdiReceiver = NdiHandle<NDIlib_recv_destroy>;
using NdiFrameSync = NdiHandle<NDIlib_framesync_destroy>;

} // namespace veltrin::ndi
