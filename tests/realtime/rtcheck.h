// The real-time interposer's interface. The library replaces the allocator,
// the pthread locks and waits, stdio and the system-call wrappers a render
// path could reach; each call made on a thread that is inside a window
// (between enter and leave) is counted. Preload it (or link it first) to
// take effect; the test asks glimm_rtcheck_active() to be sure.
//
// Threads: enter/leave on the thread to watch; the rest from any thread.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum GlimmRtKind { kGlimmRtAlloc, kGlimmRtLock, kGlimmRtSyscall, kGlimmRtStdio, kGlimmRtKinds };

void glimm_rtcheck_enter(void);
void glimm_rtcheck_leave(void);
void glimm_rtcheck_reset(void);
// Calls of that kind made inside a window since the last reset.
long glimm_rtcheck_count(int kind);
// The i-th recorded call (the first 64 are kept): its function and caller.
int glimm_rtcheck_event(int i, const char** function, void** caller);
// 1 when this library's wrappers are the ones the process uses.
int glimm_rtcheck_active(void);

#ifdef __cplusplus
}
#endif
