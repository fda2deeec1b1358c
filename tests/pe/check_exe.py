"""The packaging checks of the built executable, read as a file.

Each check takes the parsed image and the expected version and raises
CheckFailed with the reason. Each mutation patches a copy of the image in one
place (a wrong subsystem version, a manifest that asks for no elevation, an
icon entry with the wrong depth, ...), and the check that guards that place
must then report it. test_exe.py runs them; the release suite runs the checks
on the signed file too.
"""

import os
import re
import struct
import sys
import xml.etree.ElementTree as ET

from facts import TEXTS

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    import peimage  # noqa: E402
    from peimage import PEError  # noqa: E402
except ImportError as e:
    raise ImportError("cannot read executables: %s (Debian: apt-get install python3-pefile)" % e) from e

LANG_EN = 0x0409
LANG_JA = 0x0411
IDI_MAIN = 107

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
# Looked up with GetProcAddress: importing either would keep the program from
# starting on a Windows 6.0 that lacks it.
RUNTIME_LOOKUPS = ["GetNativeSystemInfo", "SetDefaultDllDirectories"]

# id: (English, Japanese), as the string tables must hold them.
MESSAGES = {sid: (text, TEXTS["ja"][sid]) for sid, text in TEXTS["en"].items()}

# (width, bits per pixel) of the eight images of the program icon.
ICON_IMAGES = sorted([(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)])

NS_ASM1 = "urn:schemas-microsoft-com:asm.v1"
NS_TRUST = ("urn:schemas-microsoft-com:asm.v3", "urn:schemas-microsoft-com:asm.v2")
NS_ASM3 = "urn:schemas-microsoft-com:asm.v3"
NS_WS2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"


class CheckFailed(Exception):
    pass


def expect(cond, message):
    if not cond:
        raise CheckFailed(message)


def project_version(source_dir):
    text = open(os.path.join(source_dir, "CMakeLists.txt"), encoding="utf-8").read()
    m = re.search(r"project\s*\(\s*velquist\b[^)]*?\bVERSION\s+(\d+)\.(\d+)\.(\d+)\.(\d+)", text)
    if not m:
        raise SystemExit("no four-part VERSION in the project() of CMakeLists.txt")
    return tuple(int(x) for x in m.groups())


def only_resource(pe, type_id, name_id, lang, what):
    found = pe.find_resources(type_id)
    expect(found, "no %s resource at all" % what)
    tags = sorted((r.name_id, r.lang) for r in found)
    expect(tags == [(name_id, lang)],
           "%s resources are %s, expected only id %r in language 0x%04x" % (
               what, ", ".join("%r/0x%04x" % t for t in tags), name_id, lang))
    return found[0]


# ---------------------------------------------------------------- checks
# Each check takes the parsed image and the expected version and raises
# CheckFailed with the reason.

def check_machine(pe, _):
    expect(pe.machine.value == peimage.IMAGE_FILE_MACHINE_I386,
           "machine 0x%04x is not i386" % pe.machine.value)
    c = pe.characteristics.value
    expect(c & peimage.IMAGE_FILE_EXECUTABLE_IMAGE, "not marked executable")
    expect(c & peimage.IMAGE_FILE_32BIT_MACHINE, "not marked 32-bit")
    expect(not c & peimage.IMAGE_FILE_DLL, "marked as a DLL")


def check_subsystem(pe, _):
    expect(pe.subsystem.value == peimage.IMAGE_SUBSYSTEM_WINDOWS_GUI,
           "subsystem %d is not Windows GUI (2)" % pe.subsystem.value)


def check_os_version(pe, _):
    got = (pe.major_os.value, pe.minor_os.value)
    expect(got == (6, 0), "operating-system version %d.%d, expected 6.0" % got)


def check_subsystem_version(pe, _):
    got = (pe.major_subsystem.value, pe.minor_subsystem.value)
    expect(got == (6, 0), "subsystem version %d.%d, expected 6.0" % got)


