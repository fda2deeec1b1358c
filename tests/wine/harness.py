"""Wine prefixes, the Windows-side driver and the registry state of the three targets.

Everything the tests do on the Windows side goes through vqdriver.exe, which
answers in one JSON line per command.  A scenario (reset, seed, run, read back)
is one batch, so it costs one Wine process start.
"""

import contextlib
import fcntl
import json
import queue
import re
import os
import select
import shutil
import signal
import subprocess
import tempfile
import threading
import traceback

from facts import DISPLAY_ICON, IMAGE_PATH, QUESTION, SERVICE, TEXTS, TITLE, UNINSTALL, UNINSTALL_STRING

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
# VQ_EXE runs the suite against another build of the program.
VELQUIST = os.path.abspath(os.environ.get('VQ_EXE') or os.path.join(ROOT, 'build', 'windows', 'velquist.exe'))
DRIVER = os.path.join(ROOT, 'build', 'windows', 'tests', 'wine', 'vqdriver.exe')
PREFIXES = os.path.join(ROOT, 'build', 'wine-tests')
# A run keeps one server per prefix alive between its Wine programs. Should the
# run die without its clean-up (kill -9), the server and Wine's own programs
# still end this many seconds after the prefix's last program.
SERVER_LINGER = 300

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7
TYPE_NAMES = {0: 'REG_NONE', 1: 'REG_SZ', 2: 'REG_EXPAND_SZ', 3: 'REG_BINARY', 4: 'REG_DWORD',
              7: 'REG_MULTI_SZ', 11: 'REG_QWORD'}

# Where a target lives: the uninstall entry has a key per view on a 64-bit
# system; the service key is one key that both views share.
SLOTS = {
    ('32', UNINSTALL_STRING): ('32', UNINSTALL), ('32', DISPLAY_ICON): ('32', UNINSTALL),
    ('64', UNINSTALL_STRING): ('64', UNINSTALL), ('64', DISPLAY_ICON): ('64', UNINSTALL),
    ('svc', IMAGE_PATH): ('64', SERVICE),
}
KEYS = {'32': ('32', UNINSTALL), '64': ('64', UNINSTALL), 'svc': ('64', SERVICE)}

# What Wine 8 puts on the buttons of its message boxes in each UI language.
BUTTONS = {'en': {'yesno': ['&Yes', '&No'], 'ok': ['OK']},
           'ja': {'yesno': ['はい(&Y)', 'いいえ(&N)'], 'ok': ['OK']}}
LOCALES = {'en': 'C.UTF-8', 'ja': 'ja_JP.UTF-8'}
# Where each prefix holds a copy of the program, under a path with a blank.
SPACED_EXE = r'C:\Velquist Test\velquist.exe'
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def question(lang='en'):
    """The confirmation box, as the user must see it."""
    return {'caption': TEXTS[lang][TITLE], 'text': TEXTS[lang][QUESTION], 'buttons': BUTTONS[lang]['yesno'],
            'icon': False}


def message(text_id, lang='en'):
    """An outcome box: OK only, no icon."""
    return {'caption': TEXTS[lang][TITLE], 'text': TEXTS[lang][text_id], 'buttons': BUTTONS[lang]['ok'],
            'icon': False}


def transcript(exit_code, *boxes):
    return {'boxes': list(boxes), 'exit': exit_code, 'timeout': False, 'killed': False}


