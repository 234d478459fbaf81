"""Reads header fields, imports, exports and resources of a built PE file
with Debian's python3-pefile (/usr/bin/python3); disassembles with MinGW's objdump."""
import subprocess

import pefile

RT_STRING, RT_MANIFEST = 6, 24


def machine(path):
    value = pefile.PE(path).FILE_HEADER.Machine
    return {0x14C: "i386", 0x8664: "amd64"}.get(value, hex(value))


def subsystem(path):
    value = pefile.PE(path).OPTIONAL_HEADER.Subsystem
    return {2: "windows", 3: "console"}.get(value, str(value))


def imported_dlls(path):
    return [entry.dll.decode("ascii") for entry in getattr(pefile.PE(path), "DIRECTORY_ENTRY_IMPORT", [])]


def exported_names(path):
    exports = getattr(pefile.PE(path), "DIRECTORY_ENTRY_EXPORT", None)
    return [symbol.name.decode("ascii") for symbol in exports.symbols if symbol.name] if exports else []


def first_return(path, name):
    """The first return instruction of a 32-bit export, as objdump writes it ("ret $0xc")."""
    pe = pefile.PE(path)
    address = next(pe.OPTIONAL_HEADER.ImageBase + symbol.address
                   for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols if symbol.name == name.encode("ascii"))
    listing = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", f"--start-address={address:#x}",
                              f"--stop-address={address + 0x1000:#x}", path],
                             capture_output=True, text=True, check=True).stdout
    for line in listing.splitlines():
        fields = line.split(":", 1)
        if len(fields) == 2 and fields[1].split()[:1] == ["ret"]:
            return " ".join(fields[1].split())
    return None


def version_strings(path):
    fields = {}
    for info in getattr(pefile.PE(path), "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                fields.update({k.decode("utf-8"): v.decode("utf-8") for k, v in table.entries.items()})
    return fields


def fixed_file_version(path):
    """{'file': (a, b, c, d), 'product': (a, b, c, d)}, or None without a version resource."""
    fixed = getattr(pefile.PE(path), "VS_FIXEDFILEINFO", None)
    if not fixed:
        return None

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    info = fixed[0]
    return {"file": split(info.FileVersionMS, info.FileVersionLS),
            "product": split(info.ProductVersionMS, info.ProductVersionLS)}


def _resources(pe, type_id):
    """(id, language, bytes) for every resource of one type."""
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for type_entry in root.entries if root else []:
        if type_entry.id == type_id:
            for name_entry in type_entry.directory.entries:
                for lang_entry in name_entry.directory.entries:
                    data = lang_entry.data.struct
                    yield name_entry.id, lang_entry.id, pe.get_data(data.OffsetToData, data.Size)


def manifest(path):
    return next((raw.decode("utf-8-sig") for _, _, raw in _resources(pefile.PE(path), RT_MANIFEST)), None)


def string_table(path):
    """{id: (language, text)}; where an id exists in several languages the first in the file wins."""
    strings = {}
    for block_id, lang, raw in _resources(pefile.PE(path), RT_STRING):
        # A block holds 16 counted UTF-16 strings; block n holds ids 16(n-1) .. 16n-1.
        offset = 0
        for index in range(16):
            length = int.from_bytes(raw[offset:offset + 2], "little")
            if length:
                strings.setdefault((block_id - 1) * 16 + index,
                                   (lang, raw[offset + 2:offset + 2 + 2 * length].decode("utf-16-le")))
            offset += 2 + 2 * length
    return strings
