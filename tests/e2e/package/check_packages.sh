#!/usr/bin/env bash
# The Debian packages of a build: made by CPack, unpacked into a scratch
# root (dpkg -x), the programs run from there (ostravel --version; rocktreed
# --port 0 until it listens, then SIGTERM and exit 0), their Depends, lintian
# on both (no error) and systemd-analyze verify on the unit.
#   check_packages.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work/root" "$work/out"
fail() { echo "check_packages: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
for pkg in ostravel rocktreed; do
  deb=$(ls "$work/out/${pkg}_"*_amd64.deb 2>/dev/null | head -1)
  [[ -n $deb ]] || fail "no ${pkg}_VERSION_amd64.deb in $work/out: $(ls "$work/out")"
  [[ $(basename "$deb") =~ ^${pkg}_[0-9]+\.[0-9]+\.[0-9]+_amd64\.deb$ ]] || fail "unexpected name $(basename "$deb")"
  dpkg -x "$deb" "$work/root"
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$pkg Depends: $depends"
  case $pkg in
    ostravel) wanted="fonts-dejavu-core libsdl2" ;;
    rocktreed) wanted="ferret-datasets xplanet-images libmicrohttpd libgdal" ;;
  esac
  for w in $wanted; do [[ $depends == *"$w"* ]] || fail "$pkg does not depend on $w"; done
  lintian --tag-display-limit 0 "$deb" >"$work/lintian-$pkg.txt" 2>&1 || true
  if grep -q '^E: ' "$work/lintian-$pkg.txt"; then cat "$work/lintian-$pkg.txt"; fail "lintian errors on $pkg"; fi
  echo "$pkg lintian: $(grep -c '^W: ' "$work/lintian-$pkg.txt" || true) warnings, no error"
done

root=$work/root
for f in usr/bin/ostravel usr/bin/rocktreed lib/systemd/system/rocktreed.service etc/default/rocktreed \
         usr/share/man/man1/ostravel.1.gz usr/share/man/man1/rocktreed.1.gz \
         usr/share/applications/ostravel.desktop usr/share/icons/hicolor/scalable/apps/ostravel.svg; do
  [[ -e $root/$f ]] || fail "$f is not in the packages"
done
"$root/usr/bin/ostravel" --version | grep -q '^ostravel [0-9]' || fail "ostravel --version"

"$root/usr/bin/rocktreed" --port 0 --quiet >"$work/rocktreed.log" 2>&1 &
pid=$!
for _ in $(seq 300); do grep -q listening "$work/rocktreed.log" && break; sleep 0.1; done
grep -q listening "$work/rocktreed.log" || { kill "$pid"; cat "$work/rocktreed.log"; fail "rocktreed did not start"; }
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[[ $status -eq 0 ]] || fail "rocktreed exited $status after SIGTERM"

# The unit against the system's own targets and slices, copied into the
# scratch root; manual pages are not looked up there (--man=no).
for f in /lib/systemd/system/*.target /lib/systemd/system/*.slice; do cp -n "$f" "$root/lib/systemd/system/"; done
systemd-analyze verify --man=no --root="$root" rocktreed.service >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
echo "check_packages: both packages built, installed into $root, run, lintian-clean and verified"
