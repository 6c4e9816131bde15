#!/usr/bin/env bash
# The package built as Debian builds it, in a clean Debian 12 or 13 root:
# mmdebstrap's minimal root (tools/debian-root), apt-get build-dep from
# debian/control and nothing else, then dpkg-buildpackage with the
# package's tests, in a container of its own with no network, as an
# ordinary user who owns the tree, as buildds and sbuild build (the package
# says Rules-Requires-Root: no). That proves the build dependencies
# complete. With one of them taken away the build must stop with dpkg's own
# message naming it. The postinst must show that this release's debhelper
# handled the units. On Debian 13 the tree is also
# built with GCC 14 (the dev preset) and Clang 19 (the clang preset),
# warnings as errors, and their unit and velmora-next tests run as that
# user; the end-to-end scenarios run on the host's own build.
#
#   tests/clean_build_test.sh bookworm|trixie
#
# Where it cannot run (no root, no tools), it fails under CI=true and is
# skipped (exit 77) elsewhere.
set -uo pipefail
source_dir=$(realpath "$(dirname "$0")/..")
suite=$1

cannot_run() {
  [[ ${CI:-} == true ]] && { echo "FAIL: $*"; exit 1; }
  echo "SKIP: $*"; exit 77
}
((EUID == 0)) || cannot_run "needs root to make and enter a Debian root"
for tool in mmdebstrap systemd-nspawn unshare git; do
  command -v "$tool" >/dev/null || cannot_run "$tool is missing"
done
presets=""
[[ $suite == trixie ]] && presets="dev clang"
image=$("$source_dir/tools/debian-root" "$suite" amd64 "${presets:+clang,ninja-build}" "$source_dir") ||
  cannot_run "cannot make a Debian $suite root"

work=$(mktemp -d /var/tmp/velmorad-clean-build.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/build/velmorad"
tar -C "$work/root" -xf "$image" || cannot_run "cannot unpack $image"
"$source_dir/tools/copy-tree" "$work/root/build/velmorad"

# nspawn keeps its state under /run/systemd: a private tmpfs there leaves
# nothing of it on the host.
unshare --mount --propagation private -- bash -c '
  mount -t tmpfs velmora-nspawn /run/systemd &&
  exec systemd-nspawn --quiet --register=no --keep-unit --private-network --as-pid2 \
    --timezone=off -D "$1" --chdir=/build/velmorad -- /bin/sh -ec "
      g++ --version | head -n 1
      useradd --create-home builder
      chown -R builder: /build
      user() { runuser -u builder -- env HOME=/home/builder \"\$@\"; }
      echo \"== dpkg-buildpackage -us -uc -b, as \$(user id -un)\"
      user dpkg-buildpackage -us -uc -b >/build/log 2>&1 || { tail -n 40 /build/log; exit 1; }
      grep -E \"^[0-9]+% tests passed|^dpkg-deb: building\" /build/log
      for preset in $2; do
        echo \"== \$preset\"
        user cmake --preset \$preset -DVELMORA_E2E=OFF >/dev/null
        user cmake --build --preset \$preset
        user ctest --preset \$preset
      done
      echo \"== a build dependency missing\"
      dpkg --remove --force-depends libgtest-dev >/dev/null 2>&1
      if user dpkg-buildpackage -us -uc -b >/build/log 2>&1; then echo \"built without it\"; exit 1; fi
      grep -i \"^dpkg-checkbuilddeps: error: unmet build dependencies: libgtest-dev\" /build/log ||
        { tail -n 5 /build/log; exit 1; }"' \
  nspawn "$work/root" "$presets" </dev/null || exit 1

# This release's debhelper found the units: the daemon is restarted after
# an upgrade. The script is read whole before it is searched: a grep that
# quits at its first match would end tar with SIGPIPE, a failure under
# pipefail whenever tar had more to write.
postinst=$(dpkg-deb --ctrl-tarfile "$work"/root/build/velmorad_*_amd64.deb | tar -xO ./postinst) ||
  { echo "FAIL: the package has no postinst"; exit 1; }
grep -q "try-restart 'velmorad.service'" <<<"$postinst" ||
  { echo "FAIL: the postinst does not restart velmorad.service after an upgrade"; exit 1; }
echo "== the postinst restarts velmorad.service after an upgrade"