class Value:
    """One stored registry value: its type and its exact bytes."""

    def __init__(self, type_, data):
        self.type, self.data = type_, bytes(data)

    def __eq__(self, other):
        return isinstance(other, Value) and (self.type, self.data) == (other.type, other.data)

    def __hash__(self):
        return hash((self.type, self.data))

    def __repr__(self):
        even = self.data[:len(self.data) // 2 * 2]
        text = even.decode('utf-16-le', 'surrogatepass')
        odd = ' +%02x' % self.data[-1] if len(self.data) % 2 else ''
        return '%s(%r%s)' % (TYPE_NAMES.get(self.type, self.type), text, odd)


def sz(text, type_=REG_SZ, terminated=True):
    """A string value as it is stored: UTF-16LE, with or without its NUL."""
    data = text.encode('utf-16-le', 'surrogatepass')
    return Value(type_, data + (b'\0\0' if terminated else b''))


def multi(*strings):
    return Value(REG_MULTI_SZ, ''.join(s + '\0' for s in strings).encode('utf-16-le') + b'\0\0')


def dword(n):
    return Value(REG_DWORD, n.to_bytes(4, 'little'))


def hex16(text):
    return text.encode('utf-16-le', 'surrogatepass').hex()


class State(dict):
    """The registry as the tests see it: the three targets in every view plus
    whether each key exists.  Unlisted slots are absent."""

    @classmethod
    def of(cls, values):
        state = cls({slot: None for slot in SLOTS})
        state.update({('key', k): False for k in KEYS})
        for slot, value in values.items():
            state[slot] = value
            state[('key', slot[0])] = True
        return state

    def but(self, changes):
        """A copy with some slots replaced: but({('svc', 'ImagePath'): Value(...)})."""
        copy = State(self)
        for slot, value in changes.items():
            copy[slot] = value
            if slot in SLOTS and value is not None:
                copy[('key', slot[0])] = True
        return copy


def run_dir():
    """A directory of this run's own under PREFIXES, locked for as long as this
    process lives; those of earlier runs that nothing holds any more go first.
    Returns (path, lock file), the file to be kept open."""
    os.makedirs(PREFIXES, exist_ok=True)
    # One run at a time looks and creates, so that none takes another's new
    # directory, not yet locked, for a stale one.
    with open(os.path.join(PREFIXES, '.lock'), 'w') as guard:
        fcntl.flock(guard, fcntl.LOCK_EX)
        for name in sorted(os.listdir(PREFIXES)):
            old = os.path.join(PREFIXES, name)
            if not name.startswith('run.') or not os.path.isdir(old):
                continue
            with open(os.path.join(old, 'lock'), 'a') as lock:
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    continue   # a run still going
            for arch in os.listdir(old):
                if os.path.exists(os.path.join(old, arch, 'system.reg')):
                    subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=os.path.join(old, arch)),
                                   **QUIET)
            shutil.rmtree(old, ignore_errors=True)
        path = tempfile.mkdtemp(prefix='run.', dir=PREFIXES)
        lock = open(os.path.join(path, 'lock'), 'w')
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return path, lock


@contextlib.contextmanager
def prefixes_of_run(specs, reuse=False):
    """[Prefix] for the (name, WINEARCH) specs, ready for the tests, in a
    folder of this run's own (or, with reuse, kept from an earlier run); on
    every path out, their Wine programs and servers end and the folder goes."""
    if reuse:
        base, lock = os.path.join(PREFIXES, 'reuse'), None
    else:
        base, lock = run_dir()
    prefixes = [Prefix(name, arch, base) for name, arch in specs]
    try:
        make_ready(prefixes, reuse=reuse)
        yield prefixes
    finally:
        close_run(prefixes, base, lock)


def make_ready(prefixes, reuse=False):
    """Builds the prefixes side by side, then readies each for the tests."""
    builds = [p.create(reuse=reuse) for p in prefixes]
    for prefix, build in zip(prefixes, builds):
        if build and build.wait() != 0:
            raise RuntimeError('wineboot failed for %s' % prefix.path)
        prefix.finish()


def close_run(prefixes, base, lock):
    """Ends every Wine process of the prefixes and removes the run's folder
    (kept when there is no lock: --reuse)."""
    # No second interruption may skip the clean-up or the closing line.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    for prefix in prefixes:
        try:
            prefix.stop()
        except Exception:
            traceback.print_exc()
    if lock:
        shutil.rmtree(base, ignore_errors=True)
        lock.close()


