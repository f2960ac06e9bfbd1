#!/usr/bin/env bash
# Command-line behaviour of sfxtool: help, exit codes (0 well, 1 input problems, 2 usage), one-line
# errors on stderr, JSON output, byte-identical packs and no output after a refused pack.
#   tests/tool/sfxtool_cli_test.sh [path/to/sfxtool]
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
tool="${1:-$here/build/host/sfxtool}"
[ -x "$tool" ] || { echo "sfxtool not built: $tool"; echo "RESULT passed=0 failed=1 skipped=0"; exit 1; }
work="$(mktemp -d /tmp/sfxtool-cli-XXXXXX)"
trap 'rm -rf "$work"' EXIT
passed=0; failed=0
check() {  # check NAME CONDITION-COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "PASS $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}
# run ARGS...: sets rc, out, err
run() { "$tool" "$@" >"$work/out" 2>"$work/err"; rc=$?; out=$(cat "$work/out"); err=$(cat "$work/err"); }
lines() { [ -z "$1" ] && echo 0 || printf '%s\n' "$1" | wc -l; }

# A minimal PE32 image of one section, without resources, stands for the stub (pack adds the
# standard manifest to it).
python3 - "$work/stub.exe" <<'PY'
import struct, sys
b = bytearray(0x400)
b[0:2] = b"MZ"; struct.pack_into("<I", b, 0x3C, 0x40)
b[0x40:0x44] = b"PE\0\0"; struct.pack_into("<HH", b, 0x44, 0x14C, 1); struct.pack_into("<H", b, 0x54, 0xE0)
struct.pack_into("<H", b, 0x58, 0x10B); struct.pack_into("<I", b, 0x58 + 92, 16)
struct.pack_into("<II", b, 0x58 + 32, 0x1000, 0x200); struct.pack_into("<II", b, 0x58 + 56, 0x2000, 0x200)
s = 0x58 + 0xE0
b[s:s + 5] = b".text"; struct.pack_into("<IIII", b, s + 8, 0x200, 0x1000, 0x200, 0x200)
b[0x200:0x400] = b"x" * 0x200
open(sys.argv[1], "wb").write(b)
PY
mkdir -p "$work/payload/docs"
cp "$work/stub.exe" "$work/payload/Orvak ZEB Installer.exe"
printf 'hello\n%.0s' {1..500} > "$work/payload/docs/readme.txt"
: > "$work/payload/empty.txt"

# Help for the tool and each command.
run --help;          check "help" test "$rc" = 0 -a -n "$(grep -E 'pack' <<<"$out")" -a -n "$(grep -E 'verify' <<<"$out")"
run pack --help;     check "pack help" test "$rc" = 0 -a -n "$(grep -e '--payload' <<<"$out")" -a -n "$(grep -e '--launch' <<<"$out")"
run inspect --help;  check "inspect help" test "$rc" = 0 -a -n "$(grep -e '--json' <<<"$out")"
run verify --help;   check "verify help" test "$rc" = 0 -a -n "$(grep -e '--staging-length' <<<"$out")"

# Usage errors: exit 2, one line on stderr.
run;                                          check "no command" test "$rc" = 2 -a "$(lines "$err")" = 1
run frobnicate;                               check "unknown command" test "$rc" = 2 -a "$(lines "$err")" = 1
run pack --stub "$work/stub.exe" --payload "$work/payload";  check "pack without -o" test "$rc" = 2 -a "$(lines "$err")" = 1
run pack --stub "$work/stub.exe" --payload "$work/payload" --format rar -o "$work/x.exe"
check "bad format" test "$rc" = 2 -a ! -e "$work/x.exe"
run verify;                                   check "verify without file" test "$rc" = 2

# Input problems: exit 1, one line per problem.
run verify "$work/missing.exe";               check "verify missing file" test "$rc" = 1 -a "$(lines "$err")" = 1
run inspect "$work/missing.exe";              check "inspect missing file" test "$rc" = 1 -a "$(lines "$err")" = 1
run verify "$work/stub.exe";                  check "verify bare stub" test "$rc" = 1 -a -n "$(grep 'no archive found' <<<"$err")"
run inspect "$work/stub.exe";                 check "inspect bare stub exits 0" test "$rc" = 0 -a -n "$(grep 'no archive found' <<<"$out")"
run pack --stub "$work/stub.exe" --payload "$work/payload" --launch nothing.exe -o "$work/x.exe"
check "launch target missing" test "$rc" = 1 -a "$(lines "$err")" = 1 -a ! -e "$work/x.exe"

# A good pack in each format; verify and inspect agree.
for fmt in 7z zip; do
  run pack --stub "$work/stub.exe" --payload "$work/payload" --format $fmt --launch docs/readme.txt -o "$work/setup-$fmt.exe"
  check "pack $fmt" test "$rc" = 0 -a -s "$work/setup-$fmt.exe"
  run verify "$work/setup-$fmt.exe";          check "verify $fmt" test "$rc" = 0 -a -z "$err"
  run inspect --json "$work/setup-$fmt.exe"
  check "inspect --json $fmt" python3 -c '
import json, sys
j = json.loads(sys.argv[1])
names = sorted(e["name"] for e in j["entries"])
assert j["kind"] == sys.argv[2] and j["offset"] == j["stubImageEnd"] == 2048 and j["problems"] == [], j
assert j["identity"]["manifest"] and j["identity"]["executionLevel"] == "asInvoker", j["identity"]
assert j["identity"]["resourceSection"] == {"offset": 1024, "size": 1024}, j["identity"]
assert names == [".launch", "Orvak ZEB Installer.exe", "docs/readme.txt", "empty.txt"], names
assert j["program"] == {"source": ".launch", "path": "docs/readme.txt", "exists": True}, j["program"]
' "$out" "$fmt"
done
run pack --stub "$work/stub.exe" --payload "$work/payload" --launch docs/readme.txt -o "$work/x.exe"
run pack --stub "$work/stub.exe" --payload "$work/setup-7z.exe" --launch docs/readme.txt -o "$work/x.exe"
check "--launch with an archive is a usage error" test "$rc" = 2

# Same inputs, same bytes (and SOURCE_DATE_EPOCH is honoured).
for n in 1 2; do
  SOURCE_DATE_EPOCH=1700000000 "$tool" pack --stub "$work/stub.exe" --payload "$work/payload" --format zip -o "$work/d$n.exe" >/dev/null 2>&1
  touch "$work/payload/docs/readme.txt"
done
check "deterministic zip" cmp -s "$work/d1.exe" "$work/d2.exe"
check "SOURCE_DATE_EPOCH honoured" test -n "$(unzip -l "$work/d1.exe" 2>/dev/null | grep '2023-11-14')"
SOURCE_DATE_EPOCH=yesterday "$tool" pack --stub "$work/stub.exe" --payload "$work/payload" -o "$work/e.exe" 2>/dev/null
check "malformed SOURCE_DATE_EPOCH refused" test $? = 1 -a ! -e "$work/e.exe"

# Folders: --block-size (a file larger than the size is a folder of its own); inspect lists them.
run pack --stub "$work/stub.exe" --payload "$work/payload" --block-size 1K --jobs 2 -o "$work/blocks.exe"
check "pack --block-size 1K" test "$rc" = 0
run inspect --json "$work/blocks.exe"
check "inspect --json: two folders of one file each" python3 -c '
import json, sys
j = json.loads(sys.argv[1])
assert [(f["files"], f["coders"]) for f in j["folders"]] == [(1, "BCJ2 LZMA LZMA LZMA"), (1, "LZMA")], j["folders"]
' "$out"
run inspect "$work/blocks.exe"
check "inspect: the folders' count and files" test -n "$(grep -x 'folders (2):' <<<"$out")" -a \
  -n "$(grep -E '^  1: LZMA, 1 file, 3000 bytes unpacked' <<<"$out")"
for bad in "--block-size 12X" "--block-size -1" "--jobs 0"; do
  run pack --stub "$work/stub.exe" --payload "$work/payload" $bad -o "$work/bad.exe"
  check "usage: $bad" test "$rc" = 2 -a "$(lines "$err")" = 1 -a ! -e "$work/bad.exe"
done

# On a terminal (script(1) gives the tool one), pack shows its progress on stderr and a last line;
# nothing of the kind with --quiet, or when stderr is not a terminal.
tty_pack() {
  script -qfec "$(printf '%q ' "$tool" pack --stub "$work/stub.exe" --payload "$work/payload" "$@")" /dev/null \
    > "$work/tty" 2>&1 </dev/null
}
tty_pack -o "$work/tty1.exe"
check "progress on a terminal" test -s "$work/tty1.exe" -a -n "$(grep -a $'\rpacking: ' "$work/tty")" -a \
  -n "$(grep -aE $'\rpacked [0-9.]+ MiB in [0-9]+:[0-9]{2}' "$work/tty")" -a -n "$(grep -a '^verifying: ' "$work/tty")"
tty_pack --quiet -o "$work/tty2.exe"
check "--quiet on a terminal: nothing at all" test -s "$work/tty2.exe" -a ! -s "$work/tty"
tty_pack --format zip -o "$work/tty3.exe"
check "ZIP progress on a terminal" test -s "$work/tty3.exe" -a -n "$(grep -a $'\rpacked ' "$work/tty")"
run pack --stub "$work/stub.exe" --payload "$work/payload" -o "$work/tty4.exe"
check "no progress when stderr is not a terminal" test "$rc" = 0 -a -z "$err" -a -n "$out"

# A 7z archive the stub passes over (LZMA2): refused, nothing written, the fix named.
(cd "$work/payload" && 7zz a -t7z -bd -y -m0=LZMA2 "$work/lzma2.7z" . >/dev/null)
mkdir -p "$work/outdir"
run pack --stub "$work/stub.exe" --payload "$work/lzma2.7z" -o "$work/outdir/setup.exe"
check "lzma2 refused" test "$rc" = 1 -a -n "$(grep 'LZMA' <<<"$err")" -a -z "$(ls -A "$work/outdir")"
cat "$work/stub.exe" "$work/lzma2.7z" > "$work/lzma2.exe"
run verify "$work/lzma2.exe"
check "verify lzma2: one line per problem" test "$rc" = 1 -a "$(lines "$err")" -ge 1 -a -z "$(grep -v '^sfxtool: ' <<<"$err")"

# Links in a payload folder: one to a file inside is stored as a copy of it; one leading outside is
# refused naming the link and its target, and --no-follow-links refuses every link.
mkdir -p "$work/linked/lib"
cp "$work/stub.exe" "$work/linked/Orvak ZEB Installer.exe"
printf 'foo' > "$work/linked/lib/libfoo.so.1"
ln -s libfoo.so.1 "$work/linked/lib/libfoo.so"
run pack --help;  check "pack help names --no-follow-links" test -n "$(grep -e '--no-follow-links' <<<"$out")"
run pack --stub "$work/stub.exe" --payload "$work/linked" --format zip -o "$work/linked.exe"
check "a link to a file inside is stored as a copy" test "$rc" = 0 -a "$(unzip -p "$work/linked.exe" lib/libfoo.so 2>/dev/null)" = foo
run pack --stub "$work/stub.exe" --payload "$work/linked" --no-follow-links -o "$work/nofollow.exe"
check "--no-follow-links refuses it, naming link and target" test "$rc" = 1 -a "$(lines "$err")" = 1 \
  -a -n "$(grep -F '"lib/libfoo.so" -> "libfoo.so.1"' <<<"$err")" -a ! -e "$work/nofollow.exe"
ln -s /etc/hostname "$work/linked/host"
run pack --stub "$work/stub.exe" --payload "$work/linked" -o "$work/outside.exe"
check "a link leading outside is refused" test "$rc" = 1 -a -n "$(grep -F '"host" -> "/etc/hostname", which leads outside' <<<"$err")" \
  -a ! -e "$work/outside.exe"

# An appended 7z archive with an empty folder: verify passes with a warning, inspect lists it.
mkdir -p "$work/withempty/empty"
cp "$work/stub.exe" "$work/withempty/Orvak ZEB Installer.exe"
(cd "$work/withempty" && 7zz a -t7z -bd -y -m0=LZMA "$work/withempty.7z" . >/dev/null)
cat "$work/stub.exe" "$work/withempty.7z" > "$work/withempty.exe"
run verify "$work/withempty.exe"
check "verify warns of an empty folder and passes" test "$rc" = 0 \
  -a -n "$(grep -F 'warning: the archive holds the empty folder "empty/"' <<<"$err")"
run inspect "$work/withempty.exe"
check "inspect lists the empty folder" test -n "$(grep -A1 -F 'empty folders (1, not created by the stub)' <<<"$out" | grep -x '  empty/')"

# The stubs a tool carries: a copy of the tool in a package's layout (bin/, share/sfxtool/stubs/),
# started from another folder, with only the win32 stub beside it.
want_version=$(sed -nE 's/^project\(SelfExtractor VERSION ([0-9]+\.[0-9]+\.[0-9]+) .*/\1/p' "$here/CMakeLists.txt")
inst="$(readlink -f "$work")/inst"
mkdir -p "$inst/bin" "$inst/share/sfxtool/stubs/win32"
cp "$tool" "$inst/bin/sfxtool"
cp "$work/stub.exe" "$inst/share/sfxtool/stubs/win32/SelfExtractor.exe"
irun() { (cd / && "$inst/bin/sfxtool" "$@") >"$work/out" 2>"$work/err"; rc=$?; out=$(cat "$work/out"); err=$(cat "$work/err"); }
irun --version
check "--version names the project version" test "$rc" = 0 -a -n "$want_version" -a "$(sed -n 1p <<<"$out")" = "sfxtool $want_version"
check "--version: SHA-256 of the stub beside the tool" test "$(sed -n 2p <<<"$out")" = \
  "stub win32: sha256 $(sha256sum < "$work/stub.exe" | cut -d' ' -f1) $inst/share/sfxtool/stubs/win32/SelfExtractor.exe"
irun pack --payload "$work/payload" -o "$work/default.exe"
# packed_with INSTALLER STUB: the stub's section (file bytes 512 to 1023) leads the installer; its
# headers differ (pack adds the standard manifest to a stub without one, and writes the checksum).
packed_with() { test "$rc" = 0 && cmp -s -i 512:512 -n 512 "$1" "$2"; }
check "pack without --stub takes the win32 stub" packed_with "$work/default.exe" "$work/stub.exe"
irun pack --stub win64 --payload "$work/payload" -o "$work/w64.exe"
check "--stub win64 without that stub: exit 1, one line naming where" test "$rc" = 1 -a "$(lines "$err")" = 1 \
  -a -n "$(grep -F "$inst/share/sfxtool/stubs/win64/SelfExtractor.exe" <<<"$err")" -a ! -e "$work/w64.exe"

# A folder over 1 GiB unpacked (zeros from a sparse file: small on disk, quick to compress): the
# stub streams it through a 1 MiB window, so it passes, and each worker's memory is window plus
# buffers (5 MiB in all; two folders, two workers).
mkdir -p "$work/big"
truncate -s 1100M "$work/big/zeros.bin"
cp "$work/stub.exe" "$work/big/Orvak ZEB Installer.exe"
(cd "$work/big" && 7zz a -t7z -bd -y -mx1 -m0=LZMA:d=1m:mf=hc4 -mmt=1 "$work/big.7z" . >/dev/null)
rm -f "$work/big/zeros.bin"
cat "$work/stub.exe" "$work/big.7z" > "$work/big.exe"
run verify "$work/big.exe"
check "folder over 1 GiB streams" test "$rc" = 0
run inspect --json "$work/big.exe"
check "peak memory reported" python3 -c 'import json,sys; j=json.loads(sys.argv[1]); assert j["workers"] == len(j["folders"]) == 2 and j["peakMemory"] == 2 * j["workerMemory"] and max(f["memory"] for f in j["folders"]) <= j["workerMemory"] < 6*2**20 < j["folders"][0]["unpackSize"], j' "$out"

# One folder a file, five in all: four workers, each with an arena for the largest folder, within the budget.
mkdir -p "$work/four"
for k in 1 2 3 4; do head -c $((300000 * k)) /dev/urandom > "$work/four/part$k.bin"; done
cp "$work/stub.exe" "$work/four/Orvak ZEB Installer.exe"
(cd "$work/four" && 7zz a -t7z -bd -y -m0=LZMA:d=1m -ms=1f -mmt=1 "$work/four.7z" . >/dev/null)
cat "$work/stub.exe" "$work/four.7z" > "$work/four.exe"
run inspect --json "$work/four.exe"
check "workers and peak memory of four folders" python3 -c 'import json,sys; j=json.loads(sys.argv[1]); assert len(j["folders"]) >= 4 and j["workers"] == 4 and j["peakMemory"] == 4 * j["workerMemory"] and j["workerMemory"] >= max(f["memory"] for f in j["folders"]), j' "$out"
run inspect "$work/four.exe"
check "inspect names the workers" grep -q "^workers: *4 " <<<"$out"

# The installer's identity: --icon, --version-info, --execution-level.
python3 - "$work" <<'PY'
import struct, sys, zlib
def dib(n, fill):
    head = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    return head + (fill * (n * n * 4))[:n * n * 4] + bytes(4 * n)
def png(n):
    rows = b"".join(b"\0" + bytes((x * 7 + y) % 256 for x in range(4 * n)) for y in range(n))
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
def ico(images):
    head, data = struct.pack("<HHH", 0, 1, len(images)), b""
    for n, d in images:
        head += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(d), 6 + 16 * len(images) + len(data))
        data += d
    return head + data
