"""The two named mutexes against other processes: held, taken by a second
instance, abandoned by a dead owner, and many runs started at once."""

import contextlib

import pytest

import harness
from facts import FAILED, GLOBAL_MUTEX, ICON, ICON_FIXED, INSTANCE_MUTEX, MODIFIED, SETUP, SETUP_FIXED
from facts import SERVICE_FIXED as SVC_FIXED, SERVICE_VALUE as SVC
from harness import (box_of, REG_EXPAND_SZ, TRACE, State, message, normalise, question, registry_log, sz,
                     transcript)

U64, I64, SVC_SLOT = ('64', 'UninstallString'), ('64', 'DisplayIcon'), ('svc', 'ImagePath')
BROKEN = {U64: sz(SETUP), I64: sz(ICON), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}
REPAIRED = State.of(BROKEN).but({U64: sz(SETUP_FIXED), I64: sz(ICON_FIXED),
                                 SVC_SLOT: sz(SVC_FIXED, REG_EXPAND_SZ)})


BLOCKING = [('session', INSTANCE_MUTEX), ('session, spelt Local\\', 'Local\\' + INSTANCE_MUTEX),
            ('global', GLOBAL_MUTEX)]
BLOCKED_RUNS = [('velquist.exe /s', [], 'en', transcript(1)),
                ('velquist.exe', ['ok'], 'en', transcript(1, message(FAILED))),
                ('velquist.exe', ['ok'], 'ja', transcript(1, message(FAILED, 'ja')))]


@pytest.mark.parametrize('name', [n for _, n in BLOCKING], ids=[lock for lock, _ in BLOCKING])
@pytest.mark.parametrize('cmdline,answers,lang,expected', BLOCKED_RUNS,
                         ids=['%s %s' % (r[0], r[2]) for r in BLOCKED_RUNS])
def test_a_lock_held_by_another_process_fails_the_run_before_any_registry_access(
        p64, name, cmdline, answers, lang, expected):
    p64.seed(BROKEN)
    with p64.popen('hold', name) as holder:
        assert holder.expect()['mutexes'] == {name: 'object_0'}
        result, stderr = p64.run(cmdline, answers, lang=lang, debug=TRACE)
        assert result == expected
        assert registry_log(stderr) == []
        holder.finish()
    assert p64.state() == State.of(BROKEN)


@pytest.mark.parametrize('name', ['Global\\' + INSTANCE_MUTEX, GLOBAL_MUTEX.replace('Global\\', ''),
                                  GLOBAL_MUTEX.replace('Global\\', 'Local\\')])
def test_the_same_names_in_the_other_namespace_do_not_block(p64, name):
    p64.seed(BROKEN)
    with p64.popen('hold', name) as holder:
        assert holder.expect()['mutexes'] == {name: 'object_0'}
        assert p64.run('velquist.exe /s') == transcript(0)
        holder.finish()
    assert p64.state() == REPAIRED


@pytest.mark.parametrize('cmdline,answers,expected', [('velquist.exe', ['ok'], transcript(1, message(FAILED))),
                                                      ('velquist.exe /s', [], transcript(1))],
                         ids=['second asks', 'second silent'])
def test_a_second_instance_fails_at_once_while_the_first_asks(p64, cmdline, answers, expected):
    p64.seed(BROKEN)
    with p64.popen(*p64.run_command('velquist.exe', ['stdin', 'ok'])) as first:
        assert box_of(first.expect()) == question()
        assert p64.run(cmdline, answers) == expected
        assert p64.state() == State.of(BROKEN)
        first.send('yes')
        assert normalise(first.finish()[-1]) == transcript(0, question(), message(MODIFIED))
    assert p64.state() == REPAIRED


@pytest.mark.parametrize('name', [INSTANCE_MUTEX, GLOBAL_MUTEX])
def test_an_abandoned_lock_fails_the_next_run_only(p64, name):
    p64.seed(BROKEN)
    with p64.popen('abandon', name) as keeper:
        assert keeper.expect() == {'op': 'abandon', 'ok': True}
        assert p64.run('velquist.exe', ['ok']) == transcript(1, message(FAILED))
        assert p64.state() == State.of(BROKEN)
        assert p64.run('velquist.exe /s') == transcript(0)
        keeper.finish()
    assert p64.state() == REPAIRED