class Prefix:
    """One fresh Wine prefix with its own persistent wineserver."""

    def __init__(self, name, arch, base=PREFIXES):
        self.path = os.path.join(base, name)
        self.arch = arch
        self.name = name

    def env(self, lang='en', debug='-all'):
        env = dict(os.environ)
        env.pop('LANGUAGE', None)
        env.update(WINEPREFIX=self.path, WINEARCH=self.arch, WINEDEBUG=debug,
                   WINEDLLOVERRIDES='mscoree,mshtml=', LC_ALL=LOCALES[lang])
        return env

    def create(self, reuse=False):
        """Starts building the prefix; returns the process to wait for."""
        if reuse and os.path.exists(os.path.join(self.path, 'system.reg')):
            self.start_server()
            return None
        if os.path.exists(self.path):
            self.stop()   # a server left by an interrupted run (--reuse only)
            shutil.rmtree(self.path)
        os.makedirs(self.path)
        self.start_server()
        return subprocess.Popen(['wine', 'wineboot', '-i'], env=self.env(), **QUIET)

    def start_server(self):
        subprocess.run(['wineserver', '-p%d' % SERVER_LINGER], env=self.env(), check=True, **QUIET)

    def finish(self):
        # Without a window manager (Xvfb), a managed window that closes makes
        # Wine wait two seconds for the withdrawal; unmanaged windows do not.
        subprocess.run(['wine', 'reg', 'add', r'HKCU\Software\Wine\X11 Driver', '/v', 'Managed',
                        '/d', 'N', '/f'], env=self.env(), check=True, **QUIET)
        # A copy under a path with a blank, for quoted program names.
        self.spaced_dir = os.path.join(self.path, 'drive_c', 'Velquist Test')
        os.makedirs(self.spaced_dir, exist_ok=True)
        shutil.copy(VELQUIST, self.spaced_dir)
        self.spaced_exe = SPACED_EXE

    def stop(self):
        """Ends every Wine process of the prefix, its server last."""
        # -w: the server saves the registry into the prefix as it goes.
        subprocess.run(['wineserver', '-k'], env=self.env(), **QUIET)
        subprocess.run(['wineserver', '-w'], env=self.env(), timeout=120, **QUIET)

    def kill_all(self):
        """After a driver that did not end in time: its velquist.exe, or any
        other program it started, must not outlive the case (a run still
        holding the mutexes would fail every later case). The prefix's server
        ends them all; a new one takes over."""
        self.stop()
        self.start_server()

    # -- the driver --------------------------------------------------------

    # Bounds a hang of the driver, not a speed: well above a run's own bound
    # (run_command) plus Wine's start on a slow or emulating host.
    def driver(self, *args, stdin='', lang='en', debug='-all', timeout=300):
        """Runs one driver command; returns (JSON lines, stderr)."""
        # Files, not pipes: a Wine process started on the way (explorer.exe for
        # the desktop) inherits them and may outlive the driver.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                subprocess.run(['wine', DRIVER] + list(args), input=stdin.encode(),
                               env=self.env(lang, debug), stdout=out, stderr=err, timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill_all()
                raise
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read().decode(), err.read().decode('utf-8', 'replace')
        lines = [json.loads(l) for l in stdout.splitlines() if l.startswith('{')]
        errors = [l for l in lines if 'error' in l]
        if errors:
            raise RuntimeError('driver %s: %s' % (args[0], errors))
        return lines, stderr

    def batch(self, commands, lang='en'):
        text = ''.join('\t'.join(c) + '\n' for c in commands)
        return self.driver('batch', stdin=text, lang=lang)[0]

    def popen(self, *args, lang='en'):
        """A driver command that keeps running (a lock holder, a run answered
        from stdin): its JSON lines are read as they come."""
        return Driver(subprocess.Popen(['wine', DRIVER] + list(args), stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       env=self.env(lang)), self)

    # -- registry ----------------------------------------------------------

    @staticmethod
    def reset_commands():
        return [('delkey', '32', UNINSTALL), ('delkey', '64', UNINSTALL), ('delkey', '64', SERVICE)]

    @staticmethod
    def seed_commands(values):
        commands = []
        for slot, value in values.items():
            view, key = SLOTS[slot]
            commands.append(('set', view, key, slot[1], str(value.type), value.data.hex()))
        return commands

    @staticmethod
    def read_commands():
        return [('get', SLOTS[slot][0], SLOTS[slot][1], slot[1]) for slot in SLOTS]

    @staticmethod
    def state_from(replies):
        """The registry state from the replies to read_commands(), in order."""
        state = State()
        for slot, reply in zip(SLOTS, replies):
            state[slot] = Value(reply['type'], bytes.fromhex(reply['hex'])) if reply['exists'] else None
            state[('key', slot[0])] = reply['key']
        return state

    def seed(self, values, extra=()):
        self.batch(self.reset_commands() + self.seed_commands(values) + list(extra))

    def state(self):
        return self.state_from(self.batch(self.read_commands()))

    # -- runs --------------------------------------------------------------

    # The driver's bound for one run of velquist.exe, which then ends it: only
    # a box left unanswered should meet it, so it leaves a slow host room.
    def run_command(self, cmdline, answers=(), exe=None, timeout_ms=60000):
        return ('run', exe or self.velquist, hex16(cmdline), ','.join(answers) or '-', str(timeout_ms))

    @property
    def velquist(self):
        return 'Z:' + VELQUIST.replace('/', '\\')

    def run(self, cmdline='velquist.exe /s', answers=(), lang='en', exe=None, debug='-all'):
        """One run of velquist.exe; returns its transcript (and stderr when traced)."""
        lines, stderr = self.driver(*self.run_command(cmdline, answers, exe), lang=lang, debug=debug)
        result = normalise(lines[-1])
        return (result, stderr) if debug != '-all' else result

    def scenario(self, values, cmdline='velquist.exe /s', answers=(), lang='en', extra=()):
        """Reset, seed, run, read back, in one driver process: (transcript, state)."""
        commands = (self.reset_commands() + self.seed_commands(values) + list(extra) +
                    [self.run_command(cmdline, answers)] + self.read_commands())
        replies = self.batch(commands, lang=lang)
        runs = [r for r in replies if r.get('op') == 'run']
        return normalise(runs[0]), self.state_from(replies[-len(SLOTS):])