open(sys.argv[1] + "/app.ico", "wb").write(ico([(16, dib(16, b"\x10\x20\x30\xff")), (32, dib(32, b"\x40\x50\x60\xff")), (256, png(256))]))
open(sys.argv[1] + "/zipsig.ico", "wb").write(ico([(16, dib(16, b"PK\x03\x04"))]))
open(sys.argv[1] + "/broken.ico", "wb").write(b"\0\0\1\0\1\0" + bytes(16))
PY
cp "$work/stub.exe" "$work/stub.orig"
ident=(--icon "$work/app.ico" --version-info "CompanyName=Orvak Ltd" --version-info "FileVersion=5.2.1.7"
       --version-info "ProductName=Orvak ZEB Grüße" --version-info "Comments=ファイル" --execution-level requireAdministrator)
run pack --help
check "pack help names the identity options" test -n "$(grep -e '--icon' <<<"$out")" -a -n "$(grep -e '--version-info' <<<"$out")" -a -n "$(grep -e '--execution-level' <<<"$out")"
run pack --stub "$work/stub.exe" --payload "$work/payload" "${ident[@]}" -o "$work/id.exe"
check "pack with an identity" test "$rc" = 0 -a -s "$work/id.exe"
check "the stub file is not changed" cmp -s "$work/stub.exe" "$work/stub.orig"
run verify "$work/id.exe";                    check "verify with an identity" test "$rc" = 0
run inspect "$work/id.exe"
check "inspect shows the identity" test -n "$(grep 'requests requireAdministrator (uiAccess false)' <<<"$out")" \
  -a -n "$(grep 'file 5.2.1.7, product 0.0.0.0' <<<"$out")" -a -n "$(grep 'ProductName *Orvak ZEB Grüße' <<<"$out")" \
  -a -n "$(grep 'icon: *16x16 32-bit, 32x32 32-bit, 256x256 32-bit' <<<"$out")"
