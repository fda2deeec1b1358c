"""The acceptance kit under Wine, velquist-check.exe in fresh 64-bit and
32-bit prefixes seeded with values of their own: it passes against
velquist.exe, fails (naming the cases) against deliberately broken builds,
refuses while a velquist.exe runs or where its saved state or folder is not
its own, and leaves the values it found exactly as they were, also when it
is killed. Each check returns what went wrong, or nothing."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

import harness
from facts import SERVICE, UNINSTALL
from harness import (REG_EXPAND_SZ, REG_SZ, Value, dword, multi, sz)

BUILD = os.path.join(harness.ROOT, 'build', 'windows')
# VQ_KIT runs the suite against another build of the kit.
KIT = os.path.abspath(os.environ.get('VQ_KIT') or os.path.join(BUILD, 'velquist-check.exe'))
NOLOCK = os.path.join(BUILD, 'tests', 'check', 'velquist-nolock.exe')
FIRSTEXE = os.path.join(BUILD, 'tests', 'check', 'velquist-firstexe.exe')
SVCPROBE = os.path.join(BUILD, 'tests', 'check', 'svcprobe.exe')

U32, I32 = ('32', 'UninstallString'), ('32', 'DisplayIcon')
U64, I64 = ('64', 'UninstallString'), ('64', 'DisplayIcon')
SVC = ('svc', 'ImagePath')

# A vendor's values as the kit finds them: odd forms, which a restore must
# bring back byte for byte (no terminator added, odd length, other types).
# The kit refuses writes only in a key it created itself: with the uninstall
# key of the 64-bit view free on the 64-bit system, with the service key
# taken but the uninstall key free on the 32-bit one, and with every key
# taken in VENDOR_ALL, where those cases must be skipped.
VENDOR64 = {
    U32: sz(r'C:\Program Files\Vendor\uninst.exe /x', terminated=False),
    I32: Value(REG_SZ, sz(r'C:\Vendor\icon.ico').data + b'\x41'),
    SVC: sz(r'C:\Program Files\Vendor\drv.exe -k', REG_EXPAND_SZ),
}
VENDOR32 = {SVC: Value(REG_EXPAND_SZ, sz(r'C:\Program Files\Vendor\drv.exe', terminated=False).data + b'\x41')}
VENDOR64_OTHERS = [('32', UNINSTALL, 'Publisher', sz('Vendor')),
                   ('64', SERVICE, 'Start', dword(3))]
VENDOR32_OTHERS = [('64', SERVICE, 'Start', dword(3))]
VENDOR_ALL = dict(VENDOR64)
VENDOR_ALL[U64] = multi(r'C:\Program Files\Vendor\x64.exe', 'second')
NO_64_VIEW = 'no 64-bit registry view on 32-bit Windows'
# The service case, and why it does not run where VedOvedavu or its key is a vendor's.
SERVICE_CASE = 'service: VedOvedavu started by the service manager before and after the repair'
SERVICE_KEY_TAKEN = (r'the key HKLM\SYSTEM\CurrentControlSet\Services\VedOvedavu was there before the run, '
                     'and the kit makes no service in a key it did not create')
VENDOR_SERVICE = ('a service VedOvedavu exists on this system, and the kit never creates, changes, starts or '
                  'stops a service it did not make')
PLANTED = r'C:\velquist-check\svc\Service.exe'
# Wine's service manager keeps the ImagePath it loaded at its own start
# (docs/consumers.md): without a restart the planted copy runs again.
WINE_SERVICE_LINE = ('pass  %s: before the repair, %s ran (the hole is real); after it, without a restart, %s ran '
                     'again: this service manager takes the repaired path only after it restarts'
                     % (SERVICE_CASE, PLANTED, PLANTED))
ALL_KEYS_TAKEN = 'every target key exists on this system, and the kit changes no permissions of a key it did not create'


# Where the kit keeps its saved state and the programs it runs, and the
# permissions it gives them: only administrators and SYSTEM have any access.
STATE_KEY = r'SOFTWARE\velquist-check'
STATE_SDDL = 'O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)'
FOLDER = r'C:\velquist-check'


def saved_state(imagepath):
    """A saved state in the kit's own form: no uninstall entry, and the service
    key with ImagePath as given (REG_EXPAND_SZ)."""
    data = sz(imagepath, REG_EXPAND_SZ).data.hex()
    return ('velquist-check saved state 2\n'
            'key 0 32 0 %(u)s\nvalue 0 0 0 0  UninstallString\nvalue 0 1 0 0  DisplayIcon\n'
            'key 1 64 0 %(u)s\nvalue 1 0 0 0  UninstallString\nvalue 1 1 0 0  DisplayIcon\n'
            'key 2 64 1 %(s)s\nvalue 2 0 1 2 %(d)s ImagePath\nend\n'
            % {'u': UNINSTALL, 's': SERVICE, 'd': data}).encode()


def plant_state(prefix, body, sddl=STATE_SDDL):
    """A saved state where the kit keeps its own, as an administrator could have
    left it, with the key's permissions set to `sddl`."""
    prefix.batch([('delkey', '32', STATE_KEY), ('set', '32', STATE_KEY, 'Saved', '3', body.hex()),
                  ('sddl', 'key', '32', STATE_KEY, sddl)])


