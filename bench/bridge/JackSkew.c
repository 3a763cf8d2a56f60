/* Preloaded into jackd (LD_PRELOAD) to make its dummy driver run at a rate other than the one it
 * was given, as two sound cards never share a clock:
 *   VELTRIN_JACK_PPM=187 jackd ... -d dummy -r 48000     runs at 48000 * (1 + 187e-6) Hz
 *
 * jackd2's dummy driver (JackTimedDriver, built into libjackserver) sleeps until the start of
 * cycle n at anchor + n * period, where FirstCycle() sets the anchor and returns the first wait
 * and CurrentCycle() returns the wait left until the next cycle. Both are exported and reached
 * through the PLT, so these definitions take their place; they call the originals and shorten
 * (or stretch) the schedule by 1 / (1 + ppm). The server's clock itself is left alone, so its
 * time stamps, and those of every client, stay on the machine's CLOCK_MONOTONIC_RAW. An xrun
 * makes the driver call FirstCycle() again, which sets a new anchor here as well.
 *
 * Only the driver thread calls these, so the state below needs no synchronisation. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

typedef int (*CycleFunction)(void *driver, unsigned long nowUsec);

static double g_scale = 1.0; /* 1 / (1 + ppm * 1e-6) */
static unsigned long g_anchor;
static CycleFunction g_firstCycle, g_currentCycle;

__attribute__((constructor)) static void loadSkew(void)
{
    const char *ppm = getenv("VELTRIN_JACK_PPM");
    if (ppm != NULL)
        g_scale = 1.0 / (1.0 + strtod(ppm, NULL) * 1e-6);
    /* The way POSIX gives for a function pointer out of dlsym(). */
    *(void **)&g_firstCycle = dlsym(RTLD_NEXT, "_ZN4Jack15JackTimedDriver10FirstCycleEm");
    *(void **)&g_currentCycle = dlsym(RTLD_NEXT, "_ZN4Jack15JackTimedDriver12CurrentCycleEm");
    if (g_firstCycle == NULL || g_currentCycle == NULL) {
        /* Not a jackd2 whose dummy driver we know: better no server than a wrong rate. */
        fprintf(stderr, "veltrin_jack_skew: this jackd has no JackTimedDriver to adjust\n");
        exit(1);
    }
}

/* Jack::JackTimedDriver::FirstCycle(unsigned long) */
int _ZN4Jack15JackTimedDriver10FirstCycleEm(void *driver, unsigned long nowUsec)
{
    g_anchor = nowUsec;
    return (int)(g_firstCycle(driver, nowUsec) * g_scale);
}

/* Jack::JackTimedDriver::CurrentCycle(unsigned long) */
int _ZN4Jack15JackTimedDriver12CurrentCycleEm(void *driver, unsigned long nowUsec)
{
    /* The original returns n * period - (now - anchor), truncated to whole microseconds. */
    const double elapsed = (double)(long)(nowUsec - g_anchor);
    const double due = (double)g_currentCycle(driver, nowUsec) + elapsed;
    return (int)(due * g_scale - elapsed);
}