run inspect --json "$work/id.exe"
check "inspect --json carries the identity" python3 -c '
import json, sys
i = json.loads(sys.argv[1])["identity"]
assert i["executionLevel"] == "requireAdministrator" and i["uiAccess"] is False, i
assert i["version"]["fileVersion"] == "5.2.1.7", i
assert i["version"]["strings"] == {"CompanyName": "Orvak Ltd", "FileVersion": "5.2.1.7", "ProductName": "Orvak ZEB Grüße", "Comments": "ファイル"}, i
assert [(x["width"], x["height"]) for x in i["icons"]] == [(16, 16), (32, 32), (256, 256)], i["icons"]
' "$out"
if command -v wrestool >/dev/null; then
  # wrestool (icoutils) reads the resources on its own: every type once, and the icon rebuilt from
  # the group and its images is the .ico given (wrestool pads what it writes with zeros).
  check "wrestool lists the resources" test "$(wrestool -l "$work/id.exe" | sed -E 's/ \[.*//' | tr '\n' ' ')" = \
    "--type=3 --name=1 --language=1033 --type=3 --name=2 --language=1033 --type=3 --name=3 --language=1033 --type=14 --name=1 --language=1033 --type=16 --name=1 --language=1033 --type=24 --name=1 --language=1033 "
  wrestool -x -t14 -n1 "$work/id.exe" > "$work/back.ico" 2>/dev/null
  check "wrestool rebuilds the icon given" cmp -s -n "$(stat -c %s "$work/app.ico")" "$work/back.ico" "$work/app.ico"
