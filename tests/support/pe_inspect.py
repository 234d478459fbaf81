"""Reads what the tests check in a built PE file (exe or dll): header fields,
imports, exports and resources. Uses Debian's python3-pefile (/usr/bin/python3).

Run it directly on a file to see everything it reads:
    /usr/bin/python3 pe_inspect.py bin/Kestrin.exe
"""
import sys

import pefile

RT_STRING = 6
RT_VERSION = 16
RT_MANIFEST = 24

_MACHINES = {0x14C: "i386", 0x8664: "amd64", 0xAA64: "arm64"}
_SUBSYSTEMS = {2: "windows", 3: "console"}


def _load(path):
    return pefile.PE(path, fast_load=False)


def machine(path):
    """'i386', 'amd64', 'arm64', or the number in hex."""
    value = _load(path).FILE_HEADER.Machine
    return _MACHINES.get(value, hex(value))


def subsystem(path):
    """'console', 'windows' (GUI), or the number as text."""
    value = _load(path).OPTIONAL_HEADER.Subsystem
    return _SUBSYSTEMS.get(value, str(value))


def imported_dlls(path):
    """Names of the imported DLLs as the file spells them, in file order."""
    pe = _load(path)
    return [entry.dll.decode("ascii") for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]


def exported_names(path):
    """Exported names (ordinal-only exports left out), in file order."""
    pe = _load(path)
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if exports is None:
        return []
    return [symbol.name.decode("ascii") for symbol in exports.symbols if symbol.name]


def version_strings(path):
    """The StringFileInfo fields of the version resource, {key: value}."""
    pe = _load(path)
    fields = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            if getattr(block, "Key", b"") != b"StringFileInfo":
                continue
            for table in block.StringTable:
                for key, value in table.entries.items():
                    fields[key.decode("utf-8")] = value.decode("utf-8")
    return fields


def fixed_file_version(path):
    """{'file': (a, b, c, d), 'product': (a, b, c, d)} from VS_FIXEDFILEINFO,
    or None without a version resource."""
    pe = _load(path)
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not fixed:
        return None
    info = fixed[0]

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return {"file": split(info.FileVersionMS, info.FileVersionLS),
            "product": split(info.ProductVersionMS, info.ProductVersionLS)}


def _resources(pe, type_id):
    """(id, lang, bytes) for every resource of one type."""
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return
    for type_entry in root.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                raw = pe.get_data(data.OffsetToData, data.Size)
                yield name_entry.id, lang_entry.id, raw


def manifest(path):
    """Text of the first application manifest resource, or None."""
    pe = _load(path)
    for _, _, raw in _resources(pe, RT_MANIFEST):
        return raw.decode("utf-8-sig")
    return None


def string_table(path):
    """Every string of the string tables, {id: (lang, text)}; lang is the full
    language id (0x0407 German, 0x0409 English US). Where one id exists in
    several languages, the first in the file wins."""
    pe = _load(path)
    strings = {}
    for block_id, lang, raw in _resources(pe, RT_STRING):
        # A block holds 16 counted UTF-16 strings; block n holds ids 16(n-1) .. 16n-1.
        offset = 0
        for index in range(16):
            length = int.from_bytes(raw[offset:offset + 2], "little")
            offset += 2
            if length:
                text = raw[offset:offset + 2 * length].decode("utf-16-le")
                strings.setdefault((block_id - 1) * 16 + index, (lang, text))
            offset += 2 * length
    return strings


if __name__ == "__main__":
    target = sys.argv[1]
    print("machine:", machine(target))
    print("subsystem:", subsystem(target))
    print("imports:", imported_dlls(target))
    print("exports:", exported_names(target))
    print("fixed version:", fixed_file_version(target))
    print("version strings:", version_strings(target))
    print("string table:", string_table(target))
    print("manifest:", manifest(target))
