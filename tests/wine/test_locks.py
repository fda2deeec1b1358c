"""The two named mutexes against other processes: held, taken by a second
instance, abandoned by a dead owner, and many runs started at once."""

import contextlib
import unittest

import harness
from harness import (GLOBAL_MUTEX, ICON, ICON_FIXED, SETUP, SETUP_FIXED, box_of, INSTANCE_MUTEX, REG_EXPAND_SZ, TRACE, State, message, normalise,
                     question, registry_log, sz, transcript)

SVC = r'C:\Program Files\Example Driver\svc.exe'
SVC_FIXED = r'"C:\Program Files\Example Driver\svc.exe"'

U64, I64, SVC_SLOT = ('64', 'UninstallString'), ('64', 'DisplayIcon'), ('svc', 'ImagePath')
BROKEN = {U64: sz(SETUP), I64: sz(ICON), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}
REPAIRED = State.of(BROKEN).but({U64: sz(SETUP_FIXED), I64: sz(ICON_FIXED),
                                 SVC_SLOT: sz(SVC_FIXED, REG_EXPAND_SZ)})


class HeldLocks(unittest.TestCase):
    BLOCKING = [('session', INSTANCE_MUTEX), ('session, spelt Local\\', 'Local\\' + INSTANCE_MUTEX),
                ('global', GLOBAL_MUTEX)]

    def test_a_lock_held_by_another_process_fails_the_run_before_any_registry_access(self):
        p = harness.P64
        runs = [('velquist.exe /s', [], 'en', transcript(1)),
                ('velquist.exe', ['ok'], 'en', transcript(1, message(106))),
                ('velquist.exe', ['ok'], 'ja', transcript(1, message(106, 'ja')))]
        for lock, name in self.BLOCKING:
            p.seed(BROKEN)
            with p.popen('hold', name) as holder:
                self.assertEqual(holder.expect()['mutexes'], {name: 'object_0'})
                for cmdline, answers, lang, expected in runs:
                    with self.subTest(lock=lock, cmdline=cmdline, lang=lang):
                        result, stderr = p.run(cmdline, answers, lang=lang, debug=TRACE)
                        self.assertEqual(result, expected)
                        self.assertEqual(registry_log(stderr), [])
                holder.finish()
            with self.subTest(lock=lock, check='registry untouched'):
                self.assertEqual(p.state(), State.of(BROKEN))

    def test_the_same_names_in_the_other_namespace_do_not_block(self):
        p = harness.P64
        for name in ['Global\\' + INSTANCE_MUTEX, GLOBAL_MUTEX.replace('Global\\', ''),
                     GLOBAL_MUTEX.replace('Global\\', 'Local\\')]:
            with self.subTest(name=name):
                p.seed(BROKEN)
                with p.popen('hold', name) as holder:
                    self.assertEqual(holder.expect()['mutexes'], {name: 'object_0'})
                    self.assertEqual(p.run('velquist.exe /s'), transcript(0))
                    holder.finish()
                self.assertEqual(p.state(), REPAIRED)

    def test_a_second_instance_fails_at_once_while_the_first_asks(self):
        p = harness.P64
        p.seed(BROKEN)
        with p.popen(*p.run_command('velquist.exe', ['stdin', 'ok'])) as first:
            self.assertEqual(box_of(first.expect()), question())
            for cmdline, answers, expected in [('velquist.exe', ['ok'], transcript(1, message(106))),
                                               ('velquist.exe /s', [], transcript(1))]:
                with self.subTest(second=cmdline):
                    self.assertEqual(p.run(cmdline, answers), expected)
                    self.assertEqual(p.state(), State.of(BROKEN))
            first.send('yes')
            self.assertEqual(normalise(first.finish()[-1]), transcript(0, question(), message(105)))
        self.assertEqual(p.state(), REPAIRED)


