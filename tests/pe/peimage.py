"""A small reader of 32-bit PE executables: headers, imports and resources.

Reads only what the packaging checks need, and refuses (PEError) anything it
does not understand rather than guessing. Every structure read records its file
offset, so that tests can patch a copy of the file at exactly that place.
"""

import struct

RT_ICON = 3
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA = 0x0020
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


class PEError(Exception):
    pass


class Field:
    """A header value and where it is stored in the file."""

    def __init__(self, value, offset, fmt):
        self.value = value
        self.offset = offset
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


class PEImage:
    def __init__(self, data):
        self.data = bytes(data)
        self._parse_headers()
        self.imports = self._parse_imports()
        self.resources = self._parse_resources()

    # ------------------------------------------------------------ basics
    def _u(self, fmt, off):
        size = struct.calcsize(fmt)
        if off < 0 or off + size > len(self.data):
            raise PEError("read of %d bytes at 0x%x runs past the end of the file" % (size, off))
        return struct.unpack_from("<" + fmt, self.data, off)

    def _field(self, fmt, off):
        return Field(self._u(fmt, off)[0], off, fmt)

    def rva_to_offset(self, rva, length=1):
        for name, va, vsize, raw, rsize in self.sections:
            if va <= rva and rva + length <= va + max(vsize, rsize):
                if rva - va + length > rsize:
                    raise PEError("RVA 0x%x lies in the uninitialised part of %s" % (rva, name))
                return raw + (rva - va)
        raise PEError("RVA 0x%x (length %d) is in no section" % (rva, length))

    def read_rva(self, rva, length):
        off = self.rva_to_offset(rva, max(length, 1))
        return self.data[off:off + length]

    def cstring_at(self, off):
        end = self.data.find(b"\0", off)
        if end < 0:
            raise PEError("unterminated string at 0x%x" % off)
        return self.data[off:end]

    # ------------------------------------------------------------ headers
    def _parse_headers(self):
        if self.data[:2] != b"MZ":
            raise PEError("no MZ signature")
        pe = self._u("I", 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise PEError("no PE signature")
        coff = pe + 4
        self.machine = self._field("H", coff)
        nsections = self._u("H", coff + 2)[0]
        opt_size = self._u("H", coff + 16)[0]
        self.characteristics = self._field("H", coff + 18)
        opt = coff + 20
        self.magic = self._field("H", opt)
        if self.magic.value != 0x10B:
            raise PEError("optional header magic 0x%x is not PE32" % self.magic.value)
        self.major_os = self._field("H", opt + 40)
        self.minor_os = self._field("H", opt + 42)
        self.major_image = self._field("H", opt + 44)
        self.minor_image = self._field("H", opt + 46)
        self.major_subsystem = self._field("H", opt + 48)
        self.minor_subsystem = self._field("H", opt + 50)
        self.subsystem = self._field("H", opt + 68)
        self.dll_characteristics = self._field("H", opt + 70)
        ndirs = self._u("I", opt + 92)[0]
        self.directories = []
        for i in range(min(ndirs, 16)):
            rva, size = self._u("II", opt + 96 + 8 * i)
            self.directories.append((rva, size, opt + 96 + 8 * i))
        while len(self.directories) < 16:
            self.directories.append((0, 0, None))
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            raw_name, vsize, va, rsize, raw = self._u("8sIIII", sec + 40 * i)
            self.sections.append((raw_name.rstrip(b"\0").decode("ascii", "replace"), va, vsize, raw, rsize))

    def directory(self, index):
        rva, size, _ = self.directories[index]
        return rva, size

    # ------------------------------------------------------------ imports
    def _parse_imports(self):
        rva, size = self.directory(DIR_IMPORT)
        result = []
        if not rva:
            return result
        off = self.rva_to_offset(rva, 20)
        while True:
            lookup, _, _, name_rva, iat = self._u("IIIII", off)
            if not (lookup or name_rva or iat):
                break
            name_off = self.rva_to_offset(name_rva)
            dll = self.cstring_at(name_off).decode("ascii")
            names, ordinals, name_offsets = [], [], {}
            thunk = self.rva_to_offset(lookup or iat, 4)
            while True:
                entry = self._u("I", thunk)[0]
                if entry == 0:
                    break
                if entry & 0x80000000:
                    ordinals.append(entry & 0xFFFF)
                else:
                    hint_off = self.rva_to_offset(entry, 3)
                    name = self.cstring_at(hint_off + 2).decode("ascii")
                    names.append(name)
                    name_offsets[name] = hint_off + 2
                thunk += 4
            result.append(Import(dll, names, ordinals, name_off, name_offsets))
            off += 20
        return result

    # ------------------------------------------------------------ resources
    def _parse_resources(self):
        rva, size = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        base = self.rva_to_offset(rva, 16)
        out = []

        def entries(dir_off, depth):
            if depth > 2:
                raise PEError("resource tree deeper than three levels")
            named, ided = self._u("HH", dir_off + 12)
            for i in range(named + ided):
                eoff = dir_off + 16 + 8 * i
                name, target = self._u("II", eoff)
                if name & 0x80000000:
                    # Named entries: Unicode length-prefixed string.
                    soff = base + (name & 0x7FFFFFFF)
                    length = self._u("H", soff)[0]
                    key = self.data[soff + 2:soff + 2 + 2 * length].decode("utf-16-le")
                else:
                    key = name & 0xFFFF
                yield key, target, eoff

        for type_id, t_target, _ in entries(base, 0):
            if not t_target & 0x80000000:
                raise PEError("resource type %r is a leaf" % (type_id,))
            for name_id, n_target, _ in entries(base + (t_target & 0x7FFFFFFF), 1):
                if not n_target & 0x80000000:
                    raise PEError("resource %r/%r is a leaf" % (type_id, name_id))
                for lang, l_target, l_off in entries(base + (n_target & 0x7FFFFFFF), 2):
                    if l_target & 0x80000000:
                        raise PEError("resource %r/%r/%r is not a leaf" % (type_id, name_id, lang))
                    data_rva, data_size, codepage, _ = self._u("IIII", base + l_target)
                    data_off = self.rva_to_offset(data_rva, data_size)
                    out.append(Resource(type_id, name_id, lang, self.data[data_off:data_off + data_size],
                                        data_off, l_off, codepage))
        return out

    def find_resources(self, type_id, name_id=None, lang=None):
        return [r for r in self.resources
                if r.type_id == type_id and (name_id is None or r.name_id == name_id)
                and (lang is None or r.lang == lang)]


# ---------------------------------------------------------------- resource formats

def parse_version_node(data, off=0):
    """One node of a VS_VERSIONINFO tree: (key, type, value, children, value_offset).

    value is bytes for binary nodes and str for text nodes (the declared length,
    terminator included, is kept so that callers can insist on exactly one NUL).
    """
    if off + 6 > len(data):
        raise PEError("version node at %d runs past the data" % off)
    length, value_len, node_type = struct.unpack_from("<HHH", data, off)
    end = off + length
    if length < 6 or end > len(data):
        raise PEError("version node at %d has bad length %d" % (off, length))
    pos = off + 6
    key_end = pos
    while True:
        if key_end + 2 > end:
            raise PEError("unterminated version key at %d" % off)
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_off = pos
    if node_type == 1:
        value_bytes = 2 * value_len
        value = data[pos:pos + value_bytes].decode("utf-16-le")
    elif node_type == 0:
        value_bytes = value_len
        value = data[pos:pos + value_bytes]
    else:
        raise PEError("version node %r has type %d" % (key, node_type))
    if pos + value_bytes > end:
        raise PEError("value of version node %r runs past the node" % key)
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < end:
        child = parse_version_node(data, pos)
        children.append(child)
        child_len = struct.unpack_from("<H", data, pos)[0]
        pos = (pos + child_len + 3) & ~3
    return key, node_type, value, children, value_off


FIXED_FILE_INFO_FIELDS = ("signature", "struc_version", "file_version_ms", "file_version_ls",
                          "product_version_ms", "product_version_ls", "flags_mask", "flags",
                          "os", "type", "subtype", "date_ms", "date_ls")


def parse_fixed_file_info(value):
    if len(value) != 52:
        raise PEError("VS_FIXEDFILEINFO is %d bytes, not 52" % len(value))
    return dict(zip(FIXED_FILE_INFO_FIELDS, struct.unpack("<13I", value)))


def parse_string_block(data):
    """The sixteen strings of one RT_STRING block."""
    strings = []
    pos = 0
    for _ in range(16):
        if pos + 2 > len(data):
            raise PEError("string block ends after %d strings" % len(strings))
        n = struct.unpack_from("<H", data, pos)[0]
        pos += 2
        if pos + 2 * n > len(data):
            raise PEError("string %d runs past its block" % len(strings))
        strings.append(data[pos:pos + 2 * n].decode("utf-16-le"))
        pos += 2 * n
    return strings


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