def check_aslr(pe, _):
    dc = pe.dll_characteristics.value
    expect(dc & peimage.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "DYNAMIC_BASE not set (0x%04x)" % dc)
    # A dynamic base is only honoured when the image can be relocated.
    expect(not pe.characteristics.value & peimage.IMAGE_FILE_RELOCS_STRIPPED, "relocations stripped")
    rva, size = pe.directory(peimage.DIR_BASERELOC)
    expect(rva and size, "no base relocation directory")


def check_dep(pe, _):
    dc = pe.dll_characteristics.value
    expect(dc & peimage.IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "NX_COMPAT not set (0x%04x)" % dc)


def check_import_dlls(pe, _):
    dlls = [imp.dll.lower() for imp in pe.imports]
    expect(dlls, "no imports at all")
    extra = sorted(set(dlls) - ALLOWED_DLLS)
    expect(not extra, "imports from %s" % ", ".join(extra))
    for kind, index in (("delay-load", peimage.DIR_DELAY_IMPORT), ("bound", peimage.DIR_BOUND_IMPORT)):
        rva, size = pe.directory(index)
        expect(not (rva or size), "has a %s import directory" % kind)


def check_import_names(pe, _):
    for imp in pe.imports:
        # A function imported by ordinal has no name to check.
        expect(not imp.ordinals, "%s imported by ordinal: %s" % (imp.dll, imp.ordinals))
        for name in RUNTIME_LOOKUPS:
            expect(name not in imp.names, "%s imported from %s" % (name, imp.dll))


def check_runtime_lookups(pe, _):
    # The names are still in the image, as the strings handed to GetProcAddress.
    for name in RUNTIME_LOOKUPS:
        expect(b"\0" + name.encode() + b"\0" in pe.data, "no %s string for a run-time lookup" % name)


def manifest_root(pe):
    res = only_resource(pe, peimage.RT_MANIFEST, 1, LANG_EN, "manifest")
    try:
        text = res.data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise CheckFailed("manifest is not UTF-8: %s" % e)
    try:
        return ET.fromstring(res.data)
    except ET.ParseError as e:
        raise CheckFailed("manifest is not well-formed XML: %s (%r...)" % (e, text[:60]))


def check_manifest_resource(pe, _):
    root = manifest_root(pe)
    expect(root.tag == "{%s}assembly" % NS_ASM1, "root element is %s" % root.tag)
    expect(root.get("manifestVersion") == "1.0", "manifestVersion %r" % root.get("manifestVersion"))


def check_manifest_common_controls(pe, _):
    root = manifest_root(pe)
    idents = root.findall("{%s}dependency/{%s}dependentAssembly/{%s}assemblyIdentity" % ((NS_ASM1,) * 3))
    cc = [i for i in idents if i.get("name") == "Microsoft.Windows.Common-Controls"]
    expect(len(cc) == 1, "%d Common-Controls dependencies" % len(cc))
    want = {"name": "Microsoft.Windows.Common-Controls", "type": "win32", "version": "6.0.0.0",
            "processorArchitecture": "x86", "publicKeyToken": "6595b64144ccf1df", "language": "*"}
    expect(dict(cc[0].attrib) == want, "Common-Controls identity %r, expected %r" % (dict(cc[0].attrib), want))


def check_manifest_elevation(pe, _):
    root = manifest_root(pe)
    levels = []
    for ns in NS_TRUST:
        levels += root.findall("{%s}trustInfo/{%s}security/{%s}requestedPrivileges/{%s}requestedExecutionLevel"
                               % (ns, ns, ns, ns))
    expect(len(levels) == 1, "%d requestedExecutionLevel elements" % len(levels))
    attrs = dict(levels[0].attrib)
    expect(attrs == {"level": "requireAdministrator", "uiAccess": "false"},
           "requestedExecutionLevel %r" % attrs)


