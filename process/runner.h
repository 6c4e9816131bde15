// Runs an external program as a child and waits for it.
//
// Contract:
// - run_command(path, arg1, ..., nullptr) forks once. The child gets
//   argument 0 = path exactly as given, then at most 62 of the strings that
//   follow (any beyond are ignored); a path without a slash is looked up along
//   PATH, and the environment is inherited unchanged.
// - In the child, standard input, output and error are all on /dev/null, also
//   when the caller runs with some of them closed or with its descriptor table
//   full, and no descriptor above 2 is open. If /dev/null cannot be opened the
//   three stay closed and the program still runs. A program that cannot be
//   executed ends the child with exit code 1.
// - The call blocks until the child ends and returns its waitpid() status, or
//   -1 when no child could be created or its status could not be collected.
// - Nothing is logged, no signal handler or mask is touched, and between fork
//   and exec the child calls only async-signal-safe functions.
#pragma once

namespace velmora {

// Slot 0 is the path, slots 1 to 62 the arguments, and one closing null.
inline constexpr int kArgvSlots = 64;

int run_command(const char* path, ...);

// The child's half of run_command: sets up the descriptors and executes
// argv[0]. Returns only when the program could not be executed.
void exec_in_child(char* const argv[]);

}  // namespace velmora
