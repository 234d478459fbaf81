"""Checks the release archive made by scripts/package.

Usage: check_package.py <default dist folder>; the DIST_DIR environment
variable, when set, names the dist folder instead.
"""
import hashlib
import os
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import pe_inspect  # noqa: E402

# What every shipped file must be: machine, subsystem, file and product version.
SHIPPED = {
    "Quillon.exe": {"machine": "amd64", "subsystem": "console", "version": (1, 1, 0, 0)},
    "Kestrin.exe": {"machine": "i386", "subsystem": "console", "version": (1, 0, 0, 1)},
    "Tolvane.dll": {"machine": "i386", "subsystem": None, "version": (1, 0, 0, 1)},
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


def parse_sums(text):
    sums = {}
    for line in text.splitlines():
        digest, name = line.split(None, 1)
        sums[name.lstrip("*")] = digest
    return sums


class ReleaseArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        with zipfile.ZipFile(ARCHIVE) as archive:
            cls.files = {name: archive.read(name) for name in archive.namelist()}
            archive.extractall(cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def test_holds_exactly_the_shipped_files(self):
        self.assertEqual(set(self.files), set(SHIPPED) | EXTRA)

    def test_binaries(self):
        for name, want in SHIPPED.items():
            with self.subTest(name):
                path = self.path(name)
                self.assertEqual(pe_inspect.machine(path), want["machine"])
                if want["subsystem"]:  # a library's subsystem field means nothing
                    self.assertEqual(pe_inspect.subsystem(path), want["subsystem"])
                self.assertEqual(pe_inspect.fixed_file_version(path),
                                 {"file": want["version"], "product": want["version"]})
                imported = {dll.lower() for dll in pe_inspect.imported_dlls(path)}
                self.assertLessEqual(imported, SYSTEM_DLLS,
                                     "imports a DLL that Windows does not ship")

    def test_hook_exports_plain_names(self):
        exported = set(pe_inspect.exported_names(self.path("Tolvane.dll")))
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
