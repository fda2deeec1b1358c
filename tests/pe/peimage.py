"""The packaging checks' view of a 32-bit PE executable, read by pefile.

pefile reads the headers, imports, resource tree, string tables and version
block; this module only lays them out as the checks use them, each with the
file offset it was read from, so that tests can patch a copy of the file at
exactly that place. Icon groups and icon images, which pefile leaves as raw
bytes, are read here.
"""

import struct

import pefile

RT_ICON = 3
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_32BIT_MACHINE = 0x0100
IMAGE_FILE_DLL = 0x2000

DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_BASERELOC = 5
DIR_BOUND_IMPORT = 11
DIR_DELAY_IMPORT = 13

# pefile's names of the VS_FIXEDFILEINFO members, in their stored order.
FIXED_FILE_INFO_FIELDS = ("Signature", "StrucVersion", "FileVersionMS", "FileVersionLS",
                          "ProductVersionMS", "ProductVersionLS", "FileFlagsMask", "FileFlags",
                          "FileOS", "FileType", "FileSubtype", "FileDateMS", "FileDateLS")

PEError = pefile.PEFormatError


class Field:
    """A header value and where it is stored in the file."""

    def __init__(self, structure, name, fmt="H"):
        self.value = getattr(structure, name)
        self.offset = structure.get_field_absolute_offset(name)
        self.fmt = fmt


class Resource:
    def __init__(self, type_id, name_id, lang, data, data_offset, lang_entry_offset, codepage):
        self.type_id = type_id
        self.name_id = name_id
        self.lang = lang
        self.data = data
        self.data_offset = data_offset          # file offset of the resource bytes
        self.lang_entry_offset = lang_entry_offset  # file offset of the language directory entry
        self.codepage = codepage


class Import:
    def __init__(self, dll, names, ordinals, dll_name_offset, name_offsets):
        self.dll = dll
        self.names = names
        self.ordinals = ordinals
        self.dll_name_offset = dll_name_offset
        self.name_offsets = name_offsets  # {name: file offset of its text}


class VersionString:
    """One text of a StringTable as stored: the declared length in units and
    the node type, besides the text up to its first NUL."""

    def __init__(self, text, value_units, node_type, stored):
        self.text = text
        self.value_units = value_units
        self.node_type = node_type
        self.stored = stored  # the declared units as stored, NULs included


class PEImage:
    def __init__(self, data):
        self.data = bytes(data)
        pe = pefile.PE(data=self.data, fast_load=True)
        if pe.OPTIONAL_HEADER.Magic != 0x10B:
            raise PEError("optional header magic 0x%x is not PE32" % pe.OPTIONAL_HEADER.Magic)
        pe.parse_data_directories(directories=[DIR_IMPORT, DIR_RESOURCE])
        self.pe = pe
        fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
        self.machine = Field(fh, "Machine")
        self.characteristics = Field(fh, "Characteristics")
        self.major_os = Field(oh, "MajorOperatingSystemVersion")
        self.minor_os = Field(oh, "MinorOperatingSystemVersion")
        self.major_subsystem = Field(oh, "MajorSubsystemVersion")
        self.minor_subsystem = Field(oh, "MinorSubsystemVersion")
        self.subsystem = Field(oh, "Subsystem")
        self.dll_characteristics = Field(oh, "DllCharacteristics")
        self.directories = [(d.VirtualAddress, d.Size, d.get_file_offset()) for d in oh.DATA_DIRECTORY]
        while len(self.directories) < 16:
            self.directories.append((0, 0, None))
        self.imports = self._imports()
        self.resources = self._resources()

    def directory(self, index):
        rva, size, _ = self.directories[index]
        return rva, size

    def _imports(self):
        result = []
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            names, ordinals, name_offsets = [], [], {}
            for imp in entry.imports:
                if imp.import_by_ordinal:
                    ordinals.append(imp.ordinal)
                else:
                    name = imp.name.decode("ascii")
                    names.append(name)
                    name_offsets[name] = imp.name_offset
            result.append(Import(entry.dll.decode("ascii"), names, ordinals,
                                 self.pe.get_offset_from_rva(entry.struct.Name), name_offsets))
        return result

    def _resources(self):
        out = []
        root = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for type_entry in root.entries if root else []:
            for name_entry in _subdirectory(type_entry):
                for lang_entry in _subdirectory(name_entry):
                    if not hasattr(lang_entry, "data"):
                        raise PEError("resource %r/%r/%r is not a leaf" % (
                            _key(type_entry), _key(name_entry), _key(lang_entry)))
                    leaf = lang_entry.data.struct
                    out.append(Resource(_key(type_entry), _key(name_entry), lang_entry.id,
                                        self.pe.get_data(leaf.OffsetToData, leaf.Size),
                                        self.pe.get_offset_from_rva(leaf.OffsetToData),
                                        lang_entry.struct.get_file_offset(), leaf.CodePage))
        return out

    def find_resources(self, type_id, name_id=None, lang=None):
        return [r for r in self.resources
                if r.type_id == type_id and (name_id is None or r.name_id == name_id)
                and (lang is None or r.lang == lang)]

    # ------------------------------------------------------------ version block
    def fixed_file_info(self):
        """The VS_FIXEDFILEINFO as a dict, and its structure (for field offsets)."""
        infos = getattr(self.pe, "VS_FIXEDFILEINFO", None)
        if not infos:
            raise PEError("no VS_FIXEDFILEINFO in the version block")
        return {name: getattr(infos[0], name) for name in FIXED_FILE_INFO_FIELDS}, infos[0]

    def version_blocks(self, name):
        """The StringFileInfo or VarFileInfo blocks of the version block."""
        key = name.encode()
        return [entry for group in getattr(self.pe, "FileInfo", []) for entry in group
                if getattr(entry, "Key", None) == key]

    def version_strings(self, table):
        """{key: VersionString} of one StringTable."""
        result = {}
        for key, (key_offset, value_offset) in table.entries_offsets.items():
            # The String node's header (Length, ValueLength, Type) precedes its key.
            _, value_units, node_type = struct.unpack_from("<HHH", self.data, key_offset - 6)
            stored = self.data[value_offset:value_offset + 2 * value_units].decode("utf-16-le", "replace")
            result[key.decode()] = VersionString(table.entries[key].decode(), value_units, node_type, stored)
        return result

    def string_block(self, resource):
        """{string id: text} of one RT_STRING block; empty strings are absent."""
        strings = {}
        pefile.parse_strings(resource.data, (resource.name_id - 1) * 16, strings)
        return strings


