#include "platform/priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/ioprio.h>
#endif

namespace velkscan {

void LowerProcessPriority() {
  // On Linux this lowers the calling thread; later threads inherit it.
  setpriority(PRIO_PROCESS, 0, 19);
#if defined(__linux__) && defined(SYS_ioprio_set)
  syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0));
#endif
}

void LowerThreadPriority() {
#if defined(SCHED_IDLE)
  sched_param param{};
  param.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
#endif
#if defined(__linux__) && defined(SYS_ioprio_set)
  // With who 0 the I/O class, too, is the calling thread's alone.
  syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0));
#endif
}

}  // namespace velkscan
