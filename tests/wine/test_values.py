"""Stored values on the real registry: types, terminators, lengths, views, the
matching rule on many texts, and the 32-bit system."""

import os
import random

import pytest

import harness
import oracle
from facts import MODIFIED, SERVICE, SETUP_PATH as HEAD, UNINSTALL
from harness import (REG_BINARY, REG_EXPAND_SZ, REG_MULTI_SZ, REG_SZ, TRACE, State, Value, dword, multi,
                     registry_log, sz, transcript)

U32, I32 = ('32', 'UninstallString'), ('32', 'DisplayIcon')
U64, I64 = ('64', 'UninstallString'), ('64', 'DisplayIcon')
SVC = ('svc', 'ImagePath')


def fixed(group1, group2='', type_=REG_SZ):
    """What a repair writes: group 1 in quotes, group 2 as it was, one NUL."""
    return sz('"%s"%s' % (group1, group2), type_)


def long_args(length):
    """The setup path with arguments, padded to exactly `length` characters."""
    return ' -' + 'a' * (length - len(HEAD) - 2)


# name, seed, exit code of a silent run, values it must have written
STORED_FORMS = [
    ('no terminator, 64-bit view', {U64: sz(HEAD + ' -x', terminated=False)}, 0,
     {U64: fixed(HEAD, ' -x')}),
    ('no terminator, default view', {U32: sz(HEAD + ' -x', terminated=False)}, 0,
     {U32: fixed(HEAD, ' -x')}),
    ('odd byte count: the half character is not text',
     {U64: Value(REG_SZ, sz(HEAD + ' -x', terminated=False).data + b'A')}, 0,
     {U64: fixed(HEAD, ' -x')}),
    ('odd byte after the terminator', {U64: Value(REG_SZ, sz(HEAD).data + b'A')}, 0,
     {U64: fixed(HEAD)}),
    # Wine terminates a short string read in place, but not at an odd
    # offset: only the byte count keeps the binary value's bytes out.
    ('bytes left by a failed first read never become text',
     {U32: Value(REG_BINARY, b'A' * 520),
      U64: Value(REG_SZ, sz('C:\\A B.exe', terminated=False).data + b'A')}, 0,
     {U64: fixed('C:\\A B.exe')}),
    ('text ends at the first NUL', {U64: sz(HEAD + ' -x\0tail')}, 0, {U64: fixed(HEAD, ' -x')}),
    ('multi-string: first string kept, table type written',
     {U64: multi(HEAD + ' -x', 'second'), SVC: multi(HEAD + ' -k', 'net')}, 0,
     {U64: fixed(HEAD, ' -x'), SVC: fixed(HEAD, ' -k', REG_EXPAND_SZ)}),
    ('written with the table type, not the stored one',
     {U64: sz(HEAD, REG_EXPAND_SZ), SVC: sz(HEAD)}, 0,
     {U64: fixed(HEAD), SVC: fixed(HEAD, '', REG_EXPAND_SZ)}),
    ('icon index and arguments', {I32: sz(HEAD + ',0'), U32: sz(HEAD + ' "arg one" /q')}, 0,
     {I32: fixed(HEAD, ',0'), U32: fixed(HEAD, ' "arg one" /q')}),
    ('environment reference kept as text',
     {SVC: sz(r'%ProgramFiles%\Example Driver\svc.exe', REG_EXPAND_SZ)}, 0,
     {SVC: fixed(r'%ProgramFiles%\Example Driver\svc.exe', '', REG_EXPAND_SZ)}),
    ('259 characters and NUL fit', {U64: sz(HEAD + long_args(259)),
                                    SVC: sz(HEAD + long_args(259), REG_EXPAND_SZ)}, 0,
     {U64: fixed(HEAD, long_args(259)), SVC: fixed(HEAD, long_args(259), REG_EXPAND_SZ)}),
    ('260 characters without NUL fit', {U32: sz(HEAD + long_args(260), terminated=False)}, 0,
     {U32: fixed(HEAD, long_args(260))}),
    ('260 characters and NUL, default view only: not found',
     {U32: sz(HEAD + long_args(260))}, 2, {}),
    ('260 characters and NUL, 64-bit view only: unreadable',
     {U64: sz(HEAD + long_args(260))}, 2, {}),
    ('260 characters and NUL in the service key: unreadable',
     {SVC: sz(HEAD + long_args(260), REG_EXPAND_SZ)}, 2, {}),
    ('an unreadable value leaves the others to be repaired',
     {U32: sz(HEAD + long_args(300)), SVC: sz(HEAD, REG_EXPAND_SZ)}, 0,
     {SVC: fixed(HEAD, '', REG_EXPAND_SZ)}),
    ('too long in the default view, repairable in the 64-bit view',
     {U32: sz(HEAD + long_args(300)), U64: sz(HEAD + ' /64')}, 0, {U64: fixed(HEAD, ' /64')}),
    ('number in the value', {U64: dword(1), SVC: dword(2)}, 2, {}),
    ('binary holding the text', {U64: Value(REG_BINARY, sz(HEAD).data)}, 2, {}),
    ('number in the default view, text in the 64-bit view', {U32: dword(1), U64: sz(HEAD)}, 0,
     {U64: fixed(HEAD)}),
    ('both views hold the value: the default view is repaired',
     {U32: sz(HEAD + ' /32'), U64: sz(HEAD + ' /64')}, 0, {U32: fixed(HEAD, ' /32')}),
    ('quoted in the default view: the 64-bit view is not looked at',
     {U32: fixed(HEAD), U64: sz(HEAD)}, 3, {}),
    ('empty string', {U64: sz('')}, 3, {}),
    ('no bytes at all', {U64: Value(REG_SZ, b'')}, 3, {}),
    ('empty multi-string', {SVC: Value(REG_MULTI_SZ, b'\0\0')}, 3, {}),
]


