"""Second opinion under Wine: resprobe.exe reads the executable through the
Windows loader, version, icon and activation-context APIs, and the answers are
compared with what the program must carry.
"""

import os
import shutil
import subprocess
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PREFIXES = os.path.join(ROOT, "build", "pe-wineprefix")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    """A prefix of this run's own (a second run in this checkout must not pull
    it away), with one persistent wineserver for the whole run; removed when
    the run ends."""

    def __init__(self, probe):
        self.probe = probe
        os.makedirs(PREFIXES, exist_ok=True)
        self.prefix = tempfile.mkdtemp(prefix="run.", dir=PREFIXES)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("WINEARCH", None)

    def __enter__(self):
        # An interrupt while the prefix boots must not leave its server and
        # programs behind: `with` calls __exit__ only once __enter__ returned.
        try:
            os.makedirs(self.prefix, exist_ok=True)
            # Should this run die without __exit__ (kill -9), the server and Wine's
            # own programs still end five minutes after its last program.
            subprocess.run(["wineserver", "-p300"], env=self.env, check=True)
            # Bounds a hang, not a speed: a first boot takes minutes on a slow host.
            subprocess.run(["wine", "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL, timeout=120)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def read(self, exe):
        """{key: value} as the probe printed them; raises RuntimeError when it did not finish."""
        # Files, not pipes: the Wine services started along the way inherit the
        # handles and would hold a pipe open long after the probe has exited.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            run = subprocess.run(["wine", self.probe, windows_path(exe)], env=self.env, stdout=out, stderr=err,
                                 stdin=subprocess.DEVNULL, timeout=120)
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        answers = {}
        for line in stdout.decode("utf-8", "replace").splitlines():
            key, _, value = line.partition("\t")
            answers[key] = value
        if answers.get("end") != "yes" and answers.get("load") == "yes":
            raise RuntimeError("probe stopped early (exit %d): %r" % (run.returncode, stderr[-300:]))
        return answers


def expectations(version, messages, icon_images):
    """[(check name, {key: expected value or predicate})]."""
    text = "%d.%d.%d.%d" % version
    icons = {"icon.group.found": "yes", "icon.count": str(len(icon_images))}
    for width, bits in icon_images:
        icons["icon.%dx%d.found" % (width, bits)] = "yes"
        icons["icon.%dx%d.created" % (width, bits)] = "%dx%d" % (width, width)
    return [
        ("wine: English strings by FindResourceEx",
         dict({"strings.en.found": "yes"}, **{"strings.en.%d" % i: t[0] for i, t in messages.items()})),
        ("wine: Japanese strings by FindResourceEx",
         dict({"strings.ja.found": "yes"}, **{"strings.ja.%d" % i: t[1] for i, t in messages.items()})),
        ("wine: icon group 107 (0x0411) and its images become icons", icons),
        ("wine: the shell finds the icon without asking for Japanese",
         {"icon.neutral": "yes", "shell.icons": "2", "shell.large": "yes", "shell.small": "yes"}),
        ("wine: the 32-bit image is picked at 16, 32 and 48",
         {"icon.pick.16": "16x32", "icon.pick.32": "32x32", "icon.pick.48": "48x32"}),
        ("wine: manifest makes an activation context", {
            "manifest.found": "yes", "manifest.actctx": "yes",
            "manifest.runlevel": "3",  # ACTCTX_RUN_LEVEL_REQUIRE_ADMIN
            "manifest.uiaccess": "0", "manifest.dpiaware": "true",
            "manifest.comctl32": lambda v: "\\x86_microsoft.windows.common-controls_6595b64144ccf1df_6.0."
                                           in v.lower()}),
        ("wine: version block by GetFileVersionInfo/VerQueryValue", {
            "version.found": "yes", "version.signature": "0xfeef04bd", "version.file": text,
            "version.product": text, "version.flagsmask": "0x3f", "version.flags": "0x0",
            "version.os": "0x40004", "version.type": "0x1", "version.translation": "0x409,1200",
            "version.string.FileDescription": "Velquist", "version.string.FileVersion": text,
            "version.string.InternalName": "velquist", "version.string.OriginalFilename": "velquist.exe",
            "version.string.ProductName": "Velquist"}),
    ]


def compare(answers, expected):
    """[(name, None or reason)]."""
    return [(name, mismatches(answers, want) or None) for name, want in expected]


def mismatches(answers, want):
    """What of `want` ({key: value or predicate}) the answers miss, as one text."""
    bad = []
    for key, value in want.items():
        got = answers.get(key)
        ok = got is not None and (value(got) if callable(value) else got == value)
        if not ok:
            bad.append("%s=%r (expected %s)" % (key, got, "a match" if callable(value) else repr(value)))
    return "; ".join(bad)