def box_of(event):
    """The box of a driver's box event, without its timing."""
    return {k: v for k, v in event['box'].items() if k != 'at'}


def normalise(run):
    """A run's transcript without its timings."""
    result = {'boxes': [{k: v for k, v in box.items() if k != 'at'} for box in run['boxes']],
              'exit': run['exit'], 'timeout': run['timeout'], 'killed': run['killed']}
    if 'problem' in run:
        result['problem'] = run['problem']
    return result


TRACE = '-all,trace+reg,+pid'
_TRACE_LINE = re.compile(r'^([0-9a-f]+):([0-9a-f]+):trace:reg:(\w+) (.*)$')
_TARGET_NAMES = (UNINSTALL_STRING, DISPLAY_ICON, IMAGE_PATH)


# Wine's debugstr_w: \n \r \t \" \\ and, for any other character outside
# printable ASCII, a backslash and four hex digits (not Python's \xNN).
_ESCAPE = re.compile(r'\\(?:([0-9a-f]{4})|(.))')
_ESCAPED = {'n': '\n', 'r': '\r', 't': '\t'}


def _unescape(text):
    return _ESCAPE.sub(lambda m: chr(int(m.group(1), 16)) if m.group(1) else _ESCAPED.get(m.group(2), m.group(2)),
                       text)


def registry_log(stderr):
    """What a traced run did to the target keys, from Wine's registry trace:
    ('open', key, access, ok), ('query', value, bytes offered),
    ('create', key, access, ok), ('set', value, type, bytes)."""
    events, pending = [], {}
    for line in stderr.splitlines():
        m = _TRACE_LINE.match(line)
        if not m:
            continue
        thread, call, args = m.group(2), m.group(3), m.group(4)
        if args.startswith('<- ') and thread in pending:
            event = pending.pop(thread)
            events[event] = events[event][:-1] + (args[3:] != '(nil)',)
            continue
        fields = re.match(r'\((.*)\)$', args)
        if not fields:
            continue
        named = re.search(r'L"((?:[^"\\]|\\.)*)"', fields.group(1))
        name = _unescape(named.group(1)) if named else None
        parts = fields.group(1).split(',')
        if call == 'NtOpenKeyEx' and name in (UNINSTALL, SERVICE):
            pending[thread] = len(events)
            events.append(('open', name, int(parts[2], 16), None))
        elif call == 'NtCreateKey' and name in (UNINSTALL, SERVICE):
            pending[thread] = len(events)
            events.append(('create', name, int(parts[4], 16), None))
        elif call == 'RegQueryValueExW' and name in _TARGET_NAMES:
            events.append(('query', name, int(parts[-1].split('=')[1])))
        elif call == 'NtSetValueKey' and name in _TARGET_NAMES:
            events.append(('set', name, int(parts[2]), int(parts[4])))
    return events


class Driver:
    """A driver process that the test talks to while it runs.  Its output is
    read by a thread and never waited on to its end: a Wine process started
    on the way may keep the pipe open after the driver has exited."""

    def __init__(self, proc, prefix=None):
        self.proc = proc
        self.prefix = prefix
        self.lines = queue.Queue()
        self.drained = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        """Queues the driver's JSON lines; sets drained once the driver has
        exited and the pipe holds nothing more of what it wrote."""
        fd = self.proc.stdout.fileno()
        rest = b''
        while True:
            exited = self.proc.poll() is not None
            # Polls for the driver's exit while the pipe is quiet.
            readable = select.select([fd], [], [], 0 if exited else 0.1)[0]
            chunk = os.read(fd, 65536) if readable else b''
            if not chunk and (exited or readable):
                break
            *lines, rest = (rest + chunk).split(b'\n')
            for line in lines:
                if line.startswith(b'{'):
                    self.lines.put(json.loads(line))
        if rest.startswith(b'{'):
            self.lines.put(json.loads(rest))
        self.drained.set()

    # Bounds a hang, not a speed: a reply may wait on a Wine start.
    def expect(self, timeout=120):
        """The next JSON line."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise RuntimeError('no reply from driver') from None

    def send(self, line):
        self.proc.stdin.write(line.encode() + b'\n')
        self.proc.stdin.flush()

    def finish(self, timeout=120):
        """Closes stdin (which ends a holder), waits for the driver to exit and
        returns the lines it wrote after those already read."""
        self.proc.stdin.close()
        self.proc.wait(timeout=timeout)
        self.drained.wait()
        lines = []
        while not self.lines.empty():
            lines.append(self.lines.get())
        return lines

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            try:
                if not self.proc.stdin.closed:
                    self.proc.stdin.close()
                self.proc.wait(timeout=120)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                # What the driver started (a velquist.exe at its question)
                # must not outlive the case.
                if self.prefix:
                    self.prefix.kill_all()