@pytest.mark.parametrize('seed,code,changes', [c[1:] for c in STORED_FORMS], ids=[c[0] for c in STORED_FORMS])
def test_stored_form(p64, seed, code, changes):
    run, state = p64.scenario(seed)
    assert run == transcript(code)
    assert state == State.of(seed).but(changes)


def test_key_without_the_value_in_the_default_view(p64):
    # The default view's key exists but lacks the value: the 64-bit view is
    # still asked, and only the view where the value was found is written.
    seed = {U64: sz(HEAD + ' -x')}
    other = ('set', '32', UNINSTALL, 'Publisher', str(REG_SZ), sz('Example').data.hex())
    run, state = p64.scenario(seed, extra=[other])
    assert run == transcript(0)
    assert state == State.of(seed).but({U64: fixed(HEAD, ' -x'), ('key', '32'): True})


# The examples of the rule, run through the real program (group 1, group 2),
# or None where nothing may change.  \s is what GetStringTypeW calls space or
# blank, so U+00A0, U+3000, U+2028 and U+FEFF (C1_BLANK on Wine) separate too.
EXAMPLES = [
    (r'C:\Program Files\Example Driver\setup.exe -uninstall',
     (r'C:\Program Files\Example Driver\setup.exe', ' -uninstall')),
    (r'C:\Program Files\Example Driver\setup.exe,0', (r'C:\Program Files\Example Driver\setup.exe', ',0')),
    (r'C:\Program Files\Example Driver\svc.EXE', (r'C:\Program Files\Example Driver\svc.EXE', '')),
    (r'C:\Program Files\Example Driver\setup.exe "arg one"',
     (r'C:\Program Files\Example Driver\setup.exe', ' "arg one"')),
    (r'C:\Tools\run.exe -config C:\Data Files\x.exe', (r'C:\Tools\run.exe -config C:\Data Files\x.exe', '')),
    (r'C:\Program Files\Example Driver\a.executor\run.bat',
     (r'C:\Program Files\Example Driver\a.exe', r'cutor\run.bat')),
    (r'"C:\Program Files\Example Driver\setup.exe" -uninstall', None),
    (r'C:\PROGRA~1\EXAMPL~1\setup.exe -uninstall', None),
    (r'system32\drivers\example.sys', None),
    (' C:\\x.exe', (' C:\\x.exe', '')),
    ('\tC:\\x.eXe /q', ('\tC:\\x.eXe', ' /q')),
    ('C:\\Program\u3000Files\\a.exe', ('C:\\Program\u3000Files\\a.exe', '')),
    ('C:\\Program\u00a0Files\\a.exe -x', ('C:\\Program\u00a0Files\\a.exe', ' -x')),
    ('C:\\Program\u2028Files\\a.exe', ('C:\\Program\u2028Files\\a.exe', '')),
    ('C:\\Program\ufeffFiles\\a.exe', ('C:\\Program\ufeffFiles\\a.exe', '')),
    ('C:\\Program\u200bFiles\\a.exe', None),
    ('C:\\Program Files\\a.exe\u2028tail\u2029', ('C:\\Program Files\\a.exe', '\u2028tail\u2029')),
    ('C:\\Program Files\\a.exe\u0085', ('C:\\Program Files\\a.exe', '\u0085')),
    ('C:\\Program Files\\a.exe\ntail', None),
    ('C:\\Program Files\\a.exe -x\r', None),
    ('C:\\Pro\ngram\\a.exe x', ('C:\\Pro\ngram\\a.exe', ' x')),
    ('C:\\Program Files\\a.exe x\n b.exe', ('C:\\Program Files\\a.exe x\n b.exe', '')),
    ('C:\\Program Files\\a.exe "x" b.exe', ('C:\\Program Files\\a.exe', ' "x" b.exe')),
    ('C:\\Program Files\\a.EXE.bak', ('C:\\Program Files\\a.EXE', '.bak')),
    ('C:\\Program Files\\a\uff0eexe', None),
    ('C:\\Program Files\\a\ud800.exe \udfff', ('C:\\Program Files\\a\ud800.exe', ' \udfff')),
    ('a .exe', ('a .exe', '')),
    (' .exe', (' .exe', '')),
    ('.exe ', None),
]


