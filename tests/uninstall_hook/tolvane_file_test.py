"""Checks the shipped 32-bit Tolvane.dll: machine, plain export names, the
German message table, the version resource and imports of system DLLs only."""
import sys
import unittest

import pe_inspect

PATH = None

# DLLs that every supported Windows has.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "shlwapi.dll", "user32.dll"}


class TolvaneFile(unittest.TestCase):
    def test_is_32_bit(self):
        self.assertEqual("i386", pe_inspect.machine(PATH))

    def test_exports_plain_names_only(self):
        self.assertEqual(["UninstInitialize", "UninstUnInitialize"], pe_inspect.exported_names(PATH))

    def test_german_swiss_message_table(self):
        expected = {
            101: "Für die Deinstallation benötigen Sie Administratorenrechte.",
            102: "Ungültiger Deinstallationseintrag.",
            103: "Die Datei \"stop_mysql.bat\" existiert nicht im MySQL-Programmverzeichnis.",
            104: "Die Deinstallation des MySQL-Dienstes ist fehlgeschlagen.",
        }
        self.assertEqual({key: (0x0807, text) for key, text in expected.items()}, pe_inspect.string_table(PATH))

    def test_version_resource(self):
        self.assertEqual({"file": (1, 0, 0, 1), "product": (1, 0, 0, 1)}, pe_inspect.fixed_file_version(PATH))
        fields = pe_inspect.version_strings(PATH)
        for key, value in {"FileDescription": "Tolvane", "ProductName": "Tolvane", "InternalName": "Tolvane",
                           "OriginalFilename": "Tolvane.dll", "FileVersion": "1.0.0.1"}.items():
            self.assertEqual(value, fields.get(key), key)

    def test_imports_only_system_dlls(self):
        imports = {name.lower() for name in pe_inspect.imported_dlls(PATH)}
        self.assertTrue(imports)
        self.assertLessEqual(imports, SYSTEM_DLLS)


if __name__ == "__main__":
    PATH = sys.argv.pop(1)
    unittest.main()