class AbandonedLocks(unittest.TestCase):
    def test_an_abandoned_lock_fails_the_next_run_only(self):
        p = harness.P64
        for name in (INSTANCE_MUTEX, GLOBAL_MUTEX):
            with self.subTest(name=name):
                p.seed(BROKEN)
                with p.popen('abandon', name) as keeper:
                    self.assertEqual(keeper.expect(), {'op': 'abandon', 'ok': True})
                    self.assertEqual(p.run('velquist.exe', ['ok']), transcript(1, message(106)))
                    self.assertEqual(p.state(), State.of(BROKEN))
                    self.assertEqual(p.run('velquist.exe /s'), transcript(0))
                    keeper.finish()
                self.assertEqual(p.state(), REPAIRED)

    def test_a_run_killed_while_it_asks_leaves_its_locks_abandoned_and_nothing_half_written(self):
        # A lock is abandoned only while another process keeps the mutex open;
        # otherwise it dies with its owner. A run that meets an abandoned lock
        # releases it but stops there, so when both were abandoned the first
        # lock fails one run and the second lock the next.
        p = harness.P64
        for kept, following in [([INSTANCE_MUTEX, GLOBAL_MUTEX], [1, 1, 0]),
                                ([INSTANCE_MUTEX], [1, 0]), ([GLOBAL_MUTEX], [1, 0]), ([], [0])]:
            with self.subTest(kept_open=kept):
                p.seed(BROKEN)
                with p.popen('open', *kept) as keeper:
                    keeper.expect()
                    killed = p.run('velquist.exe', ['kill'])
                    self.assertEqual(killed, dict(transcript(None, question()), killed=True))
                    self.assertEqual(p.state(), State.of(BROKEN))
                    codes = [p.run('velquist.exe /s')['exit'] for _ in following]
                    self.assertEqual(codes, following)
                    keeper.finish()
                self.assertEqual(p.state(), REPAIRED)
                for name in (INSTANCE_MUTEX, GLOBAL_MUTEX):
                    self.assertEqual(p.driver('probe', name)[0][0]['wait'], 'object_0')


class ManyRuns(unittest.TestCase):
    def test_of_runs_started_together_only_one_reaches_the_question(self):
        # Each run that got past the locks would hold its question box open
        # until answered, so while none is answered every other run must
        # already have failed. Without the locks each of them asks.
        p = harness.P64
        count = 4
        p.seed(BROKEN)
        with contextlib.ExitStack() as stack:
            runs = [stack.enter_context(p.popen(*p.run_command('velquist.exe', ['stdin', 'stdin'],
                                                                 timeout_ms=180000)))
                    for _ in range(count)]
            stack.callback(_kill_waiting, runs)
            firsts = [box_of(r.expect(timeout=180)) for r in runs]
            expected = [question()] + [message(106)] * (count - 1)
            self.assertEqual(sorted(b['text'] for b in firsts), sorted(b['text'] for b in expected))
            self.assertCountEqual(firsts, expected)
            self.assertEqual(p.state(), State.of(BROKEN))  # the losers wrote nothing
            results = []
            for run, first in zip(runs, firsts):
                if first == question():
                    run.send('yes')
                    self.assertEqual(box_of(run.expect(timeout=180)), message(105))
                run.send('ok')
                results.append(normalise(run.finish(timeout=180)[-1]))
        self.assertEqual(sorted(r['exit'] for r in results), [0] + [1] * (count - 1))
        self.assertEqual(p.state(), REPAIRED)

    def test_runs_started_together_repair_each_value_exactly_once(self):
        p = harness.P64
        for count in (16, 8, 12):
            with self.subTest(count=count):
                p.seed(BROKEN)
                commands = [('runmany', p.velquist, harness.hex16('velquist.exe /s'), str(count))]
                commands += p.read_commands()
                # The runs inherit the driver's stderr, so the trace holds every run's writes.
                replies, stderr = p.driver('batch', stdin=''.join('\t'.join(c) + '\n' for c in commands),
                                           debug=TRACE)
                exits = replies[0]['exits']
                self.assertEqual(len(exits), count)
                self.assertLessEqual(set(exits), {0, 1, 3}, exits)
                self.assertIn(0, exits)
                writes = sorted(e[1] for e in registry_log(stderr) if e[0] == 'set')
                self.assertEqual(writes, ['DisplayIcon', 'ImagePath', 'UninstallString'])
                self.assertEqual(p.state_from(replies[1:]), REPAIRED)


def _kill_waiting(runs):
    """Ends the runs still waiting for an answer when a check failed."""
    for run in runs:
        if run.proc.poll() is None and not run.proc.stdin.closed:
            try:
                run.send('kill')
            except OSError:
                pass
