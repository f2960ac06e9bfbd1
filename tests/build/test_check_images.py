#!/usr/bin/env python3
"""Proves that check_images.py catches the faults it exists for, by planting each fault in a copy
of a real built stub: a zero 32 bytes after the 7z constant, a second copy of the 7z signature,
ZIP signature bytes, a foreign DLL import, a delay-load directory, the wrong subsystem or machine,
a manifest that elevates, is missing or is not XML, a resource section that is not last, a stub
over its size budget.

The stubs come from $SFX_WIN32_IMAGE and $SFX_WIN64_IMAGE, by default build/win32 and build/win64
of the repository; a flavour whose image is missing is skipped, and says so.

Usage: python3 tests/build/test_check_images.py [-v]
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
CHECKER = os.path.join(HERE, "check_images.py")
sys.path.insert(0, HERE)
import check_images  # noqa: E402

IMAGES = {
    "win32": os.environ.get("SFX_WIN32_IMAGE",
                            os.path.join(REPO, "build", "win32", "SelfExtractor.exe")),
    "win64": os.environ.get("SFX_WIN64_IMAGE",
                            os.path.join(REPO, "build", "win64", "SelfExtractor.exe")),
}


def run_checker(*arguments):
    result = subprocess.run([sys.executable, CHECKER] + list(arguments), capture_output=True,
                            text=True, check=False)
    lines = result.stdout.splitlines()
    verdicts = {}
    for line in lines:
        word, _, rest = line.partition(" ")
        if word in ("PASS", "FAIL", "SKIP"):
            verdicts[rest.split(":")[0]] = word
    return result.returncode, verdicts, lines


class CheckerOnImage:
    """Mixed into one TestCase class per flavour."""

    flavour = None

    def setUp(self):
        source = IMAGES[self.flavour]
        if not os.path.isfile(source):
            self.skipTest("no %s image at %s (build it first)" % (self.flavour, source))
        self.folder = tempfile.mkdtemp(prefix="check_images_")
        self.addCleanup(shutil.rmtree, self.folder)
        with open(source, "rb") as handle:
            self.original = handle.read()
        self.image = check_images.PeImage(self.original)

    def check(self, data, flavour=None):
        path = os.path.join(self.folder, "stub.exe")
        with open(path, "wb") as handle:
            handle.write(data)
        return run_checker("--" + (flavour or self.flavour), path)

    def text_offset(self):
        """A file offset well inside the code section, for planting bytes."""
        for name, _, _, raw_pointer, raw_size, _ in self.image.sections:
            if name == ".text":
                return raw_pointer + raw_size // 2
        self.fail("no .text section")

    def test_built_image_passes(self):
        code, verdicts, lines = self.check(self.original)
        self.assertEqual(code, 0, "\n".join(lines))
        self.assertNotIn("FAIL", verdicts.values())
        self.assertEqual(lines[-1].split()[0], "RESULT")
        self.assertIn("%s.no-locator-match" % self.flavour, verdicts)

    def test_zero_after_signature_constant_is_a_locator_match(self):
        # The fault once seen in a 64-bit layout: the byte 32 after the decoder's constant was 0.
        at = self.original.find(check_images.SEVEN_ZIP_SIGNATURE)
        self.assertGreaterEqual(at, 0)
        data = bytearray(self.original)
        data[at + 32] = 0
        code, verdicts, lines = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.no-locator-match" % self.flavour], "FAIL")
        self.assertIn("7z at 0x%x" % at, "\n".join(lines))

    def test_guard_out_of_reach_fails(self):
        # A non-zero byte 32 by luck is not enough: the guard itself must cover it.
        at = self.original.find(check_images.SEVEN_ZIP_SIGNATURE)
        data = bytearray(self.original)
        guard = data.find(check_images.GUARD, at)
        data[guard:guard + len(check_images.GUARD)] = b"\x5a" * len(check_images.GUARD)
        code, verdicts, _ = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.7z-guard-follows" % self.flavour], "FAIL")
        self.assertEqual(verdicts["%s.no-locator-match" % self.flavour], "PASS")

    def test_second_signature_copy_fails_even_when_guarded(self):
        # A compiler-folded compare would put the six bytes into code as an immediate.
        at = self.text_offset()
        data = bytearray(self.original)
        data[at:at + 6] = check_images.SEVEN_ZIP_SIGNATURE
        data[at + 32] = 0x90
        code, verdicts, _ = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.7z-constant-once" % self.flavour], "FAIL")
        self.assertEqual(verdicts["%s.no-locator-match" % self.flavour], "PASS")

    def test_zip_signature_anywhere_fails(self):
        at = self.text_offset()
        data = bytearray(self.original)
        data[at:at + 4] = check_images.ZIP_SIGNATURE
        code, verdicts, _ = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.no-zip-bytes" % self.flavour], "FAIL")
        self.assertEqual(verdicts["%s.no-locator-match" % self.flavour], "FAIL")

    def test_zip_signature_in_last_window_is_no_match_but_still_reported(self):
        # The locator never tests a window shorter than 33 bytes; the strict check still objects.
        data = self.original + b"\x01" * 8 + check_images.ZIP_SIGNATURE + b"\x01" * 4
        code, verdicts, _ = self.check(data)
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.no-locator-match" % self.flavour], "PASS")
        self.assertEqual(verdicts["%s.no-zip-bytes" % self.flavour], "FAIL")

    def test_foreign_dll_import_fails(self):
        imports = self.image.imports()
        dll = next(name for name, _ in imports if name.lower() == "kernel32.dll")
        at = self.original.find(dll.encode("latin-1") + b"\0")
        data = bytearray(self.original)
        data[at:at + len(dll)] = b"msvcrt.dll\0"[:len(dll)].ljust(len(dll), b"\0")
        code, verdicts, lines = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.imports" % self.flavour], "FAIL")
        self.assertIn("msvcrt.dll", "\n".join(lines))

    def optional_header(self):
        (pe_offset,) = struct.unpack_from("<I", self.original, 0x3C)
        return pe_offset + 24

    def test_delay_load_directory_fails(self):
        optional = self.optional_header()
        directories = optional + (96 if self.image.magic == 0x10B else 112)
        data = bytearray(self.original)
        struct.pack_into("<II", data, directories + 8 * check_images.DIRECTORY_DELAY_IMPORT,
                         0x1000, 0x40)
        code, verdicts, _ = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.no-delay-imports" % self.flavour], "FAIL")

    def test_console_subsystem_fails(self):
        data = bytearray(self.original)
        struct.pack_into("<H", data, self.optional_header() + 68, 3)
        code, verdicts, _ = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.subsystem-gui" % self.flavour], "FAIL")

    def test_other_flavour_fails_format(self):
        other = "win64" if self.flavour == "win32" else "win32"
        code, verdicts, _ = self.check(self.original, flavour=other)
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.format" % other], "FAIL")

    def test_manifest_faults_fail(self):
        at = self.original.find(b'level="asInvoker"')
        self.assertGreater(at, 0)
        plants = {
            # The same length, so that nothing else moves.
            "elevating": (b'level="asInvoker"', b'level="elevateMe"'),
            "not XML": (b"</assembly>", b"</assembly<"),
            "no supportedOS": (b"<supportedOS ", b"<supportedOs "),
        }
        for what, (old, new) in plants.items():
            with self.subTest(what):
                data = bytearray(self.original)
                at = data.find(old)
                data[at:at + len(old)] = new
                code, verdicts, lines = self.check(bytes(data))
                self.assertNotEqual(code, 0)
                self.assertEqual(verdicts["%s.manifest-as-invoker" % self.flavour], "FAIL",
                                 "\n".join(lines))

    def resource_root(self):
        rva, _ = self.image.directory(check_images.DIRECTORY_RESOURCE)
        return self.image.offset(rva)

    def test_missing_manifest_fails(self):
        # Renumber the RT_MANIFEST type entry of the root directory.
        root = self.resource_root()
        named, numbered = struct.unpack_from("<HH", self.original, root + 12)
        data = bytearray(self.original)
        for index in range(named + numbered):
            entry = root + 16 + 8 * index
            if struct.unpack_from("<I", data, entry)[0] == check_images.RT_MANIFEST:
                struct.pack_into("<I", data, entry, 23)
        code, verdicts, _ = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.manifest" % self.flavour], "FAIL")
        self.assertEqual(verdicts["%s.resources-last" % self.flavour], "PASS")

    def test_resources_not_in_the_last_section_fail(self):
        # Point the resource directory at a copy of the tree placed in .rdata's slack: still a
        # readable manifest, but not in the section sfxtool rewrites.
        optional = self.optional_header()
        directories = optional + (96 if self.image.magic == 0x10B else 112)
        rdata = next(s for s in self.image.sections if s[0] == ".rdata")
        data = bytearray(self.original)
        struct.pack_into("<I", data, directories + 8 * check_images.DIRECTORY_RESOURCE, rdata[1])
        code, verdicts, _ = self.check(bytes(data))
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.resources-last" % self.flavour], "FAIL")

    def test_size_over_budget_fails_for_the_shipping_stub(self):
        data = self.original + b"\x01" * (check_images.SIZE_BUDGET["win32"] + 1 - len(self.original))
        code, verdicts, _ = self.check(data)
        if self.flavour == "win32":
            self.assertNotEqual(code, 0)
            self.assertEqual(verdicts["win32.size-budget"], "FAIL")
        else:
            self.assertNotIn("win64.size-budget", verdicts)

    def test_truncated_file_fails(self):
        code, verdicts, lines = self.check(self.original[:0x30])
        self.assertNotEqual(code, 0)
        self.assertEqual(verdicts["%s.pe-format" % self.flavour], "FAIL")
        self.assertTrue(lines[-1].startswith("RESULT passed=0 failed=1"))


class ConstructorCheck(unittest.TestCase):
    """Objects compiled by the mingw compilers, with and without a dynamic initialiser."""

    SOURCES = {
        "trivial": "struct Record { int a; char b[8]; }; Record gRecord; const int kValue = 4;\n",
        "constructed": "int Compute(); int gComputed = Compute();\n",
    }

    def compile(self, compiler, kind):
        if shutil.which(compiler) is None:
            self.skipTest("%s not installed" % compiler)
        folder = tempfile.mkdtemp(prefix="check_objects_")
        self.addCleanup(shutil.rmtree, folder)
        source = os.path.join(folder, kind + ".cpp")
        with open(source, "w") as handle:
            handle.write(self.SOURCES[kind])
        target = os.path.join(folder, kind + ".obj")
        subprocess.run([compiler, "-Os", "-c", source, "-o", target], check=True)
        return target

    def test_constructor_is_reported_for_both_targets(self):
        for compiler in ("i686-w64-mingw32-g++", "x86_64-w64-mingw32-g++"):
            with self.subTest(compiler=compiler):
                trivial = self.compile(compiler, "trivial")
                constructed = self.compile(compiler, "constructed")
                code, verdicts, lines = run_checker("--objects", trivial)
                self.assertEqual(verdicts["objects.no-constructors"], "PASS", "\n".join(lines))
                code, verdicts, lines = run_checker("--objects", trivial, constructed)
                self.assertNotEqual(code, 0)
                self.assertEqual(verdicts["objects.no-constructors"], "FAIL")
                self.assertIn("constructed.obj (.ctors", "\n".join(lines))


class Win32Image(CheckerOnImage, unittest.TestCase):
    flavour = "win32"


class Win64Image(CheckerOnImage, unittest.TestCase):
    flavour = "win64"


if __name__ == "__main__":
    unittest.main()