def kit_places(prefix):
    """(state key's SDDL or None, kit folder's SDDL or None) as Windows reads them back."""
    key = [r for r in prefix.batch([('get', '32', STATE_KEY, 'Saved')])][0]
    sddl = prefix.batch([('sddl', 'key', '32', STATE_KEY)])[0]['sddl'] if key['key'] else None
    folder = os.path.join(prefix.path, 'drive_c', 'velquist-check')
    return sddl, prefix.batch([('sddl', 'file', FOLDER)])[0]['sddl'] if os.path.isdir(folder) else None


def nothing_left(prefix):
    """Once the kit is done, its saved state and its folder are gone."""
    key, folder = kit_places(prefix)
    return '' if key is None and folder is None else 'left behind: state key %s, folder %s' % (key, folder)


def winpath(path):
    return 'Z:' + path.replace('/', '\\')


class Kit:
    """One run of the kit with its output in a file (a Wine process started
    on the way may hold a pipe open long after the kit ended)."""

    def __init__(self, prefix, *args, display=True, lang='en'):
        self.out = tempfile.NamedTemporaryFile(prefix='kit-', suffix='.log', delete=False)
        env = prefix.env(lang)
        if not display:
            env.pop('DISPLAY', None)
        self.proc = subprocess.Popen(['wine', KIT] + list(args), stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=subprocess.DEVNULL, env=env,
                                     start_new_session=True)

    def text(self):
        with open(self.out.name, encoding='utf-8', errors='replace') as f:
            return f.read()

    def wait(self, timeout=900):
        self.proc.wait(timeout=timeout)
        text = self.text()
        os.unlink(self.out.name)
        return self.proc.returncode, text


def wine_pids(prefix, name, guardian=False):
    """Linux pids of this prefix's Windows processes whose command line names
    `name` (and not the kit's guardian, or only it). Only this prefix's: other
    suites may run the same programs at the same time."""
    pids = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/environ' % pid, 'rb') as f:
                env = f.read().split(b'\0')
            with open('/proc/%s/cmdline' % pid, 'rb') as f:
                args = f.read().decode('utf-8', 'replace')
        except OSError:
            continue
        if ('WINEPREFIX=' + prefix.path).encode() in env and name in args and ('/guardian' in args) == guardian:
            pids.append(int(pid))
    return pids


def unchanged(prefix, before):
    after = prefix.state()
    if after != before:
        diff = {k: (before[k], after[k]) for k in before if before[k] != after[k]}
        return 'values not restored: %s' % diff
    return ''


def summary_of(text):
    m = re.search(r'^(\d+) passed, (\d+) failed(?:, (\d+) skipped)?\r?$', text, re.M)
    return tuple(int(g or 0) for g in m.groups()) if m else None


def others_of(others):
    """Driver commands that read a vendor's other values in the target keys."""
    return [('get', view, key, name) for view, key, name, _ in others]


