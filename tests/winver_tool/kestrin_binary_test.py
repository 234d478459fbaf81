"""Kestrin's executables read as files: the 32-bit deliverable and its 64-bit
twin. Arguments: the 32-bit file, then the 64-bit file."""
import sys
import unittest

import pe_inspect

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll",
               "version.dll", "msvcrt.dll"}
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]


class KestrinBinaries(unittest.TestCase):
    def each_file(self):
        for path, arch in ((sys.argv[1], "i386"), (sys.argv[2], "amd64")):
            with self.subTest(path=path):
                yield path, arch

    def test_console_program_for_its_architecture(self):
        for path, arch in self.each_file():
            self.assertEqual(pe_inspect.machine(path), arch)
            self.assertEqual(pe_inspect.subsystem(path), "console")

    def test_imports_only_dlls_of_windows(self):
        for path, _ in self.each_file():
            imports = {name.lower() for name in pe_inspect.imported_dlls(path)}
            self.assertTrue(imports)
            self.assertLessEqual(imports, SYSTEM_DLLS)

    def test_version_resource(self):
        for path, _ in self.each_file():
            self.assertEqual(pe_inspect.fixed_file_version(path),
                             {"file": (1, 0, 0, 1), "product": (1, 0, 0, 1)})
            fields = pe_inspect.version_strings(path)
            self.assertEqual(fields["FileDescription"], "Write Windows-Version to File WindowsVersion.ini")
            self.assertEqual(fields["ProductName"], "Kestrin")
            self.assertEqual(fields["InternalName"], "Kestrin")
            self.assertEqual(fields["OriginalFilename"], "Kestrin.exe")
            self.assertEqual(fields["FileVersion"], "1.0.0.1")
            self.assertEqual(fields["ProductVersion"], "1.0.0.1")

    def test_manifest(self):
        for path, _ in self.each_file():
            text = pe_inspect.manifest(path)
            self.assertIsNotNone(text)
            self.assertIn('<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', text)
            self.assertRegex(text, r"<dpiAware[^>]*>true</dpiAware>")
            ids = [line.split('"')[1] for line in text.splitlines() if "<supportedOS" in line]
            self.assertEqual(ids, SUPPORTED_OS)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