else
  echo "SKIP wrestool checks: icoutils not installed (scripts/setup installs it)"; skipped=$((skipped + 2))
fi
SOURCE_DATE_EPOCH=1700000000 "$tool" pack --stub "$work/stub.exe" --payload "$work/payload" "${ident[@]}" -o "$work/id2.exe" >/dev/null 2>&1
SOURCE_DATE_EPOCH=1700000000 "$tool" pack --stub "$work/stub.exe" --payload "$work/payload" "${ident[@]}" -o "$work/id3.exe" >/dev/null 2>&1
check "deterministic with an identity" cmp -s "$work/id2.exe" "$work/id3.exe"

# Refused identities: usage errors exit 2, inputs that do not parse exit 1; nothing written.
for bad in "--version-info CompanyName" "--version-info Publisher=Orvak" "--version-info FileVersion=1.99999" \
           "--execution-level admin" "--version-info Comments=a --version-info Comments=b"; do
  run pack --stub "$work/stub.exe" --payload "$work/payload" $bad -o "$work/bad.exe"
  check "usage: $bad" test "$rc" = 2 -a "$(lines "$err")" = 1 -a ! -e "$work/bad.exe"
done
run pack --stub "$work/stub.exe" --payload "$work/payload" --icon "$work/broken.ico" -o "$work/bad.exe"
check "an .ico that does not parse" test "$rc" = 1 -a -n "$(grep 'broken.ico' <<<"$err")" -a ! -e "$work/bad.exe"
run pack --stub "$work/stub.exe" --payload "$work/payload" --icon "$work/zipsig.ico" -o "$work/bad.exe"
check "an icon holding a ZIP signature" test "$rc" = 1 -a -n "$(grep -E 'RT_ICON #1 .* at file offset [0-9]+ hold a ZIP' <<<"$err")" -a ! -e "$work/bad.exe"

