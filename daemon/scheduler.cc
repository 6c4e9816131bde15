#include "daemon/scheduler.h"

namespace velmora {

int32_t target_minute(uint32_t hour, uint32_t minute) {
  return static_cast<int32_t>(hour * 60U + minute);
}

scheduler scheduler_start(int32_t target, int32_t now, bool now_known) {
  // Started during the target minute or later, the daemon leaves today
  // alone; the previous minute starts at 0 so that the first pass never
  // counts as a fall of the clock.
  return scheduler{target, now_known && now < target, 0};
}

bool scheduler_pass(scheduler* state, int32_t now) {
  if (now < state->previous) state->armed = true;
  state->previous = now;
  if (!state->armed || now < state->target) return false;
  state->armed = false;
  return true;
}

}  // namespace velmora
