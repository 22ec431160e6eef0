#!/usr/bin/env bash
# Runs the tests on CPython 3.14 inside a minimal Debian unstable root, whose
# python3 is 3.14: builds the root once (mmdebstrap or debootstrap, from the
# Debian mirror this machine's apt uses), reuses it afterwards, clones the
# project's committed HEAD into it and runs ./test.sh there with
# PYTHON=python3.14 (the normal pass only).  Arguments go to pytest.
#
# Needs root and the network.  Where it cannot run it says why and exits 77
# (skipped).  With CI=true it installs mmdebstrap when neither tool is there;
# elsewhere it installs no system package.
#   TORVO_PY314_ROOT   where the root lives (default /var/cache/torvo-py314-root)
#   TORVO_PY314_FRESH=1  rebuild the root
set -euo pipefail
cd "$(dirname "$0")/.."

ROOT=${TORVO_PY314_ROOT:-/var/cache/torvo-py314-root}
SUITE=unstable
PACKAGES=python3.14,python3.14-dev,python3.14-venv,g++,git,cmake,ninja-build,ca-certificates

source tools/need.sh

[ "$(id -u)" = 0 ] || skip "needs root (chroot and mounts)"
command -v git >/dev/null 2>&1 || skip "git is not installed"

# The Debian mirror this machine's apt reads (its main suite, not security).
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 'Label: Debian' 2>/dev/null \
         | sort -u | head -1 || true)
[ -n "$mirror" ] || skip "this machine's apt names no Debian mirror"

# Builds the root into $ROOT.new and renames it, so an interrupted build is
# never taken for a finished one.
build_root() {
  local tool=mmdebstrap
  if ! command -v mmdebstrap >/dev/null 2>&1; then
    if command -v debootstrap >/dev/null 2>&1; then tool=debootstrap; else need mmdebstrap mmdebstrap; fi
  fi
  python3 - "$mirror" <<'EOF' || skip "the Debian mirror cannot be reached"
import sys, urllib.request
urllib.request.urlopen(sys.argv[1] + "dists/unstable/InRelease", timeout=20).read(1)
EOF
  echo "building the Debian $SUITE root in $ROOT with $tool"
  rm -rf "$ROOT.new"
  # The mirror's Release file may be past its Valid-Until date; signatures
  # are still checked.
  local log=$ROOT.log
  if [ "$tool" = mmdebstrap ]; then
    mmdebstrap --variant=apt --include="$PACKAGES" \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      "$SUITE" "$ROOT.new" "deb $mirror $SUITE main" >"$log" 2>&1 \
      || { tail -20 "$log" >&2; echo "building the root failed (log: $log)" >&2; exit 1; }
  else
    mkdir -p "$ROOT.new/etc/apt/apt.conf.d"
    echo 'Acquire::Check-Valid-Until "false";' > "$ROOT.new/etc/apt/apt.conf.d/50valid-until"
    debootstrap --variant=minbase --include="$PACKAGES" "$SUITE" "$ROOT.new" "$mirror" >"$log" 2>&1 \
      || { tail -20 "$log" >&2; echo "building the root failed (log: $log)" >&2; exit 1; }
  fi
  mkdir -p "$ROOT.new/etc/apt/apt.conf.d"
  echo 'Acquire::Check-Valid-Until "false";' > "$ROOT.new/etc/apt/apt.conf.d/50valid-until"
  mv "$ROOT.new" "$ROOT"
}

# One run at a time uses the root; another waits here.
mkdir -p "$(dirname "$ROOT")"
exec 9>"$ROOT.lock"
flock -w 3600 9 || { echo "another run has held $ROOT.lock for an hour" >&2; exit 1; }

# Mounts left inside the root by a run that was killed, deepest first.
mounts_inside() { awk -v root="$ROOT/" 'index($2, root) == 1 { print $2 }' /proc/mounts | sort -r; }
for target in $(mounts_inside); do umount "$target" 2>/dev/null || umount -l "$target"; done
if [ -n "$(mounts_inside)" ]; then echo "still mounted inside $ROOT: $(mounts_inside)" >&2; exit 1; fi

if [ "${TORVO_PY314_FRESH:-0}" = 1 ]; then rm -rf "$ROOT"; fi
[ -x "$ROOT/usr/bin/python3.14" ] || build_root

# Mounts, undone on every way out.
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mount_in() {  # mount_in TARGET MOUNT-ARGS...
  local target=$ROOT$1
  shift
  mount "$@" "$target"
  mounted+=("$target")
}
mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs tmpfs

# pip inside trusts what this machine trusts; the resolver is this machine's.
ca=/etc/ssl/certs/ca-certificates.crt
[ -r "$ca" ] || ca=$(python3 -c 'import ssl; print(ssl.get_default_verify_paths().openssl_cafile)')
cp "$ca" "$ROOT/etc/ssl/host-ca.crt"
rm -f "$ROOT/etc/resolv.conf"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true

# The committed HEAD, cloned afresh.
head=$(git rev-parse HEAD)
rm -rf "$ROOT/work/torvo"
mkdir -p "$ROOT/work"
git clone -q --no-checkout "$PWD" "$ROOT/work/torvo"
git -C "$ROOT/work/torvo" checkout -q --detach "$head"

echo "py314: $(chroot "$ROOT" python3.14 --version), $(chroot "$ROOT" g++ --version | head -1), commit ${head:0:12}"
# Only the TORVO_* settings (and CI) pass in; pip's cache stays in the root.
passed=()
while IFS= read -r name; do passed+=("$name=${!name}"); done < <(compgen -e | grep -E '^(TORVO_|CI$)' || true)
quoted=$(printf ' %q' "$@")
chroot "$ROOT" /usr/bin/env -i "${passed[@]}" \
  HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
  PIP_CERT=/etc/ssl/host-ca.crt SSL_CERT_FILE=/etc/ssl/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
  PYTHON=python3.14 TORVO_SKIP_OTHER_PYTHONS=1 TORVO_SKIP_SANITIZE=1 TORVO_SKIP_FUZZ=1 \
  TORVO_SKIP_PY314=1 TORVO_SKIP_WINDOWS=1 \
  /bin/bash -c "cd /work/torvo && exec ./test.sh$quoted"
