"""Windows' own consumers of the three values, run under Wine before and after
a repair: the service manager (sc create, sc start), Wine's uninstaller
(uninstaller --remove) and the shell's reading of DisplayIcon (iconprobe.exe).

A recorder stands at the real program of each value and at every place that
CreateProcessW tries before it; each copy notes its starts in `<copy>.rec`,
which the suite reads from the prefix's folder between two consumer runs, so
that every start is put down to the run that caused it.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time

import harness
import real_values
from harness import REG_EXPAND_SZ, SERVICE, UNINSTALL, Value, hex16, sz

BUILD = os.path.join(harness.ROOT, 'build', 'windows')
RECORDER = os.path.join(BUILD, 'tests', 'consumers', 'recorder.exe')
ICONPROBE = os.path.join(BUILD, 'tests', 'consumers', 'iconprobe.exe')
FIRSTEXE = os.path.join(BUILD, 'tests', 'check', 'velquist-firstexe.exe')

BLANKS = ' \t'
SERVICES_KEY = r'SYSTEM\CurrentControlSet\Services'
ENTRY_NAME = 'Example Driver'
# Where the probe writes, inside the prefix.
PROBE_OUT = r'C:\vqconsumers\icons.txt'


def winpath(host):
    return 'Z:' + host.replace('/', '\\')


# -- what a value means -------------------------------------------------------

def program_of(value):
    """(program, rest): the program that a command value names, as its author
    meant it, and the text after it. Quoted: the quoted part. Unquoted: up to
    the first ".exe" that ends a word, which is where every value of the table
    ends its program; deliberately not the tool's own rule."""
    if value.startswith('"'):
        end = value.index('"', 1)
        return value[1:end], value[end + 1:]
    low = value.lower()
    at = 0
    while True:
        i = low.find('.exe', at)
        if i < 0:
            raise ValueError('no program in %r' % value)
        end = i + 4
        if end == len(value) or value[end] in BLANKS:
            return value[:end], value[end:]
        at = i + 1


def icon_of(value):
    """(file, rest) of a DisplayIcon: the quoted part, or the text before the
    first comma."""
    if value.startswith('"'):
        end = value.index('"', 1)
        return value[1:end], value[end + 1:]
    head, comma, index = value.partition(',')
    return head, comma + index


def repaired(path, rest, quoted):
    """What a sound repair leaves: the path in quotes, the rest as it was;
    nothing changes for a quoted value or a path without a blank."""
    if quoted or not any(c in BLANKS for c in path):
        return None
    return '"%s"%s' % (path, rest)


def candidates(program):
    """Where CreateProcessW looks before `program` when it is not quoted:
    each text that ends just before a blank, with ".exe" appended when its
    last part has no extension."""
    out = []
    for i, c in enumerate(program):
        if c in BLANKS and i and program[i - 1] not in BLANKS:
            head = program[:i]
            out.append(head if '.' in head.rsplit('\\', 1)[-1] else head + '.exe')
    return out


