#!/usr/bin/env python3
"""Checks the built Windows stubs: PE shape, import table, hardening flags, their resources (the
manifest, the version, the resource section last), the 32-bit stub's size budget, and that no
part of the image can be mistaken for an appended archive by the payload locator.

Usage: check_images.py [--win32 PATH] [--win64 PATH] [--objects OBJ...]

With --objects, also checks the stub's object files for global constructors, which nothing runs
in an image linked without the C runtime.

Prints one line per check ("PASS name", "FAIL name: why", "SKIP name: why"), then
"RESULT passed=N failed=N skipped=N"; exits 1 when any check failed, 2 on bad usage.
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll"}
# The only library the import table may name: every library in it, and that library's own static
# imports, is mapped before the stub's loader hardening runs, so the backend loads the others
# itself, by full path, after the hardening.
IMPORTED_DLL = "kernel32.dll"

SEVEN_ZIP_SIGNATURE = bytes([0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C])
ZIP_SIGNATURE = bytes([0x50, 0x4B, 0x03, 0x04])
GUARD = bytes([0xA5]) * 40  # the guard placed right after the decoder's signature constant
WINDOW = 33  # the locator's scan window: 32-byte 7z signature header plus the byte after it

EXPECTED = {
    # flavour: (optional-header magic, machine, description)
    "win32": (0x10B, 0x014C, "PE32 i386"),
    "win64": (0x20B, 0x8664, "PE32+ amd64"),
}

IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_BASERELOC = 5
DIRECTORY_DELAY_IMPORT = 13
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x20
IMAGE_SYM_CLASS_EXTERNAL = 2

RT_VERSION = 16
RT_MANIFEST = 24
# bytes, resources included: 80 KiB is the aim; the folders' own access lists, the handle-based
# delete, the bootstrapper wait, the windows and the parallel workers take it up to this ceiling.
SIZE_BUDGET = {"win32": 96 * 1024}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {  # Windows Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


class PeError(Exception):
    pass


class PeImage:
    """The parts of a PE file the checks need, parsed from its bytes."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature at 0x%x" % pe_offset)
        coff = pe_offset + 4
        (self.machine, section_count, _, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        (self.magic,) = struct.unpack_from("<H", data, optional)
        if self.magic == 0x10B:
            directories_at, count_at, self.pointer_size = 96, 92, 4
        elif self.magic == 0x20B:
            directories_at, count_at, self.pointer_size = 112, 108, 8
        else:
            raise PeError("unknown optional header magic 0x%x" % self.magic)
        (self.entry_rva,) = struct.unpack_from("<I", data, optional + 16)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        (directory_count,) = struct.unpack_from("<I", data, optional + count_at)
        self.directories = []
        for index in range(directory_count):
            self.directories.append(
                struct.unpack_from("<II", data, optional + directories_at + 8 * index))
        self.sections = []
        table = optional + optional_size
        for index in range(section_count):
            entry = table + 40 * index
            name = data[entry:entry + 8].rstrip(b"\0").decode("latin-1")
            virtual_size, rva, raw_size, raw_pointer = struct.unpack_from("<IIII", data, entry + 8)
            (flags,) = struct.unpack_from("<I", data, entry + 36)
            self.sections.append((name, rva, max(virtual_size, raw_size), raw_pointer, raw_size,
                                  flags))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_of(self, rva):
        for section in self.sections:
            name, start, size = section[0], section[1], section[2]
            if start <= rva < start + size:
                return section
        return None

    def offset(self, rva):
        section = self.section_of(rva)
        if section is None:
            raise PeError("RVA 0x%x lies in no section" % rva)
        _, start, _, raw_pointer, raw_size, _ = section
        if rva - start >= raw_size:
            raise PeError("RVA 0x%x lies in uninitialised data" % rva)
        return raw_pointer + rva - start

    def c_string(self, rva):
        at = self.offset(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise PeError("unterminated string at RVA 0x%x" % rva)
        return self.data[at:end].decode("latin-1")

    def imports(self):
        """[(dll name, [function names or '#ordinal'])] from the import directory."""
        rva, size = self.directory(DIRECTORY_IMPORT)
        result = []
        if rva == 0 or size == 0:
            return result
        at = self.offset(rva)
        while True:
            lookup, _, _, name_rva, address_table = struct.unpack_from("<IIIII", self.data, at)
            if (lookup, name_rva, address_table) == (0, 0, 0):
                break
            dll = self.c_string(name_rva)
            thunk_rva = lookup or address_table
            functions = []
            fmt, ordinal_flag = ("<I", 1 << 31) if self.pointer_size == 4 else ("<Q", 1 << 63)
            while True:
                (thunk,) = struct.unpack_from(fmt, self.data, self.offset(thunk_rva))
                if thunk == 0:
                    break
                if thunk & ordinal_flag:
                    functions.append("#%d" % (thunk & 0xFFFF))
                else:
                    functions.append(self.c_string((thunk & 0x7FFFFFFF) + 2))
                thunk_rva += self.pointer_size
            result.append((dll, functions))
            at += 20
        return result

    def resources(self):
        """{(type, name, language): data} from the resource directory (numeric ids only)."""
        rva, size = self.directory(DIRECTORY_RESOURCE)
        if rva == 0 or size == 0:
            return {}
        base = self.offset(rva)
        found = {}

        def walk(table, path):
            named, numbered = struct.unpack_from("<HH", self.data, base + table + 12)
            for index in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * index)
                key = path + (ident if ident < 0x80000000 else "name@0x%x" % (ident & 0x7FFFFFFF),)
                if target & 0x80000000:
                    if len(key) >= 3:
                        raise PeError("resource directory deeper than three levels")
                    walk(target & 0x7FFFFFFF, key)
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
                    at = self.offset(data_rva)
                    found[key] = self.data[at:at + data_size]

        walk(0, ())
        return found

    def undefined_symbols(self):
        """External symbols without a section in the COFF symbol table, or None when stripped."""
        if self.symbol_table == 0 or self.symbol_count == 0:
            return None
        strings_at = self.symbol_table + 18 * self.symbol_count
        undefined = []
        index = 0
        while index < self.symbol_count:
            entry = self.symbol_table + 18 * index
            raw_name = self.data[entry:entry + 8]
            value, section, _, storage, aux = struct.unpack_from("<IhHBB", self.data, entry + 8)
            if storage == IMAGE_SYM_CLASS_EXTERNAL and section == 0 and value == 0:
                if raw_name[:4] == b"\0\0\0\0":
                    (string_offset,) = struct.unpack_from("<I", raw_name, 4)
                    start = strings_at + string_offset
                    name = self.data[start:self.data.find(b"\0", start)].decode("latin-1")
                else:
                    name = raw_name.rstrip(b"\0").decode("latin-1")
                undefined.append(name)
            index += 1 + aux
        return undefined


def coff_object_sections(data):
    """Section names of a COFF object file (no optional header), long names resolved."""
    section_count, _, symbol_table, symbol_count, optional_size = struct.unpack_from(
        "<HHIIH", data, 2)
    strings_at = symbol_table + 18 * symbol_count
    names = []
    for index in range(section_count):
        raw = data[20 + optional_size + 40 * index:][:8]
        name = raw.rstrip(b"\0").decode("latin-1")
        if name.startswith("/") and name[1:].isdigit():
            start = strings_at + int(name[1:])
            name = data[start:data.find(b"\0", start)].decode("latin-1")
        names.append(name)
    return names


CONSTRUCTOR_SECTIONS = (".ctors", ".init_array", ".CRT$XC")


def check_objects(report, paths):
    """Nothing runs constructors in the stub: no object may carry a constructor list."""
    offenders = []
    for path in paths:
        try:
            with open(path, "rb") as handle:
                data = handle.read()
            names = coff_object_sections(data)
        except (OSError, struct.error) as error:
            offenders.append("%s (unreadable: %s)" % (path, error))
            continue
        found = [name for name in names if name.startswith(CONSTRUCTOR_SECTIONS)]
        if found:
            offenders.append("%s (%s)" % (path, ", ".join(found)))
    report.check("objects.no-constructors", not offenders,
                 "global constructors that would never run: %s" % "; ".join(offenders))


def find_all(data, needle):
    offsets = []
    at = data.find(needle)
    while at >= 0:
        offsets.append(at)
        at = data.find(needle, at + 1)
    return offsets


def locator_matches(data):
    """Offsets of every 33-byte window that passes the payload locator's 7z or ZIP test."""
    matches = []
    for at in find_all(data, SEVEN_ZIP_SIGNATURE):
        if at + WINDOW <= len(data) and data[at + 32] == 0:
            matches.append(("7z", at))
    for at in find_all(data, ZIP_SIGNATURE):
        if at + WINDOW <= len(data):
            matches.append(("zip", at))
    return sorted(matches, key=lambda match: match[1])


class Report:
    def __init__(self):
        self.passed = self.failed = self.skipped = 0

    def check(self, name, ok, why=""):
        if ok:
            self.passed += 1
            print("PASS %s" % name)
        else:
            self.failed += 1
            print("FAIL %s: %s" % (name, why))
        return ok

    def skip(self, name, why):
        self.skipped += 1
        print("SKIP %s: %s" % (name, why))


def check_image(report, flavour, path):
    magic, machine, description = EXPECTED[flavour]
    prefix = flavour + "."
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as error:
        report.check(prefix + "readable", False, str(error))
        return
    print("INFO %s: %s, %d bytes" % (flavour, path, len(data)))
    try:
        image = PeImage(data)
    except (PeError, struct.error) as error:
        report.check(prefix + "pe-format", False, str(error))
        return

    report.check(prefix + "format", image.magic == magic and image.machine == machine,
                 "want %s, found magic 0x%x machine 0x%x" % (description, image.magic,
                                                           image.machine))
    report.check(prefix + "subsystem-gui", image.subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI,
                 "subsystem %d" % image.subsystem)

    entry = image.section_of(image.entry_rva)
    report.check(prefix + "entry-point", entry is not None and entry[5] & IMAGE_SCN_MEM_EXECUTE,
                 "entry RVA 0x%x is not in an executable section" % image.entry_rva)

    wanted = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT
    relocations = image.directory(DIRECTORY_BASERELOC)[1] != 0
    report.check(prefix + "aslr-nx",
                 image.dll_characteristics & wanted == wanted and relocations
                 and not image.characteristics & IMAGE_FILE_RELOCS_STRIPPED,
                 "DllCharacteristics 0x%x, relocations %s" % (
                     image.dll_characteristics, "present" if relocations else "missing"))

    if flavour == "win32":
        report.check(prefix + "large-address-aware", image.characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE,
                     "Characteristics 0x%x: the 32-bit stub must be large-address-aware" % image.characteristics)

    try:
        imports = image.imports()
    except (PeError, struct.error) as error:
        report.check(prefix + "imports", False, "import table unreadable: %s" % error)
        imports = None
    if imports is not None:
        for dll, functions in imports:
            print("INFO %s imports %s: %s" % (flavour, dll, " ".join(functions)))
        foreign = sorted(dll for dll, _ in imports if dll.lower() not in ALLOWED_DLLS)
        report.check(prefix + "imports", not foreign,
                     "DLLs outside the allowed set: %s" % ", ".join(foreign))
        names = [dll.lower() for dll, _ in imports]
        report.check(prefix + "imports-kernel32-only", names == [IMPORTED_DLL],
                     "the import table must name %s alone, found: %s" % (
                         IMPORTED_DLL, ", ".join(dll for dll, _ in imports) or "no DLL"))
        by_ordinal = ["%s!%s" % (dll, name) for dll, functions in imports for name in functions
                      if name.startswith("#")]
        report.check(prefix + "imports-by-name", not by_ordinal,
                     "imported by ordinal: %s" % ", ".join(by_ordinal))
    delay_rva, delay_size = image.directory(DIRECTORY_DELAY_IMPORT)
    report.check(prefix + "no-delay-imports", delay_rva == 0 and delay_size == 0,
                 "delay-load directory at RVA 0x%x, %d bytes" % (delay_rva, delay_size))

    undefined = image.undefined_symbols()
    if undefined is None:
        report.skip(prefix + "no-undefined-symbols",
                    "image carries no symbol table (stripped); the link itself resolved all")
    else:
        report.check(prefix + "no-undefined-symbols", not undefined,
                     "undefined: %s" % ", ".join(undefined[:20]))

    # The payload locator scans the file from byte 0: nothing in the image may pass its tests.
    matches = locator_matches(data)
    report.check(prefix + "no-locator-match", not matches,
                 "windows passing the locator's test: %s" % ", ".join(
                     "%s at 0x%x" % match for match in matches))

    check_resources(report, prefix, image)
    budget = SIZE_BUDGET.get(flavour)
    if budget is not None:
        report.check(prefix + "size-budget", len(data) <= budget,
                     "%d bytes, %d over the budget of %d" % (len(data), len(data) - budget, budget))

    seven_zip = find_all(data, SEVEN_ZIP_SIGNATURE)
    for at in seven_zip:
        after = "byte+32=0x%02x" % data[at + 32] if at + 32 < len(data) else "at end of file"
        print("INFO %s: 7z signature bytes at 0x%x (%s)" % (flavour, at, after))
    report.check(prefix + "7z-constant-once", len(seven_zip) == 1,
                 "the six 7z signature bytes occur %d times (want only the decoder's constant)%s"
                 % (len(seven_zip), "".join(" 0x%x" % at for at in seven_zip)))
    # The layout that makes the first check hold by construction: the guard's run of 0xA5 bytes
    # (SelfExtractor/payload/SevenZipSignatureGuard.cpp) starts after the constant and covers
    # its byte 32.
    if len(seven_zip) == 1:
        at = seven_zip[0]
        guard = data.find(GUARD, at + len(SEVEN_ZIP_SIGNATURE))
        report.check(prefix + "7z-guard-follows", 0 <= guard <= at + 32 < guard + len(GUARD),
                     "no %d-byte guard run covering byte 32 after the constant at 0x%x" % (
                         len(GUARD), at))
    else:
        report.skip(prefix + "7z-guard-follows", "no single 7z constant to look behind")
    zip_bytes = find_all(data, ZIP_SIGNATURE)
    report.check(prefix + "no-zip-bytes", not zip_bytes,
                 "ZIP signature bytes at %s" % ", ".join("0x%x" % at for at in zip_bytes))


def manifest_faults(text):
    """What is wrong with the stub's manifest: it must run the stub as the invoking user, name the
    supported Windows versions, and change nothing in how DLLs are found."""
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return ["not well-formed XML: %s" % error]
    faults = []
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        faults.append("root element %s" % root.tag)
    levels = root.findall(".//%srequestedExecutionLevel" % ASM_V3)
    if len(levels) != 1:
        faults.append("%d requestedExecutionLevel elements" % len(levels))
    elif (levels[0].get("level"), levels[0].get("uiAccess")) != ("asInvoker", "false"):
        faults.append("level=%r uiAccess=%r, want asInvoker and false" % (
            levels[0].get("level"), levels[0].get("uiAccess")))
    ids = {os.get("Id", "").lower() for os in root.iter(COMPATIBILITY + "supportedOS")}
    if ids != SUPPORTED_OS:
        faults.append("supportedOS %s, want Vista to 11" % sorted(ids))
    loading = [element.tag for element in root.iter() if element.tag.split("}")[-1] in
               ("dependency", "file", "assemblyIdentity", "activeCodePage")]
    if loading:
        faults.append("elements that change DLL loading: %s" % ", ".join(loading))
    return faults


def check_resources(report, prefix, image):
    """The manifest and version the stub carries, in a resource section that is the image's last
    section (the one sfxtool pack rewrites)."""
    rva, size = image.directory(DIRECTORY_RESOURCE)
    last = max(image.sections, key=lambda section: section[1]) if image.sections else None
    last_raw = max(image.sections, key=lambda section: section[3]) if image.sections else None
    report.check(prefix + "resources-last",
                 rva != 0 and last is not None and last is last_raw and last[1] == rva
                 and rva + size <= last[1] + last[2],
                 "resource directory at RVA 0x%x (%d bytes); the last section is %s at RVA 0x%x" % (
                     rva, size, last[0] if last else "none", last[1] if last else 0))
    try:
        resources = image.resources()
    except (PeError, struct.error) as error:
        report.check(prefix + "resources-readable", False, str(error))
        return
    manifests = {key: value for key, value in resources.items() if key[0] == RT_MANIFEST}
    if not report.check(prefix + "manifest", len(manifests) == 1 and list(manifests)[0][1] == 1,
                        "want one RT_MANIFEST with id 1, found %s" % sorted(manifests)):
        return
    text = next(iter(manifests.values()))
    faults = manifest_faults(text)
    report.check(prefix + "manifest-as-invoker", not faults, "; ".join(faults))
    print("INFO %s manifest: %d bytes" % (prefix[:-1], len(text)))
    versions = [value for key, value in resources.items() if key[0] == RT_VERSION]
    fixed = None
    if len(versions) == 1 and len(versions[0]) >= 92:
        signature, _, ms, ls = struct.unpack_from("<IIII", versions[0], 40)
        if signature == 0xFEEF04BD:
            fixed = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    report.check(prefix + "version", fixed is not None,
                 "want one RT_VERSION with a VS_FIXEDFILEINFO, found %d" % len(versions))
    if fixed:
        print("INFO %s file version %s" % (prefix[:-1], fixed))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--win32", help="the 32-bit stub (PE32, i386)")
    parser.add_argument("--win64", help="the 64-bit stub (PE32+, amd64)")
    parser.add_argument("--objects", nargs="*", default=[],
                        help="the stub's object files, checked for global constructors")
    arguments = parser.parse_args(argv)
    if not arguments.win32 and not arguments.win64 and not arguments.objects:
        parser.error("give --win32, --win64 and/or --objects")
    report = Report()
    for flavour in ("win32", "win64"):
        path = getattr(arguments, flavour)
        if path:
            check_image(report, flavour, path)
        elif not arguments.objects:
            report.skip(flavour, "no image given")
    if arguments.objects:
        check_objects(report, arguments.objects)
    print("RESULT passed=%d failed=%d skipped=%d" % (report.passed, report.failed, report.skipped))
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
