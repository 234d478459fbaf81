"""Checks the release archive made by scripts/package.
Usage: check_package.py <default dist folder>; DIST_DIR, when set, names the dist folder instead."""
import hashlib
import os
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import pe_inspect  # noqa: E402

# Machine, subsystem (None: a library's field means nothing), file and product version.
SHIPPED = {
    "Quillon.exe": ("amd64", "console", (1, 1, 0, 0)),
    "Kestrin.exe": ("i386", "console", (1, 0, 0, 1)),
    "Tolvane.dll": ("i386", None, (1, 0, 0, 1)),
}
EXTRA = {"SHA256SUMS.txt", "installer-guide.md"}
# Anything else (the MinGW runtime DLLs above all) would be missing on a customer's machine.
SYSTEM_DLLS = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll",
               "oleaut32.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "version.dll"}

DIST = os.environ.get("DIST_DIR") or (sys.argv[1] if len(sys.argv) > 1 else "dist")
RELEASE = os.path.join(DIST, "release")


class ReleaseArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        with zipfile.ZipFile(os.path.join(RELEASE, "Brelkin-setup-tools.zip")) as archive:
            cls.files = {name: archive.read(name) for name in archive.namelist()}
            archive.extractall(cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_holds_exactly_the_shipped_files(self):
        self.assertEqual(set(self.files), set(SHIPPED) | EXTRA)

    def test_binaries(self):
        for name, (machine, subsystem, version) in SHIPPED.items():
            with self.subTest(name):
                path = os.path.join(self.folder.name, name)
                self.assertEqual(pe_inspect.machine(path), machine)
                if subsystem:
                    self.assertEqual(pe_inspect.subsystem(path), subsystem)
                self.assertEqual(pe_inspect.fixed_file_version(path), {"file": version, "product": version})
                self.assertLessEqual({dll.lower() for dll in pe_inspect.imported_dlls(path)}, SYSTEM_DLLS)
        exported = set(pe_inspect.exported_names(os.path.join(self.folder.name, "Tolvane.dll")))
        self.assertLessEqual({"UninstInitialize", "UninstUnInitialize"}, exported)

    def test_sums_match_the_files(self):
        inside = self.files["SHA256SUMS.txt"]
        with open(os.path.join(RELEASE, "SHA256SUMS.txt"), "rb") as beside:
            self.assertEqual(beside.read(), inside)
        sums = {name.lstrip("*"): digest
                for digest, name in (line.split(None, 1) for line in inside.decode("ascii").splitlines())}
        self.assertEqual(sums, {name: hashlib.sha256(self.files[name]).hexdigest() for name in SHIPPED})

    def test_guide_is_the_documents_current_text(self):
        with open(os.path.join(HERE, "..", "..", "docs", "installer-guide.md"), "rb") as guide:
            self.assertEqual(self.files["installer-guide.md"], guide.read())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