def full_pass(prefix, vendor, skipped_reason, others=()):
    """`others`: (view, key, name, Value) of values beside the targets in the
    vendor's keys, which only a key deleted and made again would lose."""
    def run():
        prefix.seed(vendor, [('set', view, key, name, str(v.type), v.data.hex()) for view, key, name, v in others])
        before = prefix.state()
        report = os.path.join(prefix.path, 'drive_c', 'report.txt')
        rc, text = Kit(prefix, '/report', r'C:\report.txt', winpath(harness.VELQUIST)).wait()
        summary = summary_of(text)
        if rc != 0 or not summary or summary[0] == 0 or summary[1] != 0:
            return 'exit %s, output:\n%s' % (rc, text)
        if 'values restored as they were before the run' not in text:
            return 'no restore line:\n%s' % text
        skips = [l for l in text.splitlines() if l.startswith('skip  ')]
        # The vendor's service key is there: the kit makes no service of its own in it.
        service = [l for l in skips if l.startswith('skip  %s: ' % SERVICE_CASE)]
        skips = [l for l in skips if l not in service]
        if bool(skips) != bool(skipped_reason) or any(not l.endswith(': ' + skipped_reason) for l in skips) or \
                service != ['skip  %s: %s' % (SERVICE_CASE, SERVICE_KEY_TAKEN)]:
            return 'unexpected skips: %s' % (skips + service)
        with open(report, encoding='utf-8') as f:
            written = f.read()
        if not re.search(r'^system: Windows \d+\.\d+\.\d+.*, x(86|64), UI language \w+', written, re.M) or \
                summary_of(written) != summary or written.count('\npass  ') != summary[0]:
            return 'report incomplete:\n%s' % written
        kept = [Value(r['type'], bytes.fromhex(r['hex'])) if r['exists'] else None
                for r in prefix.batch(others_of(others))] if others else []
        if kept != [v for _, _, _, v in others]:
            return "the vendor's other values in its keys: %s, expected %s" % (kept, [o[3] for o in others])
        return unchanged(prefix, before) or nothing_left(prefix)
    return run


def broken_build(prefix, exe, only, failing):
    def run():
        prefix.seed(VENDOR64)
        before = prefix.state()
        rc, text = Kit(prefix, '/only', only, winpath(exe)).wait()
        failed = [l for l in text.splitlines() if l.startswith('FAIL  ')]
        missing = [f for f in failing if not any(l.startswith('FAIL  ' + f) for l in failed)]
        summary = summary_of(text)
        if rc != 1 or missing or not summary or summary[1] != len(failed):
            return 'exit %s, cases not reported failed: %s, output:\n%s' % (rc, missing, text)
        return unchanged(prefix, before)
    return run


def signal_mid_run(prefix, signum):
    """Seeds the vendor's values, starts the kit and sends its process
    `signum` once three cases passed. Returns (kit, state before, the kit's
    places as they were while it ran) or (None, why not, None)."""
    prefix.seed(VENDOR64)
    before = prefix.state()
    kit = Kit(prefix, winpath(harness.VELQUIST))
    deadline = time.time() + 300
    while kit.text().count('\npass  ') < 3 and kit.proc.poll() is None and time.time() < deadline:
        time.sleep(0.2)
    places = kit_places(prefix)
    pids = wine_pids(prefix, 'velquist-check.exe')
    if kit.proc.poll() is not None or not pids:
        return None, 'the kit was not running when it was to get %s:\n%s' % (signum.name, kit.text()), None
    for pid in pids:
        os.kill(pid, signum)
    return kit, before, places


def killed_mid_run(prefix):
    def run():
        # Killed in the middle of its cases, with values of its own seeded.
        kit, before, places = signal_mid_run(prefix, signal.SIGKILL)
        if not kit:
            return before
        kit.wait(60)
        # While it ran, only administrators and SYSTEM could change its places
        # (Wine keeps a folder's permissions as Unix modes: no one else's entry).
        key, folder = places
        if key != STATE_SDDL or not folder or re.search(r'\((A|D);[^)]*;;;(WD|BU|AU)\)', folder):
            return 'while it ran: state key %s, expected %s; folder %s' % (key, STATE_SDDL, folder)
        # The run it had started dies with it.
        for _ in range(30):
            if not wine_pids(prefix, 'velquist.exe'):
                break
            time.sleep(1)
        else:
            left = wine_pids(prefix, 'velquist.exe')
            return 'a velquist.exe outlived the kit: %s' % [
                open('/proc/%d/cmdline' % pid, 'rb').read().replace(b'\0', b' ') for pid in left]
        # The guardian puts the values back once the kit is gone.
        problem = 'no restore'
        for _ in range(60):
            problem = unchanged(prefix, before)
            if not problem:
                break
            time.sleep(1)
        problem = problem or nothing_left(prefix)
        for _ in range(30):
            if not problem:
                break
            time.sleep(1)
            problem = nothing_left(prefix)
        if problem:
            return problem
        # Nothing left behind: the next run starts without a saved state to restore.
        rc, text = Kit(prefix, '/only', 'outcome 3', winpath(harness.VELQUIST)).wait()
        if rc != 0 or 'earlier, interrupted run' in text:
            return 'the next run: exit %s\n%s' % (rc, text)
        return unchanged(prefix, before)
    return run


