// Measures the real xmp_plovane.dll from the player's side: how long a key
// press takes to reach the player's window, whether short taps are missed or
// presses delivered twice, how long FreeInstance takes, and what threads and
// handles load/unload cycles leave. Prints one table row per figure:
//   ROW|figure|result|target|pass or MISS
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "host_kit.h"

namespace {

using namespace host_kit;

std::mt19937 Random(20261208);
int Misses = 0;

DWORD RandomMs(DWORD below) { return static_cast<DWORD>(Random() % below); }

double Percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

void Row(const char* figure, const std::string& result, const char* target, bool pass) {
    std::printf("ROW|%s|%s|%s|%s\n", figure, result.c_str(), target, pass ? "pass" : "MISS");
    std::fflush(stdout);
    if (!pass) ++Misses;
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

struct TPressResults {
    std::vector<double> LatenciesMs;
    int Missed = 0;
    int Doubled = 0;
};

// Presses the four media keys in turn, each started at a random moment, held
// `holdMs(random)` milliseconds; the same key is pressed again only once a
// cycle has seen it up.
template <class THold>
TPressResults Presses(int count, THold holdMs) {
    TPressResults results;
    LONGLONG released[4] = {};
    for (int i = 0; i < count; ++i) {
        const int k = i % 4;
        PumpUntil([&] { return Milliseconds(Now() - released[k]) > 120; }, 1000);
        PumpFor(RandomMs(100));  // a random phase of the worker's cycle
        const size_t before = Shortcuts.size();
        const LONGLONG pressed = Now();
        KeyDown(MEDIA_KEYS[k]);
        PumpFor(holdMs());  // the player goes on handling its messages
        KeyUp(MEDIA_KEYS[k]);
        if (!PumpUntil([&] { return Shortcuts.size() > before; }, 1000)) {
            ++results.Missed;
        } else {
            results.LatenciesMs.push_back(Milliseconds(ShortcutTimes[before] - pressed));
        }
        released[k] = Now();
        PumpFor(20);
        if (Shortcuts.size() > before + 1) ++results.Doubled;
    }
    PumpFor(300);
    return results;
}

void MeasurePresses(TPlugin& plugin) {
    plugin.Create();
    PumpFor(200);
    const TPressResults held = Presses(300, [] { return static_cast<DWORD>(30 + RandomMs(50)); });
    const TPressResults taps = Presses(300, [] { return static_cast<DWORD>(1 + RandomMs(8)); });
    plugin.Free();

    for (double latency : held.LatenciesMs) std::printf("LATENCY|%.2f\n", latency);
    const double p50 = Percentile(held.LatenciesMs, 0.5), p99 = Percentile(held.LatenciesMs, 0.99),
                 max = Percentile(held.LatenciesMs, 1.0);
    Row("key press to handled message, p50 / p99 / max (300 presses at random phases)",
        Format("%.1f / %.1f / %.1f ms", p50, p99, max), "p50 <= 60 ms, max <= 110 ms",
        p50 <= 60 && max <= 110 && held.Missed == 0);
    Row("taps shorter than a cycle (1-9 ms), missed", Format("%.0f of 300", taps.Missed), "0", taps.Missed == 0);
    Row("presses delivered twice", Format("%.0f of 600", held.Doubled + taps.Doubled), "0",
        held.Doubled + taps.Doubled == 0);
}

void MeasureFreeInstance(TPlugin& plugin) {
    std::vector<double> idle, pending;
    for (int i = 0; i < 200; ++i) {
        plugin.Create();
        PumpFor(RandomMs(100));
        const LONGLONG start = Now();
        plugin.Free();
        idle.push_back(Milliseconds(Now() - start));
    }
    int notPending = 0;
    for (int i = 0; i < 200; ++i) {
        plugin.Create();
        KeyDown(VK_MEDIA_PLAY_PAUSE);
        if (!WaitForPendingSend(2000)) ++notPending;
        const LONGLONG start = Now();
        plugin.Free();
        pending.push_back(Milliseconds(Now() - start));
        KeyUp(VK_MEDIA_PLAY_PAUSE);
        PumpFor(2);
    }
    Row("FreeInstance, idle: p50 / p99 / max (200)",
        Format("%.2f / %.2f / %.2f ms", Percentile(idle, 0.5), Percentile(idle, 0.99), Percentile(idle, 1.0)),
        "p99 <= 5 ms", Percentile(idle, 0.99) <= 5);
    Row("FreeInstance, message pending: p50 / p99 / max (200)",
        Format("%.2f / %.2f / %.2f ms", Percentile(pending, 0.5), Percentile(pending, 0.99),
               Percentile(pending, 1.0)),
        "p99 <= 5 ms", Percentile(pending, 0.99) <= 5 && notPending == 0);
}

// Load/unload cycles in each way a host may unload, in one process: threads
// and handles left (nothing subtracted), private address space left per
// 100 cycles, and how long FreeLibrary took. Only a worker waiting in its
// callback for the unloading thread is meant to stay.
void MeasureLoadUnload() {
    const struct {
        TUnloadMode Mode;
        int Cycles;
        const char* Figure;
    } modes[] = {
        {UNLOAD_RIGHT_AFTER_LOAD, 2000,
         "2000 load/unload cycles, unloaded right after load: threads / handles left; "
         "address space left per 100; unload p99"},
        {UNLOAD_AFTER_CREATE_AND_FREE, 100, "100 cycles, instance created and freed"},
        {UNLOAD_INSTANCE_LIVE_WORKER_IDLE, 2000, "2000 cycles, instance live, worker parked"},
        {UNLOAD_MESSAGE_PENDING, 100, "100 cycles, instance live, its message pending"},
    };
    for (const auto& mode : modes) {
        TLeftBehind left;
        const bool ran = LoadUnloadCycles(
            mode.Mode, mode.Cycles, [] { return static_cast<DWORD>(2 + RandomMs(30)); }, left);
        if (!ran) {
            Row(mode.Figure, "cannot load the DLL, or no message pending", "0", false);
            return;
        }
        const long handlesLeft = left.Handles;
        const double perHundred = left.AddressSpaceMiB * 100 / mode.Cycles;
        const double unloadP99 = Percentile(left.UnloadMs, 0.99);
        char result[160];
        std::snprintf(result, sizeof result, "%d / %ld; %.2f MiB; %.2f ms", left.Threads, handlesLeft, perHundred,
                      unloadP99);
        if (mode.Mode == UNLOAD_MESSAGE_PENDING) {
            Row(mode.Figure, result, "100 suspended by design, 3 handles each; report; <= 5 ms",
                left.Threads <= 100 && handlesLeft <= 300 && unloadP99 <= 5);
        } else if (mode.Mode == UNLOAD_AFTER_CREATE_AND_FREE) {
            Row(mode.Figure, result, "0 / 0; report; report", left.Threads == 0 && handlesLeft == 0);
        } else {
            Row(mode.Figure, result, "0 / 0; <= 5 MiB; report",
                left.Threads == 0 && handlesLeft == 0 && perHundred <= 5);
        }
    }
}

// Where a parked worker's unload spends its time: the unload's own steps,
// taken on a thread of this host parked as the worker parks (an alertable
// 100 ms sleep): the suspension with its confirmation (reading the
// context), queueing SetEvent and ExitThread, the resumption, and the wait
// until the marker is set, that is until the thread has woken and run the
// first routine; then the thread's own exit. Apart from the loader's own
// work, this is the whole of a parked unload.
DWORD WINAPI ParkLikeTheWorker(LPVOID) {
    for (;;) SleepEx(100, TRUE);
}

// The same unload in the probe DLL (the engine built as a general caller
// builds it), timed from inside its entry routine: from FreeLibrary's call
// to the process detach, the engine's shut-down itself, and from its end
// until FreeLibrary returns.
void MeasureParkedProbeUnloads() {
    constexpr int TRIES = 500;
    const std::string path = DllPath().substr(0, DllPath().find_last_of('\\') + 1) + "plovane_eh_probe.dll";
    std::vector<double> before, shutdown, after;
    for (int i = 0; i < TRIES; ++i) {
        const HMODULE probe = LoadLibraryA(path.c_str());
        if (probe == nullptr) break;
        const auto time = reinterpret_cast<void (*)(LONGLONG*)>(
            reinterpret_cast<void*>(GetProcAddress(probe, "ProbeTimeUnload")));
        const auto registerKey = reinterpret_cast<BOOL (*)(WORD, int)>(
            reinterpret_cast<void*>(GetProcAddress(probe, "ProbeRegister")));
        if (time == nullptr || registerKey == nullptr) break;
        LONGLONG times[2] = {};
        time(times);
        registerKey(VK_F24, 0);
        PumpFor(2 + RandomMs(30));  // parked, as the plug-in's worker would be
        const LONGLONG start = Now();
        FreeLibrary(probe);
        const LONGLONG end = Now();
        before.push_back(Milliseconds(times[0] - start));
        shutdown.push_back(Milliseconds(times[1] - times[0]));
        after.push_back(Milliseconds(end - times[1]));
    }
    char result[200];
    std::snprintf(result, sizeof result, "%.2f / %.2f; %.2f / %.2f; %.2f / %.2f ms (%zu)", Percentile(before, 0.5),
                  Percentile(before, 0.99), Percentile(shutdown, 0.5), Percentile(shutdown, 0.99),
                  Percentile(after, 0.5), Percentile(after, 0.99), before.size());
    Row("a parked unload of the probe DLL, p50 / p99 of 500: the loader before the process detach; the "
        "engine's shut-down; the rest after it (the probe's runtime and the loader)",
        result, "report", before.size() == TRIES);
}

void MeasureParkedUnloadSteps() {
    constexpr int TRIES = 500;
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    const auto setEvent = reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(GetProcAddress(kernel32, "SetEvent")));
    const auto exitThread =
        reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(GetProcAddress(kernel32, "ExitThread")));
    std::vector<double> suspend, queue, resume, marker, exit;
    for (int i = 0; i < TRIES; ++i) {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, ParkLikeTheWorker, nullptr, 0, nullptr);
        Sleep(2 + RandomMs(10));  // parked, a moment into its sleep
        LONGLONG t0 = Now();
        SuspendThread(thread);
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(thread, &context);
        LONGLONG t1 = Now();
        QueueUserAPC(setEvent, thread, reinterpret_cast<ULONG_PTR>(event));
        QueueUserAPC(exitThread, thread, 0);
        LONGLONG t2 = Now();
        ResumeThread(thread);
        LONGLONG t3 = Now();
        WaitForSingleObject(event, INFINITE);
        LONGLONG t4 = Now();
        WaitForSingleObject(thread, INFINITE);
        LONGLONG t5 = Now();
        suspend.push_back(Milliseconds(t1 - t0));
        queue.push_back(Milliseconds(t2 - t1));
        resume.push_back(Milliseconds(t3 - t2));
        marker.push_back(Milliseconds(t4 - t3));
        exit.push_back(Milliseconds(t5 - t4));
        CloseHandle(thread);
        CloseHandle(event);
    }
    char result[200];
    std::snprintf(result, sizeof result, "%.2f / %.2f; %.2f / %.2f; %.2f / %.2f; %.2f / %.2f; %.2f / %.2f ms",
                  Percentile(suspend, 0.5), Percentile(suspend, 0.99), Percentile(queue, 0.5),
                  Percentile(queue, 0.99), Percentile(resume, 0.5), Percentile(resume, 0.99),
                  Percentile(marker, 0.5), Percentile(marker, 0.99), Percentile(exit, 0.5), Percentile(exit, 0.99));
    Row("a parked unload's steps on a thread of the host's, p50 / p99 of 500: suspend and read the context; "
        "queue SetEvent and ExitThread; resume; until the marker is set; the thread's exit after it",
        result, "report", true);
}

}  // namespace

