// One worker cycle, as the worker runs it (the scan under the lock, then the
// key-state reset), on the emulated Windows, for a table of 4 and of 100
// entries, each on a key of its own. Half the keys are held, so the scan
// samples, compares and skips already-fired entries as it would in use.
#include <benchmark/benchmark.h>

#include <cstring>

#include "emulated_windows.h"
#include "hotkey_table.h"
#include "key_sampler.h"
#include "poller.h"

namespace {

using namespace global_hotkeys;

void Ignore(int32_t) {}

void FillTable(int entries) {
    std::memset(HotkeyTable, 0, sizeof HotkeyTable);
    HotkeyLast = -1;
    emulated::ResetKeyboard();
    for (int i = 0; i < entries; ++i) {
        const auto vk = static_cast<uint16_t>(0x30 + i);
        AppendHotkey(i, static_cast<uint16_t>(i % 8), vk, Ignore);
        if (i % 2 == 0) emulated::PressKey(vk);
    }
    ResetKeyStates();
}

void BM_WorkerCycle(benchmark::State& state) {
    FillTable(static_cast<int>(state.range(0)));
    TCriticalSection lock;
    for (auto _ : state) {
        lock.Enter();
        ScanHotkeys();
        lock.Leave();
        ResetKeyStates();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_WorkerCycle)->Arg(4)->Arg(100)->Complexity(benchmark::oN);

// The scan alone: the part that grows with the table.
void BM_Scan(benchmark::State& state) {
    FillTable(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ScanHotkeys();
        std::memset(KeyStates, KEY_UNSAMPLED, sizeof KeyStates);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Scan)->Arg(4)->Arg(25)->Arg(50)->Arg(100)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
