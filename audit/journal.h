// Reads what the audit needs from this host's system journal, through
// libsystemd's sd-journal: each boot's first and last entry and when it
// began to shut down, the daemon's start-up lines, and the service
// manager's messages that its unit's main process ended. Needs read access
// to the journal (root, or the groups adm or systemd-journal).
//
// Only what no local account, and no root in another unit (a container's
// root is uid 0 on the host), can forge is evidence: a start-up line counts
// only as logged from velmorad.service, whatever user a drop-in runs it as
// (only root starts a system unit); the unit's stops, its main process's
// end and PID 1's own restarts of it only as PID 1 logged them as root; a
// shutdown's start only as logind's unit or PID 1 logged it as root. A
// boot's head shows by PID 1's word that its start-up finished, or the
// kernel's lines from its first minute; never by journald's start, which
// also comes when journald restarts while the host runs. An end of the
// main process that PID 1 answers with a restart of its own is a crash.
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
