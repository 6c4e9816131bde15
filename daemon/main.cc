// velmorad: restarts the host once a day at the local time set in the
// module settings file. It logs one line at start and nothing after.
#include <syslog.h>
#include <unistd.h>

#include "common/paths.h"
#include "daemon/clock.h"
#include "daemon/scheduler.h"
#include "process/runner.h"
#include "settings/settings.h"

int main() {
  using namespace velmora;
  // No openlog(): the user facility and the program's own name are wanted.
  syslog(LOG_NOTICE, "Modul Velmora start");

  module_settings settings{};
  load_module_settings(&settings);

  bool clock_ok = false;
  const int32_t start = minute_of_day(&clock_ok);
  scheduler state = scheduler_start(
      target_minute(settings.hour, settings.minute), start, clock_ok);

  // The first pass runs at once. Each sleep starts when the pass is over, so
  // the time spent in the command pushes the later passes along.
  for (;;) {
    if (scheduler_pass(&state, minute_of_day())) {
      run_command(kRebootCommand, static_cast<const char*>(nullptr));
    }
    sleep(kPassSeconds);
  }
}