int main() {
    if (!CreateHostWindow()) return 3;
    ReleaseMediaKeys();
    // Two first cycles, so that what Wine sets up once per process is not
    // counted: one freed before its unload, and one unloaded with its worker
    // parked, whose exit then waits for the loader lock. (One handle,
    // once per process, was seen otherwise in one run of 2000 cycles; its
    // owner was not identified.)
    for (const bool freeFirst : {true, false}) {
        TPlugin warmUp;
        if (!warmUp.Load() || !warmUp.Bind()) {
            std::fprintf(stderr, "plovane_bench: cannot load %s\n", DllPath().c_str());
            return 2;
        }
        warmUp.Create();
        PumpFor(150);
        if (freeFirst) warmUp.Free();
        warmUp.Unload();
    }
    MeasureLoadUnload();
    MeasureParkedUnloadSteps();
    MeasureParkedProbeUnloads();
    TPlugin plugin;
    plugin.Load();
    plugin.Bind();
    MeasurePresses(plugin);
    MeasureFreeInstance(plugin);
    plugin.Unload();
    if (HandledOffThread != 0 || NotFromWorker != 0) {
        std::printf("ROW|shortcuts handled off the host's thread, or not from the worker|%d|0|MISS\n",
                    HandledOffThread + NotFromWorker);
        ++Misses;
    }
    return Misses == 0 ? 0 : 1;
}