def ctrl_c_again_until_it_ends(prefix, kit, seconds=120):
    """Wine makes each SIGINT a Ctrl-C event on a thread of its own, and now
    and then none arrives (seen once: a kit that went on to its end, exit 0);
    a user would press Ctrl-C again. The kit acts on the first it gets; one
    more while it restores must change nothing. Returns (exit code, output)."""
    deadline = time.time() + seconds
    while kit.proc.poll() is None and time.time() < deadline:
        time.sleep(1)
        for pid in wine_pids(prefix, 'velquist-check.exe'):
            try:
                os.kill(pid, signal.SIGINT)
            except ProcessLookupError:
                pass
    return kit.wait(60)


def interrupted(prefix, in_service_case=False):
    """Ctrl-C (SIGINT under Wine) in the middle of the cases, or of the
    service case: the kit puts everything back itself and exits with 3."""
    def run():
        if in_service_case:
            kit, before = signal_in_service_case(prefix, signal.SIGINT)
        else:
            kit, before, _ = signal_mid_run(prefix, signal.SIGINT)
        if not kit:
            return before
        rc, text = ctrl_c_again_until_it_ends(prefix, kit)
        if rc != 3 or 'interrupted: the values are as they were before the run' not in text:
            return 'exit %s:\n%s' % (rc, text)
        return unchanged(prefix, before) or (no_service_left if in_service_case else nothing_left)(prefix)
    return run


def refuses_while_velquist_runs(prefix):
    def run():
        prefix.seed({U32: sz(r'C:\Program Files\Example Driver\setup.exe -x')})
        before = prefix.state()
        with prefix.popen(*prefix.run_command('velquist.exe', ['stdin'])) as other:
            other.expect()   # its question is up
            rc, text = Kit(prefix, winpath(harness.VELQUIST)).wait(120)
            other.send('no')
            other.finish()
        if rc != 2 or not text.startswith('refused: a velquist.exe is running'):
            return 'exit %s:\n%s' % (rc, text)
        return unchanged(prefix, before)
    return run


def refused_case_last(prefix):
    """A case that refused writes in a key of the kit's own leaves that key
    read-only; ended right after it (here the last case), the kit must still
    put everything back and say so, not report a restore that failed."""
    def run():
        prefix.seed(VENDOR64)
        before = prefix.state()
        rc, text = Kit(prefix, '/nobox', '/only', 'silent, outcome 1', winpath(harness.VELQUIST)).wait()
        if rc != 0 or summary_of(text) != (1, 0, 0) or 'values restored as they were before the run' not in text:
            return 'exit %s:\n%s' % (rc, text)
        return unchanged(prefix, before) or nothing_left(prefix)
    return run


def box_cases_skipped(prefix, args, reason, display=True, vendor=None, kind='skip  interactive',
                      passed='pass  silent'):
    """Where some outcome cases cannot run (/nobox, no box can show, no key
    of the kit's own), they are skipped with the reason and the others still
    run and pass; the vendor's values are as they were."""
    def run():
        prefix.seed(vendor or {})
        before = prefix.state()
        rc, text = Kit(prefix, *args, '/only', 'outcome', winpath(harness.VELQUIST), display=display).wait()
        skips = [l for l in text.splitlines() if re.match(kind, l)]
        passes = [l for l in text.splitlines() if l.startswith(passed)]
        if rc != 0 or not skips or not passes or \
                any(not re.search(reason, l) for l in skips) or \
                summary_of(text) != (len(passes), 0, len(skips)):
            return 'exit %s:\n%s' % (rc, text)
        return unchanged(prefix, before)
    return run


def user_temp_dirs(prefix):
    users = os.path.join(prefix.path, 'drive_c', 'users')
    return [d for u in os.listdir(users) for d in (os.path.join(users, u, 'Temp'),
                                                   os.path.join(users, u, 'AppData', 'Local', 'Temp'))
            if os.path.isdir(d)]


def planted_in_temp_ignored(prefix):
    """A saved state where the kit used to keep it, in the user's %TEMP%, which
    any program of the user can write: it must not reach HKLM."""
    def run():
        evil = sz(r'C:\evil.exe', REG_EXPAND_SZ).data.hex()
        body = ('velquist-check snapshot 1\nkey 0 0\nvalue 0 0 0 0 \nvalue 0 1 0 0 \nkey 1 0\n'
                'value 1 0 0 0 \nvalue 1 1 0 0 \nkey 2 1\nvalue 2 0 1 2 %s\nend\n' % evil)
        planted = [os.path.join(d, 'velquist-check.snapshot') for d in user_temp_dirs(prefix)]
        if not planted:
            return 'no temp folder in the prefix'
        for path in planted:
            with open(path, 'w') as f:
                f.write(body)
        try:
            prefix.seed({})
            before = prefix.state()
            rc, text = Kit(prefix, '/nobox', '/only', 'silent', winpath(harness.VELQUIST)).wait()
            if rc != 0 or 'earlier, interrupted run' in text:
                return 'exit %s:\n%s' % (rc, text)
            return unchanged(prefix, before) or nothing_left(prefix)
        finally:
            for path in planted:
                if os.path.exists(path):   # an unsafe kit deletes what it took in
                    os.unlink(path)
    return run


