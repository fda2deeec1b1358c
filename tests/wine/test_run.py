"""The run from end to end on a 64-bit system: the typical road, every outcome
with its messages in both languages, the silent switch on exact command lines,
and values that change while the question is shown."""

import pytest

import harness
from facts import (ALREADY, EXIT_ALREADY, EXIT_DECLINED, EXIT_FAILED, EXIT_MODIFIED, EXIT_NO_TARGET, FAILED,
                   ICON_FIXED, MODIFIED, NO_TARGET, QUESTION, SERVICE, SETUP, SETUP_FIXED, TEXTS, UNINSTALL)
from facts import SERVICE_FIXED as SVC_FIXED, SERVICE_VALUE as SVC
from harness import (REG_EXPAND_SZ, REG_SZ, TRACE, State, dword, message, normalise, question, registry_log, sz,
                     transcript)

U64 = ('64', 'UninstallString')
I64 = ('64', 'DisplayIcon')
U32 = ('32', 'UninstallString')
I32 = ('32', 'DisplayIcon')
SVC_SLOT = ('svc', 'ImagePath')

# The road of a typical run: the uninstall entry only in the 64-bit view, its
# icon already quoted, the service path unquoted in its shared key.
TYPICAL = {U64: sz(SETUP), I64: sz(ICON_FIXED), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}


def test_silent_run_quotes_each_value_in_the_view_where_it_was_found(p64):
    run, state = p64.scenario(TYPICAL, 'velquist.exe /s')
    assert run == transcript(0)
    assert state == State.of(TYPICAL).but({U64: sz(SETUP_FIXED), SVC_SLOT: sz(SVC_FIXED, REG_EXPAND_SZ)})
    # Nothing was created in the 32-bit view, and the service key is the
    # one key that both views see.
    assert not state[('key', '32')]
    shared = p64.batch([('get', '32', SERVICE, 'ImagePath')])[0]
    assert bytes.fromhex(shared['hex']) == sz(SVC_FIXED).data


def test_registry_is_read_in_the_default_view_first_and_written_where_found(p64):
    p64.seed(TYPICAL)
    run, stderr = p64.run('velquist.exe /s', debug=TRACE)
    assert run == transcript(0)
    read32, read64 = 0x1, 0x101   # KEY_QUERY_VALUE, with KEY_WOW64_64KEY
    missing_then_64 = [('open', UNINSTALL, read32, False), ('open', UNINSTALL, read64, True)]
    assert registry_log(stderr) == [
        # scan pass
        *missing_then_64, ('query', 'UninstallString', 520),
        *missing_then_64, ('query', 'DisplayIcon', 520),
        ('open', SERVICE, read32, True), ('query', 'ImagePath', 520),
        # repair pass: read afresh, write back in the view of the read
        *missing_then_64, ('query', 'UninstallString', 520),
        ('create', UNINSTALL, 0xF003F | 0x100, True),
        ('set', 'UninstallString', REG_SZ, 2 * (len(SETUP_FIXED) + 1)),
        ('open', SERVICE, read32, True), ('query', 'ImagePath', 520),
        ('create', SERVICE, 0xF003F, True),
        ('set', 'ImagePath', REG_EXPAND_SZ, 2 * (len(SVC_FIXED) + 1)),
    ]


# name, seed, extra driver commands after seeding, answers, expected
# transcript (as a function of the language), changes to the seed
OUTCOMES = [
    ('modified', {U64: sz(SETUP), I64: sz(ICON_FIXED)}, [], ['yes', 'ok'],
     lambda l: transcript(EXIT_MODIFIED, question(l), message(MODIFIED, l)), {U64: sz(SETUP_FIXED)}),
    ('write refused', {SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}, [('acl', '64', SERVICE, 'ro')],
     ['yes', 'ok'], lambda l: transcript(EXIT_FAILED, question(l), message(FAILED, l)), {}),
    ('nothing there', {}, [], ['ok'], lambda l: transcript(EXIT_NO_TARGET, message(NO_TARGET, l)), {}),
    ('already quoted', {I64: sz(ICON_FIXED)}, [], ['ok'],
     lambda l: transcript(EXIT_ALREADY, message(ALREADY, l)), {}),
    ('declined', {U64: sz(SETUP), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}, [], ['no'],
     lambda l: transcript(EXIT_DECLINED, question(l)), {}),
]


@pytest.mark.parametrize('lang', ['en', 'ja'])
@pytest.mark.parametrize('seed,extra,answers,expected,changes', [c[1:] for c in OUTCOMES],
                         ids=[c[0] for c in OUTCOMES])
def test_each_outcome_shows_its_message_and_returns_its_code(p64, lang, seed, extra, answers, expected, changes):
    run, state = p64.scenario(seed, 'velquist.exe', answers, lang=lang, extra=extra)
    assert run == expected(lang)
    assert state == State.of(seed).but(changes)


@pytest.mark.parametrize('cmdline,answers,expected', [
    ('velquist.exe', ['yes', 'ok'], transcript(1, question(), message(FAILED))),
    ('velquist.exe /s', [], transcript(1))])
def test_failure_outweighs_a_repair_that_succeeded_and_nothing_is_rolled_back(p64, cmdline, answers, expected):
    seed = {U64: sz(SETUP), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}
    run, state = p64.scenario(seed, cmdline, answers, extra=[('acl', '64', SERVICE, 'ro')])
    assert run == expected
    assert state == State.of(seed).but({U64: sz(SETUP_FIXED)})


@pytest.mark.parametrize('answers,expected,changes', [
    (['close'], transcript(4, question()), {}),
    (['yes', 'close'], transcript(0, question(), message(MODIFIED)), {U64: sz(SETUP_FIXED)})],
    ids=['close', 'yes, close'])