# A lock is abandoned only while another process keeps the mutex open;
# otherwise it dies with its owner. A run that meets an abandoned lock
# releases it but stops there, so when both were abandoned the first lock
# fails one run and the second lock the next.
@pytest.mark.parametrize('kept,following', [([INSTANCE_MUTEX, GLOBAL_MUTEX], [1, 1, 0]),
                                            ([INSTANCE_MUTEX], [1, 0]), ([GLOBAL_MUTEX], [1, 0]), ([], [0])],
                         ids=['both kept open', 'session lock kept open', 'global lock kept open',
                              'none kept open'])
def test_a_run_killed_while_it_asks_leaves_its_locks_abandoned_and_nothing_half_written(p64, kept, following):
    p64.seed(BROKEN)
    with p64.popen('open', *kept) as keeper:
        keeper.expect()
        killed = p64.run('velquist.exe', ['kill'])
        assert killed == dict(transcript(None, question()), killed=True)
        assert p64.state() == State.of(BROKEN)
        codes = [p64.run('velquist.exe /s')['exit'] for _ in following]
        assert codes == following
        keeper.finish()
    assert p64.state() == REPAIRED
    for name in (INSTANCE_MUTEX, GLOBAL_MUTEX):
        assert p64.driver('probe', name)[0][0]['wait'] == 'object_0'


def test_of_runs_started_together_only_one_reaches_the_question(p64):
    # Each run that got past the locks would hold its question box open
    # until answered, so while none is answered every other run must
    # already have failed. Without the locks each of them asks.
    p = p64
    count = 4
    p.seed(BROKEN)
    with contextlib.ExitStack() as stack:
        runs = [stack.enter_context(p.popen(*p.run_command('velquist.exe', ['stdin', 'stdin'],
                                                             timeout_ms=180000)))
                for _ in range(count)]
        stack.callback(_kill_waiting, runs)
        firsts = [box_of(r.expect(timeout=180)) for r in runs]
        expected = [question()] + [message(FAILED)] * (count - 1)
        assert sorted(b['text'] for b in firsts) == sorted(b['text'] for b in expected)
        assert sorted(firsts, key=repr) == sorted(expected, key=repr)
        assert p.state() == State.of(BROKEN)  # the losers wrote nothing
        results = []
        for run, first in zip(runs, firsts):
            if first == question():
                run.send('yes')
                assert box_of(run.expect(timeout=180)) == message(MODIFIED)
            run.send('ok')
            results.append(normalise(run.finish(timeout=180)[-1]))
    assert sorted(r['exit'] for r in results) == [0] + [1] * (count - 1)
    assert p.state() == REPAIRED


@pytest.mark.parametrize('count', [16, 8, 12])
def test_runs_started_together_repair_each_value_exactly_once(p64, count):
    p = p64
    p.seed(BROKEN)
    commands = [('runmany', p.velquist, harness.hex16('velquist.exe /s'), str(count))]
    commands += p.read_commands()
    # The runs inherit the driver's stderr, so the trace holds every run's writes.
    replies, stderr = p.driver('batch', stdin=''.join('\t'.join(c) + '\n' for c in commands), debug=TRACE)
    exits = replies[0]['exits']
    assert len(exits) == count
    assert set(exits) <= {0, 1, 3}, exits
    assert 0 in exits
    writes = sorted(e[1] for e in registry_log(stderr) if e[0] == 'set')
    assert writes == ['DisplayIcon', 'ImagePath', 'UninstallString']
    assert p.state_from(replies[1:]) == REPAIRED


def _kill_waiting(runs):
    """Ends the runs still waiting for an answer when a check failed."""
    for run in runs:
        if run.proc.poll() is None and not run.proc.stdin.closed:
            try:
                run.send('kill')
            except OSError:
                pass