# Saved states in the kit's own key that must be refused, with nothing written.
REFUSED_STATES = [
    ('not a saved state', b'velquist-check snapshot 1\nend\n', STATE_SDDL, 'cannot be used (the saved state is damaged)'),
    ('cut short', saved_state(r'C:\evil.exe')[:-4], STATE_SDDL, 'cannot be used (the saved state is damaged)'),
    ('another key', saved_state(r'C:\evil.exe').replace(b'Services\\VedOvedavu', b'Services\\Other'), STATE_SDDL,
     'names another key'),
    ('another value', saved_state(r'C:\evil.exe').replace(b' ImagePath', b' FailureCommand'), STATE_SDDL,
     'names another value'),
    ('a key everybody may write', saved_state(r'C:\evil.exe'), 'O:BAD:(A;;KA;;;WD)(A;;KA;;;BA)', 'lets S-1-1-0 change it'),
    ('a key users may add to', saved_state(r'C:\evil.exe'), 'O:BAD:P(A;;KA;;;BA)(A;;0x4;;;BU)', 'lets S-1-5-32-545 change it'),
    ('a key a user owns', saved_state(r'C:\evil.exe'), 'O:S-1-5-21-1-2-3-1000D:P(A;;KA;;;BA)',
     'is owned by S-1-5-21-1-2-3-1000'),
]


def refused_state(prefix, body, sddl, why):
    def run():
        prefix.seed(VENDOR64)
        plant_state(prefix, body, sddl)
        before = prefix.state()
        rc, text = Kit(prefix, '/nobox', '/only', 'silent', winpath(harness.VELQUIST)).wait()
        lines = text.strip().splitlines()
        problem = ''
        if rc != 2 or len(lines) != 1 or not lines[0].startswith('refused: ') or why not in lines[0]:
            problem = 'exit %s:\n%s' % (rc, text)
        kept = prefix.batch([('get', '32', STATE_KEY, 'Saved')])[0]
        problem = problem or unchanged(prefix, before)
        if not problem and (not kept['exists'] or bytes.fromhex(kept['hex']) != body):
            problem = 'the saved state was not left as it was'
        if kept['key']:
            prefix.batch([('sddl', 'key', '32', STATE_KEY, STATE_SDDL), ('delkey', '32', STATE_KEY)])
        return problem
    return run


def good_state_restored(prefix):
    """What an earlier run saved in the kit's own key, protected as the kit
    leaves it, is put back before the cases, and said so."""
    def run():
        prefix.seed(VENDOR64)
        before = prefix.state()
        want = before.but({SVC: sz(r'C:\Program Files\Saved\svc.exe -k', REG_EXPAND_SZ)})
        plant_state(prefix, saved_state(r'C:\Program Files\Saved\svc.exe -k'))
        rc, text = Kit(prefix, '/nobox', '/only', 'silent, outcome 2', winpath(harness.VELQUIST)).wait()
        if rc != 0 or 'note: restored the values that an earlier, interrupted run had saved' not in text:
            return 'exit %s:\n%s' % (rc, text)
        after = prefix.state()
        # The saved state had no uninstall entry: the restore removed it.
        want = harness.State.of({SVC: want[SVC]})
        if after != want:
            return 'after the restore: %s, expected %s' % (after, want)
        return nothing_left(prefix)
    return run


def foreign_folder_refused(prefix):
    """A folder of the kit's name that the kit did not make is neither used
    nor removed."""
    def run():
        folder = os.path.join(prefix.path, 'drive_c', 'velquist-check')
        os.makedirs(folder)
        planted = os.path.join(folder, 'velquist.exe')
        with open(planted, 'w') as f:
            f.write('planted')
        try:
            prefix.seed(VENDOR64)
            before = prefix.state()
            rc, text = Kit(prefix, '/nobox', winpath(harness.VELQUIST)).wait()
            if rc != 2 or not re.match(r'refused: C:\\velquist-check exists, and the kit did not make it', text):
                return 'exit %s:\n%s' % (rc, text)
            if open(planted).read() != 'planted':
                return 'the folder was changed'
            return unchanged(prefix, before)
        finally:
            shutil.rmtree(folder)
    return run