def check_texts(p, texts, expected, views):
    """Runs silently with up to three texts (uninstall pair in `views`[i],
    service) and checks every value against `expected`."""
    slots = [(views[0], 'UninstallString'), (views[1], 'DisplayIcon'), SVC]
    seed, changes = {}, {}
    for slot, text, result in zip(slots, texts, expected):
        type_ = REG_EXPAND_SZ if slot == SVC else REG_SZ
        seed[slot] = sz(text, type_)
        if result is not None:
            changes[slot] = sz(result, type_)
    run, state = p.scenario(seed)
    assert run == transcript(0 if changes else 3)
    assert state == State.of(seed).but(changes)


@pytest.mark.parametrize('text,groups', EXAMPLES, ids=[ascii(t) for t, _ in EXAMPLES])
def test_example(p64, is_space, text, groups):
    result = None if groups is None else '"%s"%s' % groups
    assert oracle.split(text, is_space) == groups  # the oracle agrees
    check_texts(p64, [text], [result], ['64', '64'])


ALPHABET = ['C:\\', 'Program', ' ', ' ', '\t', '\n', '\r', '"', '.', 'e', 'E', 'x', 'X', '.exe',
            '.EXE', '.eXe', '.ex', ',0', '-', 'a', '\u00a0', '\u3000', '\u2028', '\u2029', '\u0085',
            '\u200b', '\ufeff', '\u1680', '\u000b', '\u001c', '\ud800', '\uff0e']


def generate(rng):
    return ''.join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 24)))


@pytest.fixture(scope='session')
def is_space(prefixes):
    """White space as the platform's character-type table has it, for every
    character the texts use."""
    chars = sorted({c for piece in ALPHABET for c in piece} |
                   {c for text, _ in EXAMPLES for c in text})
    bits = prefixes['64'].driver('ctype', harness.hex16(''.join(chars)))[0][0]['bits']
    C1_SPACE, C1_BLANK = 0x8, 0x40
    table = {c: bool(b & (C1_SPACE | C1_BLANK)) for c, b in zip(chars, bits)}
    # The table must be the platform's, not an empty answer.
    assert table[' '] and table['\t'] and not table['a']
    return lambda c: table[c]


def generated_rounds():
    """Thirty rounds of three texts and the views of the uninstall pair,
    the same for a seed on every run (VQ_SEED picks another)."""
    seed = int(os.environ.get('VQ_SEED', '20261209'))
    rng = random.Random(seed)
    rounds = []
    for round_ in range(30):
        texts = [generate(rng) for _ in range(3)]
        views = rng.choice([('32', '32'), ('64', '64'), ('32', '64'), ('64', '32')])
        rounds.append(pytest.param(texts, views, id='seed %d round %d' % (seed, round_)))
    return rounds


@pytest.mark.parametrize('texts,views', generated_rounds())
def test_generated_texts_against_the_rule(p64, is_space, texts, views):
    check_texts(p64, texts, [oracle.repair(t, is_space) for t in texts], views)


# WINEARCH=win32: one registry view, and no second read.
THIRTY_TWO_BIT_SEED = {U32: sz(HEAD + ' -x'), I32: sz(HEAD + ',0'), SVC: sz(HEAD, REG_EXPAND_SZ)}


@pytest.mark.parametrize('cmdline,answers,expected', [
    ('velquist.exe /s', [], transcript(0)),
    ('velquist.exe', ['yes', 'ok'], transcript(0, harness.question(), harness.message(MODIFIED)))])
def test_32_bit_system_values_are_repaired_in_the_only_view(p32, cmdline, answers, expected):
    seed = THIRTY_TWO_BIT_SEED
    repaired = {U32: fixed(HEAD, ' -x'), I32: fixed(HEAD, ',0'), SVC: fixed(HEAD, '', REG_EXPAND_SZ)}
    run, state = p32.scenario(seed, cmdline, answers)
    assert run == expected
    # The 64-bit view flag means nothing here: both readings see the one key.
    assert state == State.of(seed).but(repaired).but(
        {U64: repaired[U32], I64: repaired[I32], ('key', '64'): True})


@pytest.mark.parametrize('system,attempts', [('32', [0x1]), ('64', [0x1, 0x101])])
def test_a_missing_value_is_reported_after_one_read(prefixes, system, attempts):
    p = prefixes[system]
    p.seed({})
    run, stderr = p.run('velquist.exe /s', debug=TRACE)
    assert run == transcript(2)
    assert registry_log(stderr) == [
        ('open', key, access, False) for key in (UNINSTALL, UNINSTALL, SERVICE) for access in attempts]


def test_32_bit_system_a_value_too_long_is_read_once(p32):
    seed = {U32: sz(HEAD + long_args(260))}
    p32.seed(seed)
    run, stderr = p32.run('velquist.exe /s', debug=TRACE)
    assert run == transcript(2)
    assert registry_log(stderr) == [
        ('open', UNINSTALL, 0x1, True), ('query', 'UninstallString', 520),
        ('open', UNINSTALL, 0x1, True), ('query', 'DisplayIcon', 520),
        ('open', SERVICE, 0x1, False)]
    assert p32.state() == State.of(seed).but({U64: seed[U32], ('key', '64'): True})
