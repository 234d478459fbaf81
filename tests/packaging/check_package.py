"""Checks the release archive made by scripts/package.

Usage: check_package.py <default dist folder>; the DIST_DIR environment
variable, when set, names the dist folder instead.
"""
import hashlib
import os
import sys
import unittest
import zipfile

import pefile

# What every shipped file must be: machine, DLL or program, file version.
SHIPPED = {
    "Quillon.exe": {"machine": 0x8664, "dll": False, "version": (1, 1, 0, 0)},
    "Kestrin.exe": {"machine": 0x14C, "dll": False, "version": (1, 0, 0, 1)},
    "Tolvane.dll": {"machine": 0x14C, "dll": True, "version": (1, 0, 0, 1)},
}
EXTRA = {"SHA256SUMS.txt", "installer-guide.md"}

# Libraries that every supported Windows release has; anything else (the
# MinGW runtime DLLs above all) would be missing on a customer's machine.
SYSTEM_DLLS = {
    "advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
    "ntdll.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "version.dll",
}

DIST = os.environ.get("DIST_DIR") or (sys.argv[1] if len(sys.argv) > 1 else "dist")
RELEASE = os.path.join(DIST, "release")
ARCHIVE = os.path.join(RELEASE, "Brelkin-setup-tools.zip")


def file_version(pe):
    for info in getattr(pe, "VS_FIXEDFILEINFO", None) or []:
        return (info.FileVersionMS >> 16, info.FileVersionMS & 0xFFFF,
                info.FileVersionLS >> 16, info.FileVersionLS & 0xFFFF,
                info.ProductVersionMS >> 16, info.ProductVersionMS & 0xFFFF,
                info.ProductVersionLS >> 16, info.ProductVersionLS & 0xFFFF)
    return None


def parse_sums(text):
    sums = {}
    for line in text.splitlines():
        digest, name = line.split(None, 1)
        sums[name.lstrip("*")] = digest
    return sums


class ReleaseArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with zipfile.ZipFile(ARCHIVE) as archive:
            cls.files = {name: archive.read(name) for name in archive.namelist()}

    def test_holds_exactly_the_shipped_files(self):
        self.assertEqual(set(self.files), set(SHIPPED) | EXTRA)

    def test_binaries(self):
        for name, want in SHIPPED.items():
            with self.subTest(name):
                pe = pefile.PE(data=self.files[name])
                self.assertEqual(pe.FILE_HEADER.Machine, want["machine"])
                self.assertEqual(pe.is_dll(), want["dll"])
                if not want["dll"]:
                    self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 3, "console program")
                self.assertEqual(file_version(pe), want["version"] * 2,
                                 "file and product version")
                imported = {entry.dll.decode().lower()
                            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
                self.assertLessEqual(imported, SYSTEM_DLLS,
                                     "imports a DLL that Windows does not ship")

    def test_hook_exports_plain_names(self):
        pe = pefile.PE(data=self.files["Tolvane.dll"])
        directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        exported = {symbol.name.decode() for symbol in directory.symbols
                    if symbol.name} if directory else set()
        self.assertLessEqual({"UninstInitialize", "UninstUnInitialize"}, exported)

    def test_sums_match_the_files(self):
        inside = self.files["SHA256SUMS.txt"]
        with open(os.path.join(RELEASE, "SHA256SUMS.txt"), "rb") as beside:
            self.assertEqual(beside.read(), inside)
        sums = parse_sums(inside.decode("ascii"))
        self.assertEqual(set(sums), set(SHIPPED))
        for name in SHIPPED:
            self.assertEqual(sums[name], hashlib.sha256(self.files[name]).hexdigest(), name)

    def test_guide_is_the_documents_current_text(self):
        here = os.path.dirname(os.path.abspath(__file__))
        with open(os.path.join(here, "..", "..", "docs", "installer-guide.md"), "rb") as guide:
            self.assertEqual(self.files["installer-guide.md"], guide.read())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
