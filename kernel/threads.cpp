#include "threads.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif
#endif

// The MATLAB builds for Linux name the thread functions at the versions of
// the oldest glibc they support (2.17 for aarch64), not at 2.34, where
// glibc moved them into libc; the symbols are the same functions. (Not
// under ThreadSanitizer, whose own pthread_create must be the one called.)
#if defined(__linux__) && defined(__GLIBC__) && !defined(MEXHOST_OCTAVE) && !defined(ZEB_THREADS_DEFAULT_SYMBOLS)
#if defined(__x86_64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.2.5");
#elif defined(__i386__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.1");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.0");
#elif defined(__aarch64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.17");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.17");
#endif
#endif

namespace threads {

namespace {

int forcedCount = 0;
std::int64_t forcedThreshold = 0;

struct Part {
    void (*task)(void *, int);
    void *arg;
    int k;
};

#if defined(_WIN32)
DWORD WINAPI start(LPVOID p)
{
    const Part *part = static_cast<const Part *>(p);
    part->task(part->arg, part->k);
    return 0;
}
#else
void *start(void *p)
{
    const Part *part = static_cast<const Part *>(p);
    part->task(part->arg, part->k);
    return nullptr;
}
#endif

// The processors the process may run on.
int processors()
{
#if defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0)
        return 1;
    int n = 0;
    for (; process; process &= process - 1)
        ++n;
    return n;
#elif defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return CPU_COUNT(&set) > 0 ? CPU_COUNT(&set) : 1;
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
#else
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
#endif
}

} // namespace

int available()
{
    int n = processors();
    if (const char *limit = std::getenv("OMP_NUM_THREADS")) {
        const long cap = std::strtol(limit, nullptr, 10);
        if (cap >= 1 && cap < n)
            n = static_cast<int>(cap);
    }
    return n < 1 ? 1 : n > 64 ? 64 : n;
}

int forWork(std::int64_t work, std::int64_t threshold, std::int64_t parts)
{
    if (forcedThreshold > 0)
        threshold = forcedThreshold;
    if (work < 2 * threshold || parts < 2)
        return 1;
    std::int64_t n = forcedCount > 0 ? forcedCount : available();
    if (n > work / threshold)
        n = work / threshold;
    if (n > parts)
        n = parts;
    return n < 1 ? 1 : static_cast<int>(n);
}

void run(int count, void (*task)(void *, int), void *arg)
{
    if (count > 64)
        count = 64;
    Part parts[64];
#if defined(_WIN32)
    HANDLE handles[64] = {};
#else
    pthread_t handles[64];
    bool started[64] = {};
#endif
    for (int k = 1; k < count; ++k) {
        parts[k] = Part{task, arg, k};
#if defined(_WIN32)
        handles[k] = CreateThread(nullptr, 0, start, &parts[k], 0, nullptr);
#else
        started[k] = pthread_create(&handles[k], nullptr, start, &parts[k]) == 0;
#endif
    }
    task(arg, 0);
    for (int k = 1; k < count; ++k) {
#if defined(_WIN32)
        if (handles[k]) {
            WaitForSingleObject(handles[k], INFINITE);
            CloseHandle(handles[k]);
        } else {
            task(arg, k);
        }
#else
        if (started[k])
            pthread_join(handles[k], nullptr);
        else
            task(arg, k);
#endif
    }
}

void force(int count, std::int64_t threshold)
{
    forcedCount = count;
    forcedThreshold = threshold;
}

} // namespace threads
