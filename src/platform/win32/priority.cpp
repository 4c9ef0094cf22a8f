#include "platform/priority.h"

#include <windows.h>

namespace velkscan {

void LowerProcessPriority() {
  SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
}

void LowerThreadPriority() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
}

}  // namespace velkscan
