// Idle priority: a scan uses only processor time (and disk time) that
// nothing else wants. Every call is best effort and silent: a system that
// refuses leaves the priority as it was.
#pragma once

namespace velkscan {

// The whole process at the lowest priority: on Linux the calling thread's
// nice value 19 (threads created afterwards inherit it, so call it before
// starting any) and the idle I/O class; on Windows IDLE_PRIORITY_CLASS.
void LowerProcessPriority();

// The calling thread in the idle scheduling class (SCHED_IDLE and the idle
// I/O class on Linux, THREAD_PRIORITY_IDLE on Windows).
void LowerThreadPriority();

}  // namespace velkscan