def test_closing_a_box_is_no_consent_and_ends_the_run_with_its_outcome(p64, answers, expected, changes):
    seed = {U64: sz(SETUP)}
    run, state = p64.scenario(seed, 'velquist.exe', answers)
    assert run == expected
    assert state == State.of(seed).but(changes)


def test_an_unreadable_value_does_not_keep_the_others_from_being_repaired(p64):
    seed = {U64: dword(7), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}
    run, state = p64.scenario(seed, 'velquist.exe', ['yes', 'ok'])
    assert run == transcript(0, question(), message(MODIFIED))
    assert state == State.of(seed).but({SVC_SLOT: sz(SVC_FIXED, REG_EXPAND_SZ)})


OTHER = r'C:\Other Place\tool.exe /x'
# name, driver commands while the question is shown, expected transcript, changes
CHANGED_WHILE_ASKED = [
    ('value removed', [('delvalue', '64', UNINSTALL, 'UninstallString')],
     transcript(1, question()), {U64: None}),
    ('quoted by someone else', harness.Prefix.seed_commands({U64: sz(SETUP_FIXED)}),
     transcript(1, question()), {U64: sz(SETUP_FIXED)}),
    ('replaced by another path', harness.Prefix.seed_commands({U64: sz(OTHER)}),
     transcript(0, question(), message(MODIFIED)), {U64: sz(r'"C:\Other Place\tool.exe" /x')}),
    ('replaced by a number', harness.Prefix.seed_commands({U64: dword(1)}),
     transcript(1, question(), message(FAILED)), {U64: dword(1)}),
]


@pytest.mark.parametrize('change,expected,changes', [c[1:] for c in CHANGED_WHILE_ASKED],
                         ids=[c[0] for c in CHANGED_WHILE_ASKED])
def test_the_repair_pass_reads_afresh_what_changed_while_the_question_was_shown(p64, change, expected, changes):
    seed = {U64: sz(SETUP)}
    p64.seed(seed)
    with p64.popen(*p64.run_command('velquist.exe', ['stdin', 'ok'])) as run:
        assert run.expect()['box']['text'] == TEXTS['en'][QUESTION]
        p64.batch(change)
        run.send('yes')
        result = normalise(run.finish()[-1])
    assert result == expected
    assert p64.state() == State.of(seed).but(changes)


# lpCmdLine is what follows the program name (up to the first character at
# or below U+0020 outside double quotes), with U+0001..U+0020 skipped; only
# "-s" or "/s" in either case, exactly, is silent.
SPACED = harness.SPACED_EXE
SILENT = ['velquist.exe /s', 'velquist.exe -s', 'velquist.exe /S', 'velquist.exe -S',
          'velquist.exe\t-s', 'velquist.exe  \t /s', 'velquist.exe \x01\x1f-S',
          'velquist.exe\x0b/s', '"%s" /S' % SPACED, '"%s"\t\t-s' % SPACED,
          'velq"uist .e"xe /s', '"" /s']
INTERACTIVE = ['velquist.exe /s ', 'velquist.exe /s\t', 'velquist.exe --s',
               'velquist.exe /s /s', 'velquist.exe /silent', 'velquist.exe s',
               'velquist.exe', 'velquist.exe ', 'velquist.exe "/s"', 'velquist.exe \\s',
               'velquist.exe /\u017f', 'velquist.exe /\uff53', 'velquist.exe \u3000/s',
               'velquist.exe\u00a0/s', 'velquist.exe\x7f/s', '"%s"/s' % SPACED,
               SPACED + ' /s', '"velquist.exe /s', '"velquist.exe /s"']
SWITCH_TABLE = [(c, True) for c in SILENT] + [(c, False) for c in INTERACTIVE]


@pytest.mark.parametrize('cmdline,silent', SWITCH_TABLE,
                         ids=['%s %s' % ('silent' if s else 'asks', ascii(c)) for c, s in SWITCH_TABLE])
def test_switch_table_on_exact_command_lines(p64, cmdline, silent):
    seed = {U64: sz(SETUP)}
    run, state = p64.scenario(seed, cmdline, [] if silent else ['no'])
    if silent:
        assert run == transcript(0)
        assert state == State.of(seed).but({U64: sz(SETUP_FIXED)})
    else:
        assert run == transcript(4, question())
        assert state == State.of(seed)


@pytest.mark.parametrize('seed,extra,code', [
    ({SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}, [('acl', '64', SERVICE, 'ro')], 1),
    ({}, [], 2), ({I64: sz(ICON_FIXED)}, [], 3)], ids=['code 1', 'code 2', 'code 3'])
def test_silent_mode_also_hides_failures(p64, seed, extra, code):
    run, state = p64.scenario(seed, 'velquist.exe -S', extra=extra)
    assert run == transcript(code)
    assert state == State.of(seed)


# The driver must tell an icon and other buttons apart, or the "no icon,
# Yes/No only" checks above could not fail.
@pytest.mark.parametrize('style,answer,buttons,icon,code', [
    ('0x33', 'cancel', ['&Yes', '&No', 'Cancel'], True, 2),   # MB_YESNOCANCEL|MB_ICONWARNING
    ('0x4', 'yes', ['&Yes', '&No'], False, 6)], ids=['0x33', '0x4'])
def test_driver_sees_icons_and_buttons(p64, style, answer, buttons, icon, code):
    driver = 'Z:' + harness.DRIVER.replace('/', '\\')
    run = p64.run('vqdriver msgbox %s hello' % style, [answer], exe=driver)
    assert run == transcript(code, {'caption': 'probe', 'text': 'hello', 'buttons': buttons, 'icon': icon})