def split_args(text):
    """The arguments that CommandLineToArgvW makes of `text`, the command
    line after the program: blanks separate, quotes group, 2n backslashes
    before a quote are n, 2n+1 are n and a literal quote."""
    args, i, n = [], 0, len(text)
    while True:
        while i < n and text[i] in BLANKS:
            i += 1
        if i >= n:
            return args
        arg, quoted = '', False
        while i < n and (quoted or text[i] not in BLANKS):
            if text[i] == '\\':
                j = i
                while j < n and text[j] == '\\':
                    j += 1
                if j < n and text[j] == '"':
                    arg += '\\' * ((j - i) // 2)
                    if (j - i) % 2:
                        arg += '"'
                        j += 1
                    i = j
                else:
                    arg += text[i:j]
                    i = j
            elif text[i] == '"':
                if quoted and i + 1 < n and text[i + 1] == '"':
                    arg += '"'
                    i += 2
                else:
                    quoted = not quoted
                    i += 1
            else:
                arg += text[i]
                i += 1
        args.append(arg)


def slug(text):
    out = ''.join(c if c.isalnum() else '-' for c in text.lower())
    return '-'.join(p for p in out.split('-') if p)[:40]


class Case:
    """One value of the table, as the suite uses it."""

    def __init__(self, kind, entry, index):
        self.kind = kind
        self.value = entry['value']
        self.product = entry['product']
        self.source = entry['source']
        self.windows_program = entry.get('windows_program', False)
        quoted = self.value.startswith('"')
        if kind == 'DisplayIcon':
            self.program, self.rest = icon_of(self.value)
            self.args = None
        else:
            self.program, self.rest = program_of(self.value)
            self.args = split_args(self.rest)
        self.expected = repaired(self.program, self.rest, quoted)
        # Planted whether or not the value is quoted: for a quoted value they
        # show that the quotes keep them out.
        self.candidates = [] if kind == 'DisplayIcon' else candidates(self.program)
        self.id = '%s-%02d-%s' % ({'ImagePath': 'svc', 'UninstallString': 'uninst',
                                   'DisplayIcon': 'icon'}[kind], index, slug(self.product))
        self.service = entry.get('service') or 'VqConsumer%02d' % index

    @property
    def needs_fix(self):
        return self.expected is not None

    def __repr__(self):
        return '%s %r (%s)' % (self.kind, self.value, self.source)


def cases(kind, entries):
    return [Case(kind, e, i + 1) for i, e in enumerate(entries)]


SERVICE_CASES = cases('ImagePath', real_values.IMAGE_PATHS)
UNINSTALL_CASES = cases('UninstallString', real_values.UNINSTALL_STRINGS)
ICON_CASES = cases('DisplayIcon', real_values.DISPLAY_ICONS)


# -- where the recorders stand ------------------------------------------------

class Plantation:
    """The recorder copies of a prefix: one at each value's real program and
    at each of its candidates. Keys are host paths; each copy has a Windows
    path to show."""

    def __init__(self, drive_c, all_cases):
        self.drive_c = drive_c
        self.shown = {}      # host path -> Windows path
        real, planted = set(), set()
        for case in all_cases:
            if not case.windows_program:
                real.add(self.add(case.program))
            for c in case.candidates:
                planted.add(self.add(c))
        if real & planted:
            raise ValueError('a real program stands where another value is hijacked: %s'
                             % sorted(self.shown[h] for h in real & planted))
        # A copy cannot stand where another value needs a folder.
        folders = {os.path.dirname(h).lower() for h in self.shown}
        for host in self.shown:
            if any(f == host.lower() or f.startswith(host.lower() + '/') for f in folders):
                raise ValueError('%s is a file and a folder' % self.shown[host])

    def host(self, path):
        """The prefix's file for a Windows path on C:, letter case folded the
        way Wine finds files."""
        if path[:3].lower() != 'c:\\':
            raise ValueError('not on C: %r' % path)
        host = self.drive_c
        for part in [p for p in path[3:].split('\\') if p]:
            match = None
            if os.path.isdir(host):
                match = next((e for e in os.listdir(host) if e.lower() == part.lower()), None)
            host = os.path.join(host, match or part)
        return host

    def add(self, path):
        host = self.host(path)
        for known in self.shown:
            if known.lower() == host.lower():
                return known
        self.shown[host] = path
        return host

    def plant(self):
        for host in self.shown:
            os.makedirs(os.path.dirname(host), exist_ok=True)
            shutil.copyfile(RECORDER, host)
        self.offsets = {host: 0 for host in self.shown}

    def runs(self):
        """{Windows path: [record]} of the starts since the last call."""
        seen = {}
        for host in self.shown:
            try:
                with open(host + '.rec', 'rb') as f:
                    f.seek(self.offsets[host])
                    data = f.read()
            except FileNotFoundError:
                continue
            # Only whole lines: a start still writing shows at the next call.
            whole = data[:data.rfind(b'\n') + 1]
            self.offsets[host] += len(whole)
            records = [json.loads(line) for line in whole.splitlines() if line.strip()]
            if records:
                seen[self.shown[host]] = records
        return seen

    def same(self, a, b):
        return self.host(a).lower() == self.host(b).lower()


# -- the consumers --------------------------------------------------------------

class Rig:
    """One prefix with every value's recorders planted and every ImagePath
    value's service created; observe() runs the consumers before and after
    the repairs and returns what each of them did."""

    def __init__(self, prefix, image_paths, uninstall_strings, display_icons):
        self.p = prefix
        self.win64 = prefix.arch == 'win64'
        self.views = ['32', '64'] if self.win64 else ['32']
        self.exe = prefix.velquist
        self.services = image_paths
        self.uninstall = uninstall_strings
        self.icons = display_icons
        self.plants = Plantation(os.path.join(prefix.path, 'drive_c'),
                                 image_paths + uninstall_strings + display_icons)
        # A 32-bit program's system32 is the 32-bit one; sysnative reaches the
        # system's own, which holds the uninstaller whose box the driver reads.
        system = r'C:\windows\sysnative' if self.win64 else r'C:\windows\system32'
        self.uninstaller = system + r'\uninstaller.exe'
        self.timings = {}
        self.cancelled = False

    # -- building blocks --

    def check(self):
        if self.cancelled:
            raise RuntimeError('the run is ending')

    def batch(self, commands):
        """Driver commands in one process; their replies, box events left out."""
        self.check()
        return [r for r in self.p.batch(commands) if 'event' not in r]

    def sc(self, *args):
        """`wine sc ARGS` as (exit code, output). Its output goes to a file:
        the service processes it starts inherit a pipe and would keep it
        open."""
        self.check()
        with tempfile.TemporaryFile() as out:
            try:
                rc = subprocess.run(['wine', 'sc'] + list(args), env=self.p.env(debug='-all,err+sc'),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    timeout=120).returncode
            except subprocess.TimeoutExpired:
                self.p.kill_all()
                raise
            out.seek(0)
            text = out.read().decode('utf-8', 'replace').replace('\r', '')
        return rc, '\n'.join(l for l in text.splitlines() if 'err:sc:' in l or l.startswith('SERVICE_NAME'))

    def restart(self):
        """Wine's service manager reads each service's ImagePath once, when
        it starts, and starts the service from that copy ever after: a value
        written since counts only once the service manager starts again, as
        after a reboot. Ending the prefix's server ends it with every other
        Wine process of the prefix; the next Wine program starts it afresh."""
        self.check()
        self.p.stop()
        self.p.start_server()

    def start_all(self):
        """sc start for every service: {case id: {rc, out, runs}}."""
        seen = {}
        for case in self.services:
            rc, out = self.sc('start', case.service)
            seen[case.id] = {'rc': rc, 'out': out, 'runs': self.plants.runs()}
        return seen

    def uninstall_run(self):
        return ('run', self.uninstaller, hex16('uninstaller --remove RADADIRorUzavovazo'),
                # A failed start brings up a Yes/No box: No keeps the entry.
                'no', '30000')

    def probe_run(self, views):
        return ('run', winpath(ICONPROBE), hex16('iconprobe %s %s' % (PROBE_OUT, ' '.join(views))), '-',
                '30000')

    def probe_results(self):
        host = self.plants.host(PROBE_OUT)
        with open(host, 'rb') as f:
            lines = [json.loads(l) for l in f.read().splitlines() if l.strip()]
        os.remove(host)
        return {l['view']: l for l in lines}

    @staticmethod
    def set_value(view, key, name, value):
        return ('set', view, key, name, str(value.type), value.data.hex())

    # -- the run --

    def rounds(self):
        """Which values share a run of the tool: a service value, an
        uninstall entry (its view, UninstallString and DisplayIcon), or both.
        Values that need the repair go together and values that must stay
        as they are go together, so that both exit codes occur; the service
        key's own value comes last and stays in place for the second start."""
        own = [c for c in self.services if c.service == 'VedOvedavu']
        others = [c for c in self.services if c not in own]
        entries = {True: [], False: []}
        for view in self.views:
            for fix in (True, False):
                strings = [c for c in self.uninstall if c.needs_fix == fix]
                icons = [c for c in self.icons if c.needs_fix == fix]
                for i in range(max(len(strings), len(icons))):
                    entries[fix].append((view, strings[i] if i < len(strings) else None,
                                         icons[i] if i < len(icons) else None))
        rounds = []
        for fix in (True, False):
            svcs = [c for c in others if c.needs_fix == fix]
            for i in range(max(len(svcs), len(entries[fix]))):
                rounds.append((svcs[i] if i < len(svcs) else None,
                               entries[fix][i] if i < len(entries[fix]) else None))
        rounds.append((own[0], None))
        return rounds

    def setup(self):
        start = time.time()
        self.plants.plant()
        os.makedirs(os.path.dirname(self.plants.host(PROBE_OUT)), exist_ok=True)
        for case in self.services:
            rc, out = self.sc('create', case.service, 'binpath=', case.value)
            if rc:
                raise RuntimeError('sc create %s: %d %s' % (case.service, rc, out))
        # sc stores ImagePath as REG_SZ; an installer that writes the key
        # itself stores REG_EXPAND_SZ, which the service manager expands.
        self.batch([self.set_value('64', SERVICES_KEY + '\\' + c.service, 'ImagePath',
                                   sz(c.value, REG_EXPAND_SZ)) for c in self.services])
        self.restart()
        self.timings['set-up'] = time.time() - start

    def observe(self):
        """{'services': {id: {...}}, 'uninstall': {(view, id): {...}},
        'icons': {(view, id): {...}}, 'rounds': [...]}."""
        self.setup()
        t = time.time()
        before = self.start_all()
        self.timings['services before'] = time.time() - t
        self.plants.runs()
        t = time.time()
        seen = {'services': {}, 'uninstall': {}, 'icons': {}, 'rounds': []}
        repaired = {}
        for svc, entry in self.rounds():
            self.round(svc, entry, seen, repaired)
        self.timings['repairs, uninstaller and icons'] = time.time() - t
        t = time.time()
        # Each service value was repaired in VedOvedavu, the one service key
        # the tool looks at; its result goes, byte for byte, to the value's
        # own service, so that one restart serves the whole table.
        missing = [c.id for c in self.services if repaired[c.id] is None]
        if missing:
            raise RuntimeError('the repair removed ImagePath: %s' % missing)
        self.batch([self.set_value('64', SERVICES_KEY + '\\' + c.service, 'ImagePath', repaired[c.id])
                    for c in self.services if c.service != 'VedOvedavu'])
        self.restart()
        after = self.start_all()
        self.timings['services after'] = time.time() - t
        for case in self.services:
            seen['services'][case.id].update(before=before[case.id], after=after[case.id])
        return seen

    def round(self, svc, entry, seen, repaired):
        seed = [('delkey', '32', UNINSTALL), ('delkey', '64', UNINSTALL)]
        view, string, icon = entry or (None, None, None)
        if entry:
            seed.append(self.set_value(view, UNINSTALL, 'DisplayName', sz(ENTRY_NAME)))
            if string:
                seed.append(self.set_value(view, UNINSTALL, 'UninstallString', sz(string.value)))
            if icon:
                seed.append(self.set_value(view, UNINSTALL, 'DisplayIcon', sz(icon.value)))
        if svc:
            seed.append(self.set_value('64', SERVICE, 'ImagePath', sz(svc.value, REG_EXPAND_SZ)))
        else:
            seed.append(('delvalue', '64', SERVICE, 'ImagePath'))
        consumers = ([self.uninstall_run()] if string else []) + ([self.probe_run(self.views)] if icon else [])

        replies = self.batch(seed + consumers)
        before = self.consumed(replies[len(seed):], string, icon)

        reads = [('get', v, UNINSTALL, name) for v in self.views for name in ('UninstallString', 'DisplayIcon')]
        reads.append(('get', '64', SERVICE, 'ImagePath'))
        replies = self.batch([('run', self.exe, hex16('velquist.exe /s'), '-', '60000')] + reads + consumers)
        run, stored = replies[0], replies[1:1 + len(reads)]
        after = self.consumed(replies[1 + len(reads):], string, icon)
        values = {(r[1], r[3]): (Value(s['type'], bytes.fromhex(s['hex'])) if s['exists'] else None)
                  for r, s in zip(reads, stored)}

        names = [c for c in (svc, string, icon) if c]
        record = {'exit': run['exit'], 'timeout': run['timeout'], 'cases': [c.id for c in names],
                  'expected exit': 0 if any(c.needs_fix for c in names) else 3,
                  # Starts that no consumer of the round explains.
                  'stray runs': [r for r in (before.pop('stray', None), after.pop('stray', None)) if r]}
        seen['rounds'].append(record)
        if svc:
            repaired[svc.id] = values[('64', 'ImagePath')]
            seen['services'][svc.id] = {'round': record, 'stored': values[('64', 'ImagePath')]}
        for case, name, key in ((string, 'UninstallString', 'uninstall'), (icon, 'DisplayIcon', 'icons')):
            if not case:
                continue
            others = {v: values[(v, name)] for v in self.views if v != view}
            seen[key][(view, case.id)] = {'round': record, 'stored': values[(view, name)], 'other views': others,
                                          'before': before[name], 'after': after[name]}

    def consumed(self, replies, string, icon):
        """What the uninstaller and the probe did in one batch."""
        out = {}
        runs = self.plants.runs()
        if string:
            out['UninstallString'] = {'run': replies[0], 'runs': runs}
        elif runs:
            out['stray'] = runs
        if icon:
            out['DisplayIcon'] = self.probe_results()
        return out
