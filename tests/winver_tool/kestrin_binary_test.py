"""Kestrin's executables read as files. Arguments: the 32-bit file, then its 64-bit twin."""
import sys
import unittest

import pe_inspect

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll", "version.dll",
               "msvcrt.dll"}
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
VERSION_STRINGS = {"FileDescription": "Write Windows-Version to File WindowsVersion.ini", "ProductName": "Kestrin",
                   "InternalName": "Kestrin", "OriginalFilename": "Kestrin.exe", "FileVersion": "1.0.0.1",
                   "ProductVersion": "1.0.0.1"}


class KestrinBinaries(unittest.TestCase):
    def test_headers_imports_version_and_manifest(self):
        for path, arch in ((sys.argv[1], "i386"), (sys.argv[2], "amd64")):
            with self.subTest(path=path):
                self.assertEqual((pe_inspect.machine(path), pe_inspect.subsystem(path)), (arch, "console"))
                imports = {name.lower() for name in pe_inspect.imported_dlls(path)}
                self.assertTrue(imports)
                self.assertLessEqual(imports, SYSTEM_DLLS)
                self.assertEqual(pe_inspect.fixed_file_version(path), {"file": (1, 0, 0, 1), "product": (1, 0, 0, 1)})
                fields = pe_inspect.version_strings(path)
                self.assertEqual({key: fields.get(key) for key in VERSION_STRINGS}, VERSION_STRINGS)
                text = pe_inspect.manifest(path)
                self.assertIn('<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', text)
                self.assertRegex(text, r"<dpiAware[^>]*>true</dpiAware>")
                self.assertEqual([line.split('"')[1] for line in text.splitlines() if "<supportedOS" in line],
                                 SUPPORTED_OS)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
