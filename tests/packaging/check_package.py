"""Checks the release archive made by scripts/package and the files it ships (headers, imports, resources), the
archive of their symbol files, and the signing of a release.
Usage: check_package.py <default dist folder> [test class...]; DIST_DIR, when set, names the dist folder instead."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import pe_inspect  # noqa: E402

# Machine, subsystem (None: a library's field means nothing), file and product version.
SHIPPED = {
    "Quillon.exe": ("amd64", "console", (1, 1, 0, 0)),
    "Kestrin.exe": ("i386", "console", (1, 0, 0, 1)),
    "Tolvane.dll": ("i386", None, (1, 0, 0, 1)),
}
EXTRA = {"SHA256SUMS.txt", "installer-guide.md", "server-setup.nsi"}
# The libraries a shipped file may import at load time: Windows' KnownDLLs, which the loader always takes from the
# system folder, as listed under HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs on both
# Windows 7 and Windows 10 (ntdll.dll is loaded into every process first). Any other library (version.dll, the
# MinGW runtime) is looked for in the program's folder first, where others can put one, or may be missing on a
# customer's machine.
KNOWN_DLLS = {"advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
              "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ntdll.dll", "ole32.dll",
              "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll",
              "user32.dll", "wldap32.dll", "ws2_32.dll"}
KESTRIN_STRINGS = {"FileDescription": "Write Windows-Version to File WindowsVersion.ini", "ProductName": "Kestrin",
                   "InternalName": "Kestrin", "OriginalFilename": "Kestrin.exe", "FileVersion": "1.0.0.1",
                   "ProductVersion": "1.0.0.1"}
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
TOLVANE_STRINGS = {"FileDescription": "Tolvane", "ProductName": "Tolvane", "InternalName": "Tolvane",
                   "OriginalFilename": "Tolvane.dll", "FileVersion": "1.0.0.1"}
TOLVANE_MESSAGES = {  # German (Switzerland), 0x0807
    101: "Für die Deinstallation benötigen Sie Administratorenrechte.",
    102: "Ungültiger Deinstallationseintrag.",
    103: "Die Datei \"stop_mysql.bat\" existiert nicht im MySQL-Programmverzeichnis.",
    104: "Die Deinstallation des MySQL-Dienstes ist fehlgeschlagen.",
}

# Addresses in the shipped files, from their own headers (ImageBase plus an RVA: the entry point, or an export),
# and what addr2line of the file's toolchain names there from the symbol file, as the guide shows: the function and
# the end of its source file's path. Tolvane's exports are the project's own code, with its own line tables.
NAMED_ADDRESSES = [
    ("Quillon.exe", "x86_64", None, "mainCRTStartup", "crtexe.c"),
    ("Kestrin.exe", "i686", None, "mainCRTStartup", "crtexe.c"),
    ("Tolvane.dll", "i686", None, "DllMainCRTStartup@12", "crtdll.c"),
    ("Tolvane.dll", "i686", "UninstInitialize", "UninstInitialize@12", "uninstall_hook/exports.cpp"),
    ("Tolvane.dll", "i686", "UninstUnInitialize", "UninstUnInitialize@12", "uninstall_hook/exports.cpp"),
]

PACKAGE = os.path.join(HERE, "..", "..", "scripts", "package")
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

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def version_strings(self, name, keys):
        fields = pe_inspect.version_strings(self.path(name))
        return {key: fields.get(key) for key in keys}

    def test_binaries(self):
        for name, (machine, subsystem, version) in SHIPPED.items():
            with self.subTest(name):
                path = self.path(name)
                self.assertEqual(pe_inspect.machine(path), machine)
                if subsystem:
                    self.assertEqual(pe_inspect.subsystem(path), subsystem)
                self.assertEqual(pe_inspect.fixed_file_version(path), {"file": version, "product": version})
                imported = {dll.lower() for dll in pe_inspect.imported_dlls(path)}
                self.assertTrue(imported)
                self.assertLessEqual(imported, KNOWN_DLLS)
                with open(os.path.join(DIST, name), "rb") as built:  # unsigned, as built
                    self.assertEqual(self.files[name], built.read())

    def test_kestrin_resources(self):
        self.assertEqual(self.version_strings("Kestrin.exe", KESTRIN_STRINGS), KESTRIN_STRINGS)
        text = pe_inspect.manifest(self.path("Kestrin.exe"))
        self.assertIn('<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', text)
        self.assertRegex(text, r"<dpiAware[^>]*>true</dpiAware>")
        self.assertEqual([line.split('"')[1] for line in text.splitlines() if "<supportedOS" in line], SUPPORTED_OS)

    def test_tolvane_exports_and_resources(self):
        self.assertEqual(pe_inspect.exported_names(self.path("Tolvane.dll")), ["UninstInitialize", "UninstUnInitialize"])
        self.assertEqual(self.version_strings("Tolvane.dll", TOLVANE_STRINGS), TOLVANE_STRINGS)
        self.assertEqual(pe_inspect.string_table(self.path("Tolvane.dll")),
                         {key: (0x0807, text) for key, text in TOLVANE_MESSAGES.items()})

    def test_example_installer_builds_from_the_archive(self):
        # Any program serves as the server here; the installer is run by the 32-bit tests.
        setup = self.path("setup-built.exe")
        built = subprocess.run(["makensis", "-V2", "-DTOOLS_DIR=" + self.folder.name,
                                "-DSERVER_EXE=" + self.path("Quillon.exe"), "-DOUTFILE=" + setup,
                                self.path("server-setup.nsi")], capture_output=True, text=True)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        self.assertEqual(pe_inspect.machine(setup), "i386")
        os.remove(setup)

    def test_tolvane_exports_remove_their_three_arguments(self):
        # __stdcall: each export removes its three 4-byte arguments on return,
        # UninstUnInitialize too, which reads none; a caller must push all three.
        for name in ("UninstInitialize", "UninstUnInitialize"):
            with self.subTest(name):
                self.assertEqual(pe_inspect.first_return(self.path("Tolvane.dll"), name), "ret $0xc")

    def test_sums_match_the_files(self):
        inside = self.files["SHA256SUMS.txt"]
        with open(os.path.join(RELEASE, "SHA256SUMS.txt"), "rb") as beside:
            self.assertEqual(beside.read(), inside)
        sums = {name.lstrip("*"): digest
                for digest, name in (line.split(None, 1) for line in inside.decode("ascii").splitlines())}
        self.assertEqual(sums, {name: hashlib.sha256(self.files[name]).hexdigest() for name in SHIPPED})

    def test_guide_and_example_are_the_documents_current_text(self):
        for name, source in (("installer-guide.md", "installer-guide.md"),
                             ("server-setup.nsi", os.path.join("examples", "server-setup.nsi"))):
            with self.subTest(name), open(os.path.join(HERE, "..", "..", "docs", source), "rb") as document:
                self.assertEqual(self.files[name], document.read())


class SymbolsArchive(unittest.TestCase):
    """Brelkin-setup-tools-symbols.zip beside the release archive: the shipped files as linked, with symbols."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        for archive_name, subfolder in (("Brelkin-setup-tools.zip", "shipped"),
                                        ("Brelkin-setup-tools-symbols.zip", "symbols")):
            with zipfile.ZipFile(os.path.join(RELEASE, archive_name)) as archive:
                archive.extractall(os.path.join(cls.folder.name, subfolder), [n for n in archive.namelist()
                                                                              if n in SHIPPED])
                if subfolder == "symbols":
                    cls.names = archive.namelist()

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def path(self, subfolder, name):
        return os.path.join(self.folder.name, subfolder, name)

    def test_shipped_files_are_stripped_and_their_symbol_files_hold_the_same_image(self):
        self.assertEqual(sorted(self.names), sorted(SHIPPED))
        for name in SHIPPED:
            with self.subTest(name):
                shipped, symbols = (pefile.PE(self.path(side, name)) for side in ("shipped", "symbols"))
                self.assertEqual(shipped.FILE_HEADER.NumberOfSymbols, 0)
                self.assertFalse([section.Name for section in shipped.sections if section.Name.startswith(b".debug")])
                self.assertGreater(symbols.FILE_HEADER.NumberOfSymbols, 0)
                self.assertEqual(shipped.OPTIONAL_HEADER.ImageBase, symbols.OPTIONAL_HEADER.ImageBase)
                loaded = {section.Name: (section.VirtualAddress, section.get_data()) for section in symbols.sections}
                for section in shipped.sections:
                    self.assertEqual((section.VirtualAddress, section.get_data()), loaded.get(section.Name),
                                     section.Name)

    def test_addr2line_names_addresses_of_the_shipped_files(self):
        for name, toolchain, export, function, source in NAMED_ADDRESSES:
            with self.subTest(name=name, export=export):
                shipped = pefile.PE(self.path("shipped", name))
                rva = (next(symbol.address for symbol in shipped.DIRECTORY_ENTRY_EXPORT.symbols
                            if symbol.name == export.encode("ascii")) if export
                       else shipped.OPTIONAL_HEADER.AddressOfEntryPoint)
                named = subprocess.run([toolchain + "-w64-mingw32-addr2line", "-f", "-C", "-i", "-p", "-e",
                                        self.path("symbols", name), hex(shipped.OPTIONAL_HEADER.ImageBase + rva)],
                                       capture_output=True, text=True, check=True).stdout
                self.assertRegex(named.splitlines()[-1], "^" + function + " at .*" + source + ":[0-9]+", named)