# The installer options record: --wait, --failure-message, --progress, --silent-switch.
opts=(--wait tree --progress --failure-message "Das Paket ist beschädigt." --silent-switch /S --silent-switch -quiet)
run pack --stub "$work/stub.exe" --payload "$work/payload" "${opts[@]}" -o "$work/opt.exe"
check "pack with options" test "$rc" = 0 -a -s "$work/opt.exe"
run verify "$work/opt.exe";                   check "verify with options" test "$rc" = 0
run inspect "$work/opt.exe"
check "inspect shows the options" test -n "$(grep -E '^  wait +tree$' <<<"$out")" -a -n "$(grep -E '^  progress window +yes$' <<<"$out")" \
  -a -n "$(grep -F '"Das Paket ist beschädigt."' <<<"$out")" -a -n "$(grep -E '^  silent switches +/S /quiet \(given' <<<"$out")"
run inspect --json "$work/opt.exe"
check "inspect --json carries the options" python3 -c '
import json, sys
o = json.loads(sys.argv[1])["options"]
assert o == {"record": True, "valid": True, "fault": None, "wait": "tree", "progress": True,
             "failureMessage": "Das Paket ist beschädigt.", "silentSwitches": ["/S", "/quiet"], "silentSwitchesGiven": True,
             "log": False}, o
