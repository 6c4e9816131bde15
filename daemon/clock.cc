#include "daemon/clock.h"

namespace velmora {

bool minute_of_day_at(time_t when, int32_t* minute) {
  struct tm local {};
  if (localtime_r(&when, &local) == nullptr) return false;
  *minute = local.tm_hour * 60 + local.tm_min;
  return true;
}

int32_t minute_of_day(bool* fresh) {
  static int32_t last_good = 0;
  const bool ok = minute_of_day_at(time(nullptr), &last_good);
  if (fresh != nullptr) *fresh = ok;
  return last_good;
}

}  // namespace velmora
