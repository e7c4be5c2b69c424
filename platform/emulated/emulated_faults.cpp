// Where the emulated Windows fails: the faults tests arm (a call the system
// refuses, or a suspension that lags), and the one way a run fails, for a
// deadlock or wherever Windows would crash or hang: the run stops at once,
// naming the call and where every thread waits.
#include <cstdio>
#include <cstdlib>

#include "emulated_machine.h"

namespace emulated::internal {

namespace {

const char* LifeName(const TThread& t) {
    if (t.Life == TLife::Finished) return "finished";
    if (t.Life == TLife::Terminated) return "terminated";
    if (t.SuspendCount > 0) return "suspended";
    return t.Waiting ? "blocked" : "running";
}

void Dump(const char* why) {
    std::fprintf(stderr, "emulated windows: %s\n", why);
    for (const TThread* t : M().Threads) {
        if (t->Life != TLife::Running) continue;
        std::fprintf(stderr, "  thread %d (%s): %s%s%s\n", t->Number,
                     t->Created ? "CreateThread" : "test", LifeName(*t),
                     t->Waiting ? " in " : "", t->Waiting ? t->WaitName : "");
    }
    std::fflush(stderr);
}

}  // namespace

void FailRun(const char* why) {
    Dump(why);
    std::abort();
}

void Violation(const char* what, const char* where) {
    char why[256];
    std::snprintf(why, sizeof why, "%s: %s", what, where);
    FailRun(why);
}

void CheckImage(const TThread& self, const char* what, const char* where) {
    if (self.Created && (!M().ImageMapped || self.Image != M().Image)) Violation(what, where);
}

void CheckNoLoaderOrHeapUse(const TCall& call) {
    const TMachine& m = M();
    if (m.LoaderOwner != &call.Self) return;
    for (const TThread* t : m.Threads)
        if (t->Life == TLife::Running && t->SuspendCount > 0 && t->SuspendedBy == &call.Self &&
            t->SuspendEpoch == m.LoaderEpoch)
            Violation("loader or heap used while a thread this one suspended is suspended", call.Name);
}

bool Faulted(emulated::TFault fault) {
    TFaultPlan& plan = M().Faults[fault];
    if (plan.Count == 0) return false;
    if (plan.Skip > 0) {
        --plan.Skip;
        return false;
    }
    --plan.Count;
    return true;
}

}  // namespace emulated::internal

namespace emulated {

void InjectFault(TFault fault, int occurrence, int count) {
    internal::Lock lock(internal::M().Mutex);
    internal::M().Faults[fault] = {occurrence > 1 ? occurrence - 1 : 0, count};
}

}  // namespace emulated