' "$out"
x1024=$(printf 'x%.0s' {1..1024}); w32=$(printf 'w%.0s' {1..32}); switches33=()
for n in {1..33}; do switches33+=(--silent-switch "/$w32"); done
run pack --stub "$work/stub.exe" --payload "$work/payload" --failure-message "$x1024" "${switches33[@]:2}" -o "$work/limits.exe"
check "1024 units of message, 32 switches of 32" test "$rc" = 0 -a -s "$work/limits.exe"
for bad in "--wait never" "--silent-switch a/b" "--silent-switch --x" "--failure-message=" "--failure-message=${x1024}y" \
           "--silent-switch /${w32}w" "${switches33[*]}"; do
  run pack --stub "$work/stub.exe" --payload "$work/payload" $bad -o "$work/bad.exe"
  check "usage: ${bad:0:30} ($(wc -w <<<"$bad") words)" test "$rc" = 2 -a "$(lines "$err")" = 1 -a ! -e "$work/bad.exe"
done
# "PK\3\4" as UTF-16 units: the locator would stop in the record.
run pack --stub "$work/stub.exe" --payload "$work/payload" --failure-message "Fehler 䭐Ѓ" -o "$work/bad.exe"
check "a message holding a ZIP signature" test "$rc" = 1 -a -n "$(grep -E 'RT_RCDATA #1 .* at file offset [0-9]+ hold a ZIP' <<<"$err")" \
  -a -n "$(grep -e '--failure-message' <<<"$err")" -a ! -e "$work/bad.exe"
# A record the stub refuses (its version byte changed by hand): verify names it, inspect shows it.
python3 - "$work/opt.exe" "$work/badopt.exe" <<'PY'
import sys
b = bytearray(open(sys.argv[1], "rb").read())
at = b.find("Das Paket".encode("utf-16-le")) - 12
assert at > 0 and b[at:at + 2] == b"\1\0"
b[at] = 2
open(sys.argv[2], "wb").write(b)
PY
run verify "$work/badopt.exe"
check "verify: a malformed options record" test "$rc" = 1 -a "$(lines "$err")" = 1 \
  -a -n "$(grep -F 'options record (RT_RCDATA #1) is malformed: its version is 2, not 1' <<<"$err")"
run inspect "$work/badopt.exe"
check "inspect: a malformed options record" test "$rc" = 0 -a -n "$(grep -F 'MALFORMED record' <<<"$out")" \
  -a -n "$(grep -F '(options-malformed)' <<<"$out")"

echo "RESULT passed=$passed failed=$failed skipped=${skipped:-0}"
[ "$failed" = 0 ]