def check_manifest_dpi(pe, _):
    root = manifest_root(pe)
    found = root.findall("{%s}application/{%s}windowsSettings/{%s}dpiAware" % (NS_ASM3, NS_ASM3, NS_WS2005))
    expect(len(found) == 1, "%d dpiAware elements" % len(found))
    expect((found[0].text or "").strip() == "true", "dpiAware %r" % found[0].text)


def version_root(pe):
    only_resource(pe, peimage.RT_VERSION, 1, LANG_EN, "version")
    roots = getattr(pe.pe, "VS_VERSIONINFO", None)
    expect(roots, "version block unreadable")
    return roots[0]


def check_version_fixed(pe, version):
    root = version_root(pe)
    expect(root.Key == b"VS_VERSION_INFO" and root.Type == 0 and root.ValueLength == 52,
           "root node %r type %d, value of %d bytes" % (root.Key, root.Type, root.ValueLength))
    ffi, _ = pe.fixed_file_info()
    ms, ls = (version[0] << 16) | version[1], (version[2] << 16) | version[3]
    want = dict(Signature=0xFEEF04BD, FileVersionMS=ms, FileVersionLS=ls,
                ProductVersionMS=ms, ProductVersionLS=ls, FileFlagsMask=0x3F, FileFlags=0,
                FileOS=0x40004, FileType=1)
    got = {k: ffi[k] for k in want}
    bad = ["%s 0x%x (expected 0x%x)" % (k, got[k], want[k]) for k in want if got[k] != want[k]]
    expect(not bad, "; ".join(bad))


def version_strings(pe):
    version_root(pe)
    sfi = pe.version_blocks("StringFileInfo")
    expect(len(sfi) == 1, "%d StringFileInfo blocks" % len(sfi))
    tables = sfi[0].StringTable
    expect([t.LangID for t in tables] == [b"040904b0"], "string tables %r" % [t.LangID for t in tables])
    strings = {}
    for key, s in pe.version_strings(tables[0]).items():
        expect(s.node_type == 1, "string %r is stored as binary" % key)
        # The declared length counts exactly one terminating NUL.
        expect(s.stored == s.text + "\0", "string %r holds %r" % (key, s.stored))
        strings[key] = s.text
    return strings


def check_version_strings(pe, version):
    text = "%d.%d.%d.%d" % version
    strings = version_strings(pe)
    want = {"FileDescription": "Velquist", "FileVersion": text, "InternalName": "velquist",
            "OriginalFilename": "velquist.exe", "ProductName": "Velquist"}
    bad = ["%s=%r (expected %r)" % (k, strings.get(k), v) for k, v in want.items() if strings.get(k) != v]
    expect(not bad, "; ".join(bad))
    # The texts left to us must at least agree with the rest of the block.
    if "ProductVersion" in strings:
        expect(strings["ProductVersion"] == text, "ProductVersion %r" % strings["ProductVersion"])
    for key in ("CompanyName", "LegalCopyright"):
        expect(strings.get(key, "x").strip(), "%s is empty" % key)


def check_version_translation(pe, _):
    version_root(pe)
    vfi = pe.version_blocks("VarFileInfo")
    expect(len(vfi) == 1, "%d VarFileInfo blocks" % len(vfi))
    tr = [v for v in vfi[0].Var if b"Translation" in v.entry]
    expect(len(tr) == 1 and tr[0].Type == 0, "Translation entries %r" % [(v.entry, v.Type) for v in tr])
    # pefile gives the pairs as text: "0x0409 0x04b0" for one language and code page.
    pairs = tr[0].entry[b"Translation"].split()
    expect(tr[0].ValueLength == 4 and pairs == ["0x0409", "0x04b0"], "Translation %r" % pairs)


def icon_group(pe):
    res = only_resource(pe, peimage.RT_GROUP_ICON, IDI_MAIN, LANG_JA, "icon group")
    try:
        reserved, kind, entries = peimage.parse_group_icon(res.data)
    except PEError as e:
        raise CheckFailed(str(e))
    expect(reserved == 0 and kind == 1, "group header reserved=%d type=%d" % (reserved, kind))
    return entries


