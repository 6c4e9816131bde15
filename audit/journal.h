// Reads what the audit needs from this host's system journal, through
// libsystemd's sd-journal: each boot's first and last entry and when it
// began to shut down, the daemon's start-up lines, and the service
// manager's messages that its unit's main process ended. Needs read access
// to the journal (root, or the groups adm or systemd-journal).
//
// Only what no local account can forge is evidence: a start-up line counts
// when journald stamped it as logged by uid 0 or from velmorad.service
// (only root starts that unit, whatever user a drop-in runs it as), and
// the units whose stops end the daemon's stretches are those such lines
// came from; a stop counts when PID 1 logged it. A shutdown's start is logind's word that the system
// is going down, or PID 1's stop of multi-user.target, each only as uid 0
// logged it. Any other account's line with the same name and text is
// ignored.
#pragma once

#include <ctime>
#include <string>

#include "audit/audit.h"

namespace velmora {

// Fills boots, events and journal_start of `input`, with `now` as the end of
// the current boot. False, with the reason in `why`, when the journal cannot
// be opened or shows no entry.
bool read_journal(time_t now, audit_input* input, std::string* why);

}  // namespace velmora