class SignedPackage(unittest.TestCase):
    """scripts/package with SIGN_PFX and SIGN_PASS, on copies of the deliverables (and their symbol files), with a
    throwaway certificate."""
    PASSWORD = "throwaway password"

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.dist = os.path.join(cls.folder.name, "dist")
        os.mkdir(cls.dist)
        for name in SHIPPED:
            shutil.copy(os.path.join(DIST, name), cls.dist)
        shutil.copytree(os.path.join(DIST, "symbols"), os.path.join(cls.dist, "symbols"))
        cls.cert, key, cls.pfx = (os.path.join(cls.folder.name, name) for name in ("cert.pem", "key.pem", "signer.pfx"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                        "-out", cls.cert, "-subj", "/CN=Brelkin test signer",
                        "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.cert, "-out", cls.pfx,
                        "-passout", "pass:" + cls.PASSWORD], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def package(self, pfx, password):
        environment = dict(os.environ, DIST_DIR=self.dist, SIGN_PFX=pfx, SIGN_PASS=password)
        return subprocess.run([PACKAGE], env=environment, capture_output=True, text=True)

    def test_every_shipped_file_verifies_and_the_sums_are_of_the_signed_files(self):
        result = self.package(self.pfx, self.PASSWORD)
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(os.path.join(self.dist, "release", "Brelkin-setup-tools.zip")) as archive:
            self.assertEqual(set(archive.namelist()), set(SHIPPED) | EXTRA)
            archive.extractall(os.path.join(self.folder.name, "signed"))
            sums = archive.read("SHA256SUMS.txt").decode("ascii")
        for name in SHIPPED:
            with self.subTest(name):
                path = os.path.join(self.folder.name, "signed", name)
                verify = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", self.cert],
                                        capture_output=True, text=True)
                self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
                self.assertRegex(verify.stdout, r"Message digest algorithm\s*: SHA256")
                with open(path, "rb") as signed, open(os.path.join(self.dist, name), "rb") as built:
                    signed_bytes = signed.read()
                    self.assertNotEqual(signed_bytes, built.read())
                self.assertIn(hashlib.sha256(signed_bytes).hexdigest() + "  " + name, sums.splitlines())

    def test_a_failed_signing_leaves_no_archive(self):
        release = os.path.join(self.dist, "release")
        for case, pfx, password, message in [
            ("wrong password", self.pfx, "not the password",
             "package: signing Quillon.exe with " + self.pfx + " failed (wrong password"),
            ("no such certificate", self.pfx + ".missing", self.PASSWORD,
             "package: the signing certificate " + self.pfx + ".missing does not exist"),
        ]:
            with self.subTest(case):
                os.makedirs(release, exist_ok=True)  # an archive of an earlier run must not survive either
                with open(os.path.join(release, "Brelkin-setup-tools.zip"), "wb") as stale:
                    stale.write(b"stale")
                result = self.package(pfx, password)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(release))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[2:], verbosity=2)