def check_icon_group(pe, _):
    entries = icon_group(pe)
    got = sorted((e["width"], e["bits"]) for e in entries)
    expect(got == ICON_IMAGES, "images (size, bpp) %r, expected %r" % (got, ICON_IMAGES))
    for e in entries:
        tag = "%dx%d@%d" % (e["width"], e["height"], e["bits"])
        expect(e["width"] == e["height"], "%s is not square" % tag)
        expect(e["planes"] == 1, "%s planes %d" % (tag, e["planes"]))
        want_colours = 16 if e["bits"] == 4 else 0
        expect(e["colours"] == want_colours, "%s colour count %d" % (tag, e["colours"]))


def check_icon_images(pe, _):
    entries = icon_group(pe)
    ids = [e["id"] for e in entries]
    expect(len(set(ids)) == len(ids), "icon group names one image twice: %r" % ids)
    images = pe.find_resources(peimage.RT_ICON)
    expect(sorted(r.name_id for r in images) == sorted(ids),
           "icon images %r, group names %r" % (sorted(r.name_id for r in images), sorted(ids)))
    for e in entries:
        tag = "%dx%d@%d (id %d)" % (e["width"], e["height"], e["bits"], e["id"])
        res = [r for r in images if r.name_id == e["id"]]
        expect(len(res) == 1 and res[0].lang == LANG_JA,
               "%s: images %r" % (tag, [(r.name_id, hex(r.lang)) for r in res]))
        expect(len(res[0].data) == e["size"], "%s: %d bytes, group says %d" % (tag, len(res[0].data), e["size"]))
        try:
            header, rows = peimage.parse_icon_image(res[0].data)
        except PEError as ex:
            raise CheckFailed("%s: %s" % (tag, ex))
        got = (header["width"], header["height"], header["bits"], header["planes"])
        expect(got == (e["width"], e["height"], e["bits"], 1), "%s: image header says %dx%d@%d planes %d" % ((tag,) + got))
        # A picture, not a blank: some pixels drawn, some left clear, several colours.
        opaque = [p[:3] for row in rows for p in row if p[3]]
        expect(len(opaque) >= e["width"] * e["height"] // 3, "%s: only %d opaque pixels" % (tag, len(opaque)))
        expect(len(opaque) < e["width"] * e["height"], "%s: no transparent pixel" % tag)
        expect(len(set(opaque)) >= 4, "%s: only %d colours" % (tag, len(set(opaque))))


def check_strings(lang, column):
    def check(pe, _):
        block_id = 103 // 16 + 1
        blocks = pe.find_resources(peimage.RT_STRING)
        tags = sorted((r.name_id, r.lang) for r in blocks)
        expect(tags == [(block_id, LANG_EN), (block_id, LANG_JA)],
               "string blocks %r, expected one block %d per language" % (
                   [(n, hex(l)) for n, l in tags], block_id))
        res = [r for r in blocks if r.lang == lang][0]
        strings = pe.string_block(res)
        base = (block_id - 1) * 16
        for sid in range(base, base + 16):
            want = MESSAGES[sid][column] if sid in MESSAGES else ""
            got = strings.get(sid, "")
            expect(got == want, "string %d is %r, expected %r" % (sid, got, want))
    return check


def check_resource_inventory(pe, _):
    # Nothing beyond the icon, version, manifest and strings, and nothing language-neutral.
    allowed = {peimage.RT_ICON, peimage.RT_STRING, peimage.RT_GROUP_ICON, peimage.RT_VERSION, peimage.RT_MANIFEST}
    extra = sorted({(r.type_id, r.name_id, r.lang) for r in pe.resources if r.type_id not in allowed},
                   key=repr)
    expect(not extra, "unexpected resources %r" % extra)


CHECKS = [
    ("header: machine i386, 32-bit executable", check_machine),
    ("header: GUI subsystem", check_subsystem),
    ("header: OS version 6.0", check_os_version),
    ("header: subsystem version 6.0", check_subsystem_version),
    ("header: ASLR (dynamic base, relocatable)", check_aslr),
    ("header: DEP (NX compatible)", check_dep),
    ("imports: system DLLs only", check_import_dlls),
    ("imports: no run-time-only functions", check_import_names),
    ("imports: run-time lookups present", check_runtime_lookups),
    ("manifest: id 1, language 0x0409, XML", check_manifest_resource),
    ("manifest: common controls 6.0.0.0 x86", check_manifest_common_controls),
    ("manifest: requireAdministrator", check_manifest_elevation),
    ("manifest: dpiAware", check_manifest_dpi),
    ("version: fixed file info", check_version_fixed),
    ("version: 040904b0 strings", check_version_strings),
    ("version: translation", check_version_translation),
    ("icon: group 107 in 0x0411 with eight entries", check_icon_group),
    ("icon: entries match their images", check_icon_images),
    ("strings: English texts", check_strings(LANG_EN, 0)),
    ("strings: Japanese texts", check_strings(LANG_JA, 1)),
    ("resources: nothing else", check_resource_inventory),
]


def run_checks(data, version):
    """[(name, None or reason)] for every check on the image bytes."""
    try:
        pe = peimage.PEImage(data)
    except PEError as e:
        return [(name, "unreadable image: %s" % e) for name, _ in CHECKS]
    results = []
    for name, fn in CHECKS:
        try:
            fn(pe, version)
            results.append((name, None))
        except (CheckFailed, PEError) as e:
            results.append((name, str(e) or "failed"))
    return results


# ---------------------------------------------------------------- mutations
# Each mutation patches a copy of the image in one place; the named check must
# then fail. They show that every check looks at what it claims to.

def patch(data, off, new):
    data[off:off + len(new)] = new


def set_field(field, value):
    def mutate(pe, data):
        patch(data, field(pe).offset, struct.pack("<" + field(pe).fmt, value))
    return mutate


def replace_in_resource(type_id, old, new):
    def mutate(pe, data):
        assert len(old) == len(new)
        for r in pe.find_resources(type_id):
            i = r.data.find(old)
            if i >= 0:
                patch(data, r.data_offset + i, new)
                return
        raise AssertionError("%r not found in resources of type %d" % (old, type_id))
    return mutate


def set_resource_lang(type_id, lang, of_lang=None):
    def mutate(pe, data):
        r = pe.find_resources(type_id, lang=of_lang)[0]
        patch(data, r.lang_entry_offset, struct.pack("<I", lang))
    return mutate


def rename_import(new_name):
    def mutate(pe, data):
        # Overwrite the longest imported name that can hold the new one.
        candidates = [(len(n), off) for imp in pe.imports for n, off in imp.name_offsets.items()
                      if len(n) >= len(new_name)]
        assert candidates, "no import name long enough for %s" % new_name
        patch(data, max(candidates)[1], new_name.encode() + b"\0")
    return mutate


def rename_dll(pe, data):
    imp = [i for i in pe.imports if i.dll.lower() == "user32.dll"][0]
    patch(data, imp.dll_name_offset, b"helper.dll"[:len(imp.dll)] + b"\0")


def set_directory(index, rva, size):
    def mutate(pe, data):
        patch(data, pe.directories[index][2], struct.pack("<II", rva, size))
    return mutate


def hide_lookup_string(name):
    def mutate(pe, data):
        i = data.find(b"\0" + name.encode() + b"\0")
        assert i >= 0
        patch(data, i + 1, b"X")
    return mutate


def fixed_info_field(name, value):
    def mutate(pe, data):
        _, info = pe.fixed_file_info()
        patch(data, info.get_field_absolute_offset(name), struct.pack("<I", value))
    return mutate


def version_string_header(key, rel, change):
    """Changes a field of a version String node's header (2: ValueLength, 4: Type)."""
    def mutate(pe, data):
        table = pe.version_blocks("StringFileInfo")[0].StringTable[0]
        header = table.entries_offsets[key.encode()][0] - 6
        old = struct.unpack_from("<H", data, header + rel)[0]
        patch(data, header + rel, struct.pack("<H", change(old)))
    return mutate


def icon_entry_field(fmt, rel, value, which=-1):
    def mutate(pe, data):
        r = pe.find_resources(peimage.RT_GROUP_ICON)[0]
        e = peimage.parse_group_icon(r.data)[2][which]
        patch(data, r.data_offset + e["offset"] + rel, struct.pack("<" + fmt, value))
    return mutate


def icon_image_field(fmt, rel, change):
    def mutate(pe, data):
        r = sorted(pe.find_resources(peimage.RT_ICON), key=lambda r: r.name_id)[0]
        old = struct.unpack_from("<" + fmt, r.data, rel)[0]
        patch(data, r.data_offset + rel, struct.pack("<" + fmt, change(old)))
    return mutate


def blank_icon_image(pe, data):
    r = sorted(pe.find_resources(peimage.RT_ICON), key=lambda r: -len(r.data))[0]
    header, _ = peimage.parse_icon_image(r.data)
    ncolours = (1 << header["bits"]) if header["bits"] <= 8 else 0
    start = 40 + 4 * ncolours
    # Every pixel the first palette colour (or fully transparent), mask all clear.
    patch(data, r.data_offset + start, bytes(len(r.data) - start))


def string_text(lang, old, new):
    def mutate(pe, data):
        old_b, new_b = old.encode("utf-16-le"), new.encode("utf-16-le")
        assert len(old_b) == len(new_b)
        r = [x for x in pe.find_resources(peimage.RT_STRING) if x.lang == lang][0]
        i = r.data.find(old_b)
        assert i >= 0
        patch(data, r.data_offset + i, new_b)
    return mutate


MUTATIONS = [
    ("machine AMD64", set_field(lambda pe: pe.machine, 0x8664), "header: machine"),
    ("console subsystem", set_field(lambda pe: pe.subsystem, 3), "header: GUI subsystem"),
    ("OS version 5.x", set_field(lambda pe: pe.major_os, 5), "header: OS version"),
    ("subsystem version 4.x", set_field(lambda pe: pe.major_subsystem, 4), "header: subsystem version"),
    ("subsystem version 6.1", set_field(lambda pe: pe.minor_subsystem, 1), "header: subsystem version"),
    ("no DYNAMIC_BASE", set_field(lambda pe: pe.dll_characteristics, 0x0100), "header: ASLR"),
    ("relocations removed", set_directory(peimage.DIR_BASERELOC, 0, 0), "header: ASLR"),
    ("no NX_COMPAT", set_field(lambda pe: pe.dll_characteristics, 0x0040), "header: DEP"),
    ("a DLL from beside the program", rename_dll, "imports: system DLLs only"),
    ("a delay-load directory", set_directory(peimage.DIR_DELAY_IMPORT, 0x1000, 32), "imports: system DLLs only"),
    ("GetNativeSystemInfo imported", rename_import("GetNativeSystemInfo"), "imports: no run-time-only"),
    ("SetDefaultDllDirectories imported", rename_import("SetDefaultDllDirectories"), "imports: no run-time-only"),
    ("SetDefaultDllDirectories never looked up", hide_lookup_string("SetDefaultDllDirectories"),
     "imports: run-time lookups"),
    ("manifest in language 0x0407", set_resource_lang(peimage.RT_MANIFEST, 0x0407), "manifest: id 1"),
    ("manifest broken XML", replace_in_resource(peimage.RT_MANIFEST, b"</assembly>", b"</assembli>"),
     "manifest: id 1"),
    ("manifest without elevation", replace_in_resource(
        peimage.RT_MANIFEST, b'"requireAdministrator"', b'"asInvoker"           '), "manifest: requireAdministrator"),
    ("manifest with uiAccess", replace_in_resource(peimage.RT_MANIFEST, b'uiAccess="false"', b'uiAccess="true" '),
     "manifest: requireAdministrator"),
    ("manifest wrong key token", replace_in_resource(peimage.RT_MANIFEST, b"6595b64144ccf1df", b"6595b64144ccf1de"),
     "manifest: common controls"),
    ("manifest controls 5.0", replace_in_resource(peimage.RT_MANIFEST, b'"6.0.0.0"', b'"5.0.0.0"'),
     "manifest: common controls"),
    ("manifest not DPI aware", replace_in_resource(peimage.RT_MANIFEST, b">true</", b">fals</"), "manifest: dpiAware"),
    ("version in language 0x0000", set_resource_lang(peimage.RT_VERSION, 0), "version: fixed"),
    ("file version build 1001", fixed_info_field("FileVersionLS", 0x03E90000), "version: fixed"),
    ("product version 2.0", fixed_info_field("ProductVersionMS", 0x00020000), "version: fixed"),
    ("flags mask 0x17", fixed_info_field("FileFlagsMask", 0x17), "version: fixed"),
    ("debug flag", fixed_info_field("FileFlags", 1), "version: fixed"),
    ("file OS 0x4", fixed_info_field("FileOS", 4), "version: fixed"),
    ("file type DLL", fixed_info_field("FileType", 2), "version: fixed"),
    ("OriginalFilename changed", replace_in_resource(
        peimage.RT_VERSION, "velquist.exe".encode("utf-16-le"), "velquist.exf".encode("utf-16-le")),
     "version: 040904b0"),
    ("version string stored as binary", version_string_header("ProductName", 4, lambda t: 0),
     "version: 040904b0"),
    ("version string without its NUL", version_string_header("ProductName", 2, lambda n: n - 1),
     "version: 040904b0"),
    ("string table 040904e4", replace_in_resource(
        peimage.RT_VERSION, "040904b0".encode("utf-16-le"), "040904e4".encode("utf-16-le")), "version: 040904b0"),
    ("translation code page 1252", replace_in_resource(
        peimage.RT_VERSION, struct.pack("<HH", 0x0409, 1200), struct.pack("<HH", 0x0409, 1252)),
     "version: translation"),
    ("icon group in language 0x0409", set_resource_lang(peimage.RT_GROUP_ICON, 0x0409), "icon: group"),
    ("icon entry says 24 bpp", icon_entry_field("H", 6, 24), "icon: group"),
    ("icon entry 4 bpp without colour count", icon_entry_field("B", 2, 0, which=0), "icon: group"),
    ("icon entry size 40", icon_entry_field("B", 0, 40), "icon: group"),
    ("icon entry points to a missing image", icon_entry_field("H", 12, 99), "icon: entries"),
    ("icon entry byte count off by 4", icon_entry_field("I", 8, 4), "icon: entries"),
    ("icon image 1 px narrower", icon_image_field("i", 4, lambda w: w - 1), "icon: entries"),
    ("icon image depth changed", icon_image_field("H", 14, lambda bits: 24 if bits != 24 else 32), "icon: entries"),
    ("icon image blank", blank_icon_image, "icon: entries"),
    ("English text changed", string_text(LANG_EN, "Are you sure?", "Are you sure!"), "strings: English"),
    ("Japanese text changed", string_text(LANG_JA, "よろしいですか？", "よろしいですか?"), "strings: Japanese"),
    ("Japanese block in 0x0404", set_resource_lang(peimage.RT_STRING, 0x0404, of_lang=LANG_JA), "strings: Japanese"),
]


# Mutations also handed to the Windows-side probe: each must change what Windows reads.
PROBE_MUTATIONS = [
    ("manifest wrong key token", "wine: manifest"),
    ("manifest without elevation", "wine: manifest"),
    ("icon group in language 0x0409", "wine: icon group"),
    ("Japanese text changed", "wine: Japanese strings"),
    ("translation code page 1252", "wine: version block"),
]
