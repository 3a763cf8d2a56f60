// LeakSanitizer normally looks for leaks at exit, while Qt's helper threads (D-Bus, the pixmap
// reader, the X event reader) may be ending; suspending a thread that is going away can crash
// its tracer. The Qt test programs ask for the check right after their work instead, when those
// threads are idle. A no-op without AddressSanitizer.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
inline void checkLeaksNow()
{
    __lsan_do_leak_check();
}
#else
inline void checkLeaksNow() {}
#endif
