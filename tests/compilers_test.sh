#!/usr/bin/env bash
# The tree built with Debian 13's compilers, GCC 14 (the dev preset) and
# Clang 19 (the clang preset), with warnings as errors, and its unit tests
# and velmora-next's tests run there: a Debian 13 root from
# tools/debian-root, with a copy of this tree, in a container of its own.
# The end-to-end scenarios run on the host's own build.
#
#   tests/compilers_test.sh
#
# Where it cannot run (no root, no tools), it fails under CI=true and is
# skipped (exit 77) elsewhere.
set -uo pipefail
source_dir=$(realpath "$(dirname "$0")/..")

cannot_run() {
  [[ ${CI:-} == true ]] && { echo "FAIL: $*"; exit 1; }
  echo "SKIP: $*"; exit 77
}
((EUID == 0)) || cannot_run "needs root to make and enter a Debian 13 root"
for tool in mmdebstrap systemd-nspawn unshare git; do
  command -v "$tool" >/dev/null || cannot_run "$tool is missing"
done
image=$("$source_dir/tools/debian-root" trixie amd64 \
          g++,clang,cmake,ninja-build,libgtest-dev,libsystemd-dev,tzdata,time,util-linux) ||
  cannot_run "cannot make a Debian 13 root"

work=$(mktemp -d /var/tmp/velmorad-compilers.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/src"
tar -C "$work/root" -xf "$image" || cannot_run "cannot unpack $image"
# The tree as it stands, without the host's builds.
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
  tar -C "$source_dir" --null --ignore-failed-read -T - -c | tar -C "$work/root/src" -x

# nspawn keeps its state under /run/systemd: a private tmpfs there leaves
# nothing of it on the host.
unshare --mount --propagation private -- bash -c '
  mount -t tmpfs velmora-nspawn /run/systemd &&
  exec systemd-nspawn --quiet --register=no --keep-unit --private-network --as-pid2 \
    --timezone=off -D "$1" --chdir=/src -- /bin/sh -ec "
      g++ --version | head -n 1; clang++ --version | head -n 1
      for preset in dev clang; do
        echo \"== \$preset\"
        cmake --preset \$preset -DVELMORA_E2E=OFF >/dev/null
        cmake --build --preset \$preset
        ctest --preset \$preset
      done"' nspawn "$work/root" </dev/null
