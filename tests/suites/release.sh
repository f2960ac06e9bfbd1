#!/usr/bin/env bash
# Releases: reproducibility and the package.
#   - Two copies of this working tree (tracked and new files, plus third_party/), in two folders of
#     different names and depths, each run scripts/release (under different umasks and time zones).
#     Both stubs, the tool and the package must be byte-identical between the two, the stubs' PE
#     time stamps must be SOURCE_DATE_EPOCH, and no output may hold either folder's path.
#   - Each release's tool packs one payload in several folders, with four threads and with one:
#     the installers are byte-identical; 7zz's LZMA gives the same bytes with -mmt=2 as -mmt=1.
#   - Without SOURCE_DATE_EPOCH, the repository's own win32 build takes the commit time.
#   - The package: its control fields, its file list, `dpkg -x` into a temporary root, that copy's
#     `sfxtool --version`, and installers packed by it (default stub, --stub win64) run under Wine
#     (tests/e2e/package_e2e.py).
# Last line: RESULT passed=N failed=N skipped=N.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$here"
passed=0; failed=0; skipped=0
check() {  # check NAME COMMAND...: the command's success is the case's
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "PASS $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}
skip() { skipped=$((skipped + 1)); echo "SKIP $1"; }
finish() { echo "RESULT passed=$passed failed=$failed skipped=$skipped"; [ "$failed" = 0 ]; exit $?; }
git_() { git -c safe.directory='*' -C "$here" "$@"; }

version="$(sed -nE 's/^project\(SelfExtractor VERSION ([0-9]+\.[0-9]+\.[0-9]+) .*/\1/p' CMakeLists.txt)"
arch="$(dpkg --print-architecture)"
[ -n "$version" ] || { echo "no version in CMakeLists.txt"; failed=1; finish; }
[ -f third_party/lzma/7zArcIn.c ] || { echo "third_party/lzma missing: run scripts/setup"; failed=1; finish; }
commit_time="$(git_ log -1 --format=%ct 2>/dev/null)"
# What scripts/release would take; outside a git checkout any fixed time serves the comparison.
epoch="${SOURCE_DATE_EPOCH:-${commit_time:-1700000000}}"

tmp="$(mktemp -d "${TMPDIR:-/tmp}/sfx-release-XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
# Folder names that nothing else would contain, to look for in the outputs.
one="$tmp/sfx-repro-one/src"
two="$tmp/sfx-repro-checkout-two/a/deeper/path/src"

# --- reproducibility -------------------------------------------------------------------------------
copy_tree() {  # copy_tree DEST: the working tree as git sees it (no ignored files), plus third_party
  mkdir -p "$1"
  if [ -n "$commit_time" ]; then
    git_ ls-files -z --cached --others --exclude-standard |
      tar -C "$here" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$1" -xf -
  else
    tar -C "$here" --exclude=./build --exclude=./dist --exclude=./third_party -cf - . | tar -C "$1" -xf -
  fi
  cp -a third_party "$1/"
}
release_in() {  # release_in SRC UMASK TZ
  (cd "$1" && umask "$2" && TZ="$3" SOURCE_DATE_EPOCH="$epoch" bash scripts/release --no-setup --jobs 2) \
    > "$1.release.log" 2>&1
  local rc=$?
  [ $rc = 0 ] || { echo "scripts/release in $1 failed (exit $rc):"; tail -n 30 "$1.release.log"; }
  return $rc
}
copy_tree "$one"; copy_tree "$two"
started=$SECONDS
release_in "$one" 022 UTC; rc_one=$?
release_in "$two" 077 Pacific/Kiritimati; rc_two=$?
echo "(two releases: $((SECONDS - started)) s)"
check "release in folder one" test $rc_one = 0
check "release in folder two (umask 077, another time zone)" test $rc_two = 0
[ $rc_one = 0 ] && [ $rc_two = 0 ] || finish

same() {  # same REL: the file REL is byte-identical in both copies
  if cmp "$one/$1" "$two/$1"; then return 0; fi
  return 1
}
deb="sfxtool_${version}_${arch}.deb"
check "dist/ holds the package, both stubs, the tool and SHA256SUMS" test "$(cd "$one/dist" && ls | tr '\n' ' ')" = \
  "SHA256SUMS SelfExtractor_${version}_win32.exe SelfExtractor_${version}_win64.exe sfxtool_${version}_${arch} $deb "
check "SHA256SUMS checks out" bash -c "cd '$one/dist' && sha256sum --quiet -c SHA256SUMS"
check "same SHA256SUMS from both folders" same dist/SHA256SUMS
for f in "SelfExtractor_${version}_win32.exe" "SelfExtractor_${version}_win64.exe" "sfxtool_${version}_${arch}" "$deb"; do
  check "identical $f" same "dist/$f"
done
# The build outputs themselves, the tool before stripping (with its debug information) included.
for f in win32/SelfExtractor.exe win64/SelfExtractor.exe host/sfxtool; do
  check "identical build output $f" same "build/release/$f"
done
pe_time() { python3 -c 'import struct,sys; b=open(sys.argv[1],"rb").read(); print(struct.unpack_from("<I", b, struct.unpack_from("<I", b, 0x3C)[0] + 8)[0])' "$1"; }
for f in win32 win64; do
  check "$f stub's PE time stamp is SOURCE_DATE_EPOCH ($epoch)" test "$(pe_time "$one/dist/SelfExtractor_${version}_$f.exe")" = "$epoch"
done
# No path of either folder in any output (unstripped tool, stubs, package contents, control).
no_leaks() {  # no_leaks SRC: grep finds nothing (exit 1), and could read every file (else exit 2)
  local root=$1 out="$1.unpacked"
  dpkg-deb -R "$root/dist/$deb" "$out" || return 1
  grep -a -l -r -F -e "sfx-repro-" -e "$tmp" "$root/dist" "$root/build/release/host/sfxtool" \
    "$root/build/release/win32/SelfExtractor.exe" "$root/build/release/win64/SelfExtractor.exe" "$out"
  [ $? = 1 ]
}
check "no build path in any output of folder one" no_leaks "$one"
check "no build path in any output of folder two" no_leaks "$two"

# --- pack with several threads -------------------------------------------------------------------
# Each folder's released tool packs the same release-like payload in several folders: four 7zz at
# once in folder one, one thread in folder two. The installers must be byte-identical, hold the
# folders, and test as sound with 7zz. 7zz's LZMA encoder gives the same bytes with two threads
# (its match finder on the second) as with one, which lets pack run it with -mmt=2 where cores
# are spare: checked here with pack's settings on one solid folder.
payload="$tmp/pack-payload"
python3 scripts/bench-pack --make-payload "$payload" --size-mb 16 --files 300 > /dev/null
pack_with() {  # pack_with FOLDER JOBS OUT
  "$1/build/release/root/usr/bin/sfxtool" pack --stub win64 --payload "$payload" --block-size 2M --jobs "$2" \
    --quiet -o "$3" > "$3.log" 2>&1 || { cat "$3.log"; return 1; }
}
check "folder one's tool packs with four threads" pack_with "$one" 4 "$tmp/pack-4.exe"
check "folder two's tool packs with one thread" pack_with "$two" 1 "$tmp/pack-1.exe"
check "identical installers from four threads and from one" cmp "$tmp/pack-4.exe" "$tmp/pack-1.exe"
check "the installer holds several folders, and 7zz tests its archive as sound" python3 - "$tmp/pack-4.exe" \
  "$one/build/release/root/usr/bin/sfxtool" <<'PY'
import json, subprocess, sys
installer, tool = sys.argv[1], sys.argv[2]
j = json.loads(subprocess.run([tool, "inspect", "--json", installer], capture_output=True, text=True, check=True).stdout)
assert j["problems"] == [] and len(j["folders"]) >= 4, (j["problems"], j["folders"])
archive = installer + ".7z"
with open(installer, "rb") as f, open(archive, "wb") as out:
    f.seek(j["offset"])
    out.write(f.read())
t = subprocess.run(["7zz", "t", archive], capture_output=True, text=True)
assert t.returncode == 0, t.stdout[-500:]
PY
for t in 1 2; do
  (cd "$payload" && 7zz a -t7z -m0=LZMA:d=16m:fb=64:mf=bt4:lc=3:lp=0:pb=2 -mf=BCJ -ms=on -mqs=off -mmt=$t -mhc=on \
    -mhe=off -mtm=off -mtc=off -mta=off -mtr=off -bd -bso0 -y "$tmp/mmt$t.7z" . > /dev/null)
done
check "7zz's LZMA encoder: the same bytes with -mmt=2 as with -mmt=1" cmp "$tmp/mmt1.7z" "$tmp/mmt2.7z"

# --- the commit's time, without SOURCE_DATE_EPOCH ---------------------------------------------------
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  skip "PE time stamp from the commit: SOURCE_DATE_EPOCH is set in this environment"
elif [ -z "$commit_time" ]; then
  skip "PE time stamp from the commit: not a git checkout"
elif [ ! -f build/win32/build.ninja ]; then
  skip "PE time stamp from the commit: no win32 build in build/win32"
elif ! cmake --build build/win32 --target SelfExtractor -j 2 > "$tmp/win32-build.log" 2>&1; then
  check "win32 build" false
else
  check "without SOURCE_DATE_EPOCH the win32 stub's PE time stamp is the commit time" \
    test "$(pe_time build/win32/SelfExtractor.exe)" = "$commit_time"
fi

# --- the package ----------------------------------------------------------------------------------
pkg="$one/dist/$deb"
field() { dpkg-deb -f "$pkg" "$1"; }
check "control: Package sfxtool" test "$(field Package)" = sfxtool
check "control: Version $version" test "$(field Version)" = "$version"
check "control: Architecture $arch" test "$(field Architecture)" = "$arch"
check "control: Depends names 7zip, libssl3, libc6" python3 - "$(field Depends)" <<'PY'
import sys
deps = {d.strip().split(" ")[0] for d in sys.argv[1].split(",")}
missing = {"7zip", "libssl3", "libc6", "libstdc++6", "zlib1g"} - deps
sys.exit(f"Depends: {sys.argv[1]!r} lacks {sorted(missing)}" if missing else 0)
PY
check "control: Maintainer and Description" test -n "$(field Maintainer)" -a "$(field Description | wc -l)" -ge 2
# Files, modes and owners: nothing but the tool and the two stubs.
dpkg-deb -c "$pkg" | awk '{print $1, $2, $6}' | sort > "$tmp/contents"
cat > "$tmp/contents.want" <<EOF
-rw-r--r-- root/root ./usr/share/sfxtool/stubs/win32/SelfExtractor.exe
-rw-r--r-- root/root ./usr/share/sfxtool/stubs/win64/SelfExtractor.exe
-rwxr-xr-x root/root ./usr/bin/sfxtool
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/sfxtool/
drwxr-xr-x root/root ./usr/share/sfxtool/stubs/
drwxr-xr-x root/root ./usr/share/sfxtool/stubs/win32/
drwxr-xr-x root/root ./usr/share/sfxtool/stubs/win64/
EOF
sort -o "$tmp/contents.want" "$tmp/contents.want"
check "file list" diff "$tmp/contents.want" "$tmp/contents"

root="$tmp/unpacked root"
dpkg -x "$pkg" "$root"
check "the package's stubs are the ones built" bash -c \
  "cmp '$root/usr/share/sfxtool/stubs/win32/SelfExtractor.exe' '$one/build/release/win32/SelfExtractor.exe' &&
   cmp '$root/usr/share/sfxtool/stubs/win64/SelfExtractor.exe' '$one/build/release/win64/SelfExtractor.exe'"
(cd / && "$root/usr/bin/sfxtool" --version) > "$tmp/version" 2>&1
echo "--- sfxtool --version of the unpacked package:"; cat "$tmp/version"
sum() { sha256sum < "$1" | cut -d' ' -f1; }
cat > "$tmp/version.want" <<EOF
sfxtool $version
stub win32: sha256 $(sum "$one/dist/SelfExtractor_${version}_win32.exe") $root/usr/share/sfxtool/stubs/win32/SelfExtractor.exe
stub win64: sha256 $(sum "$one/dist/SelfExtractor_${version}_win64.exe") $root/usr/share/sfxtool/stubs/win64/SelfExtractor.exe
EOF
check "unpacked sfxtool --version: version and the SHA-256 of the stubs it carries" diff "$tmp/version.want" "$tmp/version"

python3 tests/e2e/package_e2e.py --root "$root" 2>&1 | tee "$tmp/package-e2e.log"
line="$(grep -E '^RESULT passed=[0-9]+ failed=[0-9]+ skipped=[0-9]+' "$tmp/package-e2e.log" | tail -n1)"
if [ -z "$line" ]; then
  check "package end-to-end under Wine (no result line)" false
else
  passed=$((passed + $(sed -E 's/.*passed=([0-9]+).*/\1/' <<<"$line")))
  failed=$((failed + $(sed -E 's/.*failed=([0-9]+).*/\1/' <<<"$line")))
  skipped=$((skipped + $(sed -E 's/.*skipped=([0-9]+).*/\1/' <<<"$line")))
fi
finish