def report_link_refused(prefix):
    """A report path that is a second name of another file is refused before
    anything is written."""
    def run():
        drive_c = os.path.join(prefix.path, 'drive_c')
        target, link = os.path.join(drive_c, 'precious.txt'), os.path.join(drive_c, 'linked-report.txt')
        with open(target, 'w') as f:
            f.write('precious')
        os.link(target, link)
        try:
            prefix.seed(VENDOR64)
            before = prefix.state()
            rc, text = Kit(prefix, '/nobox', '/report', r'C:\linked-report.txt', winpath(harness.VELQUIST)).wait()
            if rc != 2 or 'is a link or a folder' not in text or open(target).read() != 'precious':
                return 'exit %s:\n%s' % (rc, text)
            return unchanged(prefix, before) or nothing_left(prefix)
        finally:
            os.unlink(link)
            os.unlink(target)
    return run


def japanese(prefix):
    def run():
        # The boxes follow the UI language: the kit must expect them in Japanese.
        prefix.seed({})
        before = prefix.state()
        rc, text = Kit(prefix, '/only', 'interactive, outcome', winpath(harness.VELQUIST), lang='ja').wait()
        summary = summary_of(text)
        if rc != 0 or not summary or summary[0] < 5 or summary[1:] != (0, 0) or \
                not re.search(r'^system: .*UI language ja', text, re.M):
            return 'exit %s:\n%s' % (rc, text)
        return unchanged(prefix, before)
    return run


# ---- the service case ----------------------------------------------------------

# A vendor's uninstall entry, which the service case must leave as it was; the
# service key is free, so the kit makes its own service there.
VENDOR_UNINSTALL = {U32: VENDOR64[U32], I32: VENDOR64[I32]}


def svcprobe(prefix, *args):
    """The service manager's answer (svcprobe.exe), read from a file: a
    service manager started on the way would hold a pipe open."""
    with tempfile.TemporaryFile() as out:
        subprocess.run(['wine', SVCPROBE] + list(args), stdin=subprocess.DEVNULL, stdout=out,
                       stderr=subprocess.DEVNULL, env=prefix.env(), timeout=120)
        out.seek(0)
        lines = [json.loads(l) for l in out.read().decode().splitlines() if l.startswith('{')]
    if not lines or 'error' in lines[-1]:
        raise RuntimeError('svcprobe %s: %s' % (' '.join(args), lines))
    return lines[-1]


def no_service_left(prefix):
    """No VedOvedavu in the service manager or in the registry, no copy of the
    kit running as it, and no kit folder (so no planted program)."""
    found = svcprobe(prefix, 'query', 'VedOvedavu')
    if found['exists']:
        return 'the service is still there: %s' % found
    if prefix.state()[('key', 'svc')]:
        return 'the service key is still there'
    running = wine_pids(prefix, 'vqsvc.exe')
    if running:
        return 'copies still running as the service: %s' % running
    return nothing_left(prefix)


def lines_of(text):
    return [l.rstrip('\r') for l in text.splitlines()]


def service_case(prefix):
    """The kit makes VedOvedavu, the service manager starts the planted copy
    before the repair and, without a restart, again after it; the line says
    so, and the service, its files and the folder are gone afterwards."""
    def run():
        prefix.seed(VENDOR_UNINSTALL)
        before = prefix.state()
        rc, text = Kit(prefix, '/nobox', '/only', 'service:', winpath(harness.VELQUIST)).wait()
        if rc != 0 or WINE_SERVICE_LINE not in lines_of(text) or summary_of(text) != (1, 0, 0):
            return 'exit %s:\n%s' % (rc, text)
        return unchanged(prefix, before) or no_service_left(prefix)
    return run


def service_case_fails_without_a_repair(prefix):
    """A program that repairs nothing fails the case, which still removes
    everything it made."""
    def run():
        prefix.seed(VENDOR_UNINSTALL)
        before = prefix.state()
        rc, text = Kit(prefix, '/nobox', '/only', 'service:', winpath(SVCPROBE)).wait()
        want = 'FAIL  %s: velquist.exe /s: exit code 2, expected 0' % SERVICE_CASE
        if rc != 1 or want not in lines_of(text):
            return 'exit %s, expected the line %r:\n%s' % (rc, want, text)
        return unchanged(prefix, before) or no_service_left(prefix)
    return run


