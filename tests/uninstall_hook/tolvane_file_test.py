"""The shipped 32-bit Tolvane.dll read as a file (it cannot run here). Argument: its path."""
import sys
import unittest

import pe_inspect

PATH = None
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "shlwapi.dll", "user32.dll"}
MESSAGES = {
    101: "Für die Deinstallation benötigen Sie Administratorenrechte.",
    102: "Ungültiger Deinstallationseintrag.",
    103: "Die Datei \"stop_mysql.bat\" existiert nicht im MySQL-Programmverzeichnis.",
    104: "Die Deinstallation des MySQL-Dienstes ist fehlgeschlagen.",
}
VERSION_STRINGS = {"FileDescription": "Tolvane", "ProductName": "Tolvane", "InternalName": "Tolvane",
                   "OriginalFilename": "Tolvane.dll", "FileVersion": "1.0.0.1"}


class TolvaneFile(unittest.TestCase):
    def test_headers_exports_messages_version_and_imports(self):
        self.assertEqual("i386", pe_inspect.machine(PATH))
        self.assertEqual(["UninstInitialize", "UninstUnInitialize"], pe_inspect.exported_names(PATH))
        self.assertEqual({key: (0x0807, text) for key, text in MESSAGES.items()}, pe_inspect.string_table(PATH))
        self.assertEqual({"file": (1, 0, 0, 1), "product": (1, 0, 0, 1)}, pe_inspect.fixed_file_version(PATH))
        fields = pe_inspect.version_strings(PATH)
        self.assertEqual(VERSION_STRINGS, {key: fields.get(key) for key in VERSION_STRINGS})
        imports = {name.lower() for name in pe_inspect.imported_dlls(PATH)}
        self.assertTrue(imports)
        self.assertLessEqual(imports, SYSTEM_DLLS)


if __name__ == "__main__":
    PATH = sys.argv.pop(1)
    unittest.main()