def _key(entry):
    return entry.id if entry.name is None else str(entry.name)


def _subdirectory(entry):
    if not hasattr(entry, "directory"):
        raise PEError("resource %r is a leaf" % (_key(entry),))
    return entry.directory.entries


# ---------------------------------------------------------------- icon formats

def parse_group_icon(data):
    """GRPICONDIR: (reserved, type, [entries]); entries as dicts."""
    if len(data) < 6:
        raise PEError("icon group shorter than its header")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if len(data) != 6 + 14 * count:
        raise PEError("icon group of %d entries is %d bytes" % (count, len(data)))
    entries = []
    for i in range(count):
        w, h, colours, res, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        entries.append(dict(width=w or 256, height=h or 256, colours=colours, reserved=res,
                            planes=planes, bits=bits, size=size, id=icon_id, offset=6 + 14 * i))
    return reserved, kind, entries


def parse_icon_image(data):
    """The BITMAPINFOHEADER of an RT_ICON image and its pixels as rows of (r, g, b, opaque)."""
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        raise PEError("PNG-compressed icon image")
    if len(data) < 40:
        raise PEError("icon image shorter than its header")
    (hsize, width, height2, planes, bits, compression, _, _, _, used, _) = struct.unpack_from("<IiiHHIIiiII", data)
    header = dict(size=hsize, width=width, height=height2 // 2, height2=height2, planes=planes,
                  bits=bits, compression=compression)
    if hsize != 40 or compression != 0 or bits not in (1, 4, 8, 24, 32) or width <= 0 or height2 <= 0:
        raise PEError("icon image header not understood: %r" % header)
    h = height2 // 2
    ncolours = (used or (1 << bits)) if bits <= 8 else 0
    stride = ((width * bits + 31) // 32) * 4
    mstride = ((width + 31) // 32) * 4
    pal = 40
    bits_off = pal + 4 * ncolours
    mask_off = bits_off + stride * h
    expected = mask_off + mstride * h
    header["expected_length"] = expected
    if len(data) != expected:
        raise PEError("icon image is %d bytes; its header implies %d" % (len(data), expected))
    rows = []
    for y in range(h):
        sy = h - 1 - y
        row = []
        for x in range(width):
            masked = (data[mask_off + sy * mstride + x // 8] >> (7 - x % 8)) & 1
            if bits == 32:
                b, g, r, a = data[bits_off + sy * stride + 4 * x:bits_off + sy * stride + 4 * x + 4]
                opaque = a >= 128
            elif bits == 24:
                b, g, r = data[bits_off + sy * stride + 3 * x:bits_off + sy * stride + 3 * x + 3]
                opaque = not masked
            else:
                byte = data[bits_off + sy * stride + (x * bits) // 8]
                idx = (byte >> (8 - bits - (x * bits) % 8)) & ((1 << bits) - 1)
                if idx >= ncolours:
                    raise PEError("pixel index %d beyond a palette of %d" % (idx, ncolours))
                b, g, r, _ = data[pal + 4 * idx:pal + 4 * idx + 4]
                opaque = not masked
            row.append((r, g, b, opaque))
        rows.append(row)
    return header, rows