def vendor_service_untouched(prefix):
    """Where VedOvedavu is a vendor's service the case is skipped, saying why,
    and the service is neither changed nor started."""
    def run():
        folder = os.path.join(prefix.path, 'drive_c', 'Program Files', 'Vendor Service')
        os.makedirs(folder, exist_ok=True)
        shutil.copy(SVCPROBE, folder)
        started = os.path.join(folder, 'svcprobe.exe.rec')
        prefix.seed(VENDOR_UNINSTALL)
        svcprobe(prefix, 'create', 'VedOvedavu', r'C:\Program Files\Vendor Service\svcprobe.exe record')
        try:
            config = svcprobe(prefix, 'query', 'VedOvedavu')
            before = prefix.state()
            rc, text = Kit(prefix, '/nobox', '/only', 'service:', winpath(harness.VELQUIST)).wait()
            if rc != 0 or 'skip  %s: %s' % (SERVICE_CASE, VENDOR_SERVICE) not in lines_of(text) or \
                    summary_of(text) != (0, 0, 1):
                return 'exit %s:\n%s' % (rc, text)
            after = svcprobe(prefix, 'query', 'VedOvedavu')
            if after != config:
                return "the vendor's service changed: %s, was %s" % (after, config)
            if os.path.exists(started):
                return "the vendor's service was started"
            return unchanged(prefix, before) or nothing_left(prefix)
        finally:
            svcprobe(prefix, 'delete', 'VedOvedavu')
            prefix.seed({})
            shutil.rmtree(folder)
    return run


def signal_in_service_case(prefix, signum, guardian_too=False):
    """Starts the service case and sends the kit `signum` once a copy of it
    runs as the service or is being started as the service manager would
    (VedOvedavu exists, its files are there). Returns (kit, state before) or
    (None, why not)."""
    prefix.seed(VENDOR_UNINSTALL)
    before = prefix.state()
    kit = Kit(prefix, '/nobox', '/only', 'service:', winpath(harness.VELQUIST))
    deadline = time.time() + 120
    while not wine_pids(prefix, 'vqsvc.exe') and kit.proc.poll() is None and time.time() < deadline:
        time.sleep(0.002)
    pids = wine_pids(prefix, 'velquist-check.exe')
    if guardian_too:
        # The guardian first, so that it cannot act on the kit's end.
        pids = wine_pids(prefix, 'velquist-check.exe', guardian=True) + pids
    if kit.proc.poll() is not None or not pids:
        return None, 'the kit was not in its service case when it was to get %s:\n%s' % (signum.name, kit.text())
    for pid in pids:
        os.kill(pid, signum)
    return kit, before


def gone_within(prefix, before, seconds):
    problem = 'not checked'
    for _ in range(seconds):
        problem = unchanged(prefix, before) or no_service_left(prefix)
        if not problem:
            break
        time.sleep(1)
    return problem


def killed_in_service_case(prefix):
    def run():
        kit, before = signal_in_service_case(prefix, signal.SIGKILL)
        if not kit:
            return before
        kit.wait(60)
        # The guardian stops and deletes the service, then restores the rest,
        # well inside the minute after which a copy would end by itself.
        problem = gone_within(prefix, before, 20)
        if problem:
            return 'after the kill: ' + problem
        # Nothing left to trip the next run, which makes its service again.
        rc, text = Kit(prefix, '/nobox', '/only', 'service:', winpath(harness.VELQUIST)).wait()
        if rc != 0 or WINE_SERVICE_LINE not in lines_of(text) or 'earlier, interrupted run' in text:
            return 'the next run: exit %s\n%s' % (rc, text)
        return unchanged(prefix, before) or no_service_left(prefix)
    return run


def killed_with_guardian_in_service_case(prefix):
    """Kit and guardian both killed (as by a power loss) with the service made:
    the saved state says so, and the next run deletes the service before it
    restores the values."""
    def run():
        kit, before = signal_in_service_case(prefix, signal.SIGKILL, guardian_too=True)
        if not kit:
            return before
        kit.wait(60)
        if not svcprobe(prefix, 'query', 'VedOvedavu')['exists']:
            return 'the service was already gone: the kill came too late to show anything'
        rc, text = Kit(prefix, '/nobox', '/only', 'silent, outcome 2', winpath(harness.VELQUIST)).wait()
        if rc != 0 or 'note: restored the values that an earlier, interrupted run had saved' not in text:
            return 'the next run: exit %s\n%s' % (rc, text)
        return unchanged(prefix, before) or no_service_left(prefix)
    return run


# name, the check on the 64-bit and 32-bit prefixes
CHECKS = [
    ('64-bit: passes against velquist.exe, values restored byte for byte, writes refused in a key of its own',
     lambda p64, p32: full_pass(p64, VENDOR64, None, VENDOR64_OTHERS)),
    ('32-bit: passes against velquist.exe, 64-bit view cases skipped, writes refused in the uninstall key it created',
     lambda p64, p32: full_pass(p32, VENDOR32, NO_64_VIEW, VENDOR32_OTHERS)),
    ("every target key a vendor's: write-refused cases skipped, no permission changed",
     lambda p64, p32: box_cases_skipped(p64, [], re.escape(ALL_KEYS_TAKEN) + '$', vendor=VENDOR_ALL,
                                        kind='skip  (interactive|silent), ', passed='pass  ')),
    ('Japanese UI: the boxes in Japanese pass',
     lambda p64, p32: japanese(p64)),
    ('fails against a build that takes no locks',
     lambda p64, p32: broken_build(p64, NOLOCK, 'locks:', [
         'locks: held by another process: session lock, silent',
         'locks: held by another process: global lock, interactive',
         'locks: an abandoned lock fails the next run only',
         'locks: a second instance fails at once while the first asks'])),
    ('fails against a build that quotes up to the first .exe',
     lambda p64, p32: broken_build(p64, FIRSTEXE, 'match', [
         r'match: [C:\Program Files\run.exe -config C:\Data Files\x.exe]',
         r'match: [C:\Program Files\a.exe.exe -x]'])),
    ('killed mid-run: the guardian restores the values',
     lambda p64, p32: killed_mid_run(p64)),
    ('Ctrl-C: the kit restores the values itself and exits with 3',
     lambda p64, p32: interrupted(p64)),
    ('ended right after a write-refused case: restored, and said so',
     lambda p64, p32: refused_case_last(p64)),
    ('refuses while a velquist.exe is running',
     lambda p64, p32: refuses_while_velquist_runs(p64)),
    ("a saved state planted in the user's temp folder is ignored",
     lambda p64, p32: planted_in_temp_ignored(p64)),
    ('a saved state in its own key is restored first',
     lambda p64, p32: good_state_restored(p64)),
    ('a folder of its name that it did not make is refused and left alone',
     lambda p64, p32: foreign_folder_refused(p64)),
    ('a report path that links to another file is refused',
     lambda p64, p32: report_link_refused(p64)),
    ('without message boxes: those cases skipped, with the reason',
     lambda p64, p32: box_cases_skipped(p64, ['/nobox'], r': message boxes not wanted \(/nobox\)$')),
    ('without a display: those cases skipped, with the reason',
     lambda p64, p32: box_cases_skipped(p64, [], r': message boxes cannot be shown on this desktop \(',
                                        display=False)),
    ('service case, 64-bit: the planted copy runs before and, without a restart, after the repair; nothing left',
     lambda p64, p32: service_case(p64)),
    ('service case, 32-bit: the same',
     lambda p64, p32: service_case(p32)),
    ('service case: fails against a program that repairs nothing, and still removes what it made',
     lambda p64, p32: service_case_fails_without_a_repair(p64)),
    ("service case: skipped where VedOvedavu is a vendor's service, which is neither changed nor started",
     lambda p64, p32: vendor_service_untouched(p64)),
    ('service case, killed: the guardian deletes the service and its files',
     lambda p64, p32: killed_in_service_case(p64)),
    ('service case, Ctrl-C: the kit deletes the service and its files itself',
     lambda p64, p32: interrupted(p64, in_service_case=True)),
    ('service case, killed with its guardian: the next run deletes the service first',
     lambda p64, p32: killed_with_guardian_in_service_case(p64)),
]


@pytest.mark.parametrize('check', [c[1] for c in CHECKS], ids=[c[0] for c in CHECKS])
def test_kit(prefixes, check):
    problem = check(prefixes['64'], prefixes['32'])()
    if problem:
        pytest.fail(problem, pytrace=False)


@pytest.mark.parametrize('body,sddl,why', [s[1:] for s in REFUSED_STATES], ids=[s[0] for s in REFUSED_STATES])
def test_a_saved_state_that_is_damaged_names_other_values_or_sits_where_others_can_write_is_refused(
        prefixes, body, sddl, why):
    problem = refused_state(prefixes['64'], body, sddl, why)()
    if problem:
        pytest.fail(problem, pytrace=False)
