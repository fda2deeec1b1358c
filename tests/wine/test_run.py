"""The run from end to end on a 64-bit system: the typical road, every outcome
with its messages in both languages, the silent switch on exact command lines,
and values that change while the question is shown."""

import unittest

import harness
from harness import (ICON, ICON_FIXED, REG_EXPAND_SZ, REG_SZ, SETUP, SETUP_FIXED, SERVICE, TRACE, UNINSTALL, State, dword, message,
                     normalise, question, registry_log, sz, transcript)

SVC = r'C:\Program Files\Example Driver\svc.exe -k net'
SVC_FIXED = r'"C:\Program Files\Example Driver\svc.exe" -k net'

U64 = ('64', 'UninstallString')
I64 = ('64', 'DisplayIcon')
U32 = ('32', 'UninstallString')
I32 = ('32', 'DisplayIcon')
SVC_SLOT = ('svc', 'ImagePath')

# The road of a typical run: the uninstall entry only in the 64-bit view, its
# icon already quoted, the service path unquoted in its shared key.
TYPICAL = {U64: sz(SETUP), I64: sz(ICON_FIXED), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}


class TypicalRoad(unittest.TestCase):
    def test_silent_run_quotes_each_value_in_the_view_where_it_was_found(self):
        p = harness.P64
        run, state = p.scenario(TYPICAL, 'velquist.exe /s')
        self.assertEqual(run, transcript(0))
        self.assertEqual(state, State.of(TYPICAL).but(
            {U64: sz(SETUP_FIXED), SVC_SLOT: sz(SVC_FIXED, REG_EXPAND_SZ)}))
        # Nothing was created in the 32-bit view, and the service key is the
        # one key that both views see.
        self.assertFalse(state[('key', '32')])
        shared = p.batch([('get', '32', SERVICE, 'ImagePath')])[0]
        self.assertEqual(bytes.fromhex(shared['hex']), sz(SVC_FIXED).data)

    def test_registry_is_read_in_the_default_view_first_and_written_where_found(self):
        p = harness.P64
        p.seed(TYPICAL)
        run, stderr = p.run('velquist.exe /s', debug=TRACE)
        self.assertEqual(run, transcript(0))
        read32, read64 = 0x1, 0x101   # KEY_QUERY_VALUE, with KEY_WOW64_64KEY
        missing_then_64 = [('open', UNINSTALL, read32, False), ('open', UNINSTALL, read64, True)]
        self.assertEqual(registry_log(stderr), [
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
        ])


class Outcomes(unittest.TestCase):
    # name, seed, extra driver commands after seeding, answers, expected
    # transcript (as a function of the language), changes to the seed
    CASES = [
        ('modified', {U64: sz(SETUP), I64: sz(ICON_FIXED)}, [], ['yes', 'ok'],
         lambda l: transcript(0, question(l), message(105, l)), {U64: sz(SETUP_FIXED)}),
        ('write refused', {SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}, [('acl', '64', SERVICE, 'ro')],
         ['yes', 'ok'], lambda l: transcript(1, question(l), message(106, l)), {}),
        ('nothing there', {}, [], ['ok'], lambda l: transcript(2, message(107, l)), {}),
        ('already quoted', {I64: sz(ICON_FIXED)}, [], ['ok'],
         lambda l: transcript(3, message(108, l)), {}),
        ('declined', {U64: sz(SETUP), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}, [], ['no'],
         lambda l: transcript(4, question(l)), {}),
    ]

    def test_each_outcome_shows_its_message_and_returns_its_code(self):
        p = harness.P64
        for lang in ('en', 'ja'):
            for name, seed, extra, answers, expected, changes in self.CASES:
                with self.subTest(lang=lang, case=name):
                    run, state = p.scenario(seed, 'velquist.exe', answers, lang=lang, extra=extra)
                    self.assertEqual(run, expected(lang))
                    self.assertEqual(state, State.of(seed).but(changes))

    def test_failure_outweighs_a_repair_that_succeeded_and_nothing_is_rolled_back(self):
        p = harness.P64
        seed = {U64: sz(SETUP), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}
        for cmdline, answers, expected in [
                ('velquist.exe', ['yes', 'ok'], transcript(1, question(), message(106))),
                ('velquist.exe /s', [], transcript(1))]:
            with self.subTest(cmdline=cmdline):
                run, state = p.scenario(seed, cmdline, answers,
                                        extra=[('acl', '64', SERVICE, 'ro')])
                self.assertEqual(run, expected)
                self.assertEqual(state, State.of(seed).but({U64: sz(SETUP_FIXED)}))

    def test_closing_a_box_is_no_consent_and_ends_the_run_with_its_outcome(self):
        p = harness.P64
        seed = {U64: sz(SETUP)}
        for answers, expected, changes in [
                (['close'], transcript(4, question()), {}),
                (['yes', 'close'], transcript(0, question(), message(105)), {U64: sz(SETUP_FIXED)})]:
            with self.subTest(answers=answers):
                run, state = p.scenario(seed, 'velquist.exe', answers)
                self.assertEqual(run, expected)
                self.assertEqual(state, State.of(seed).but(changes))

    def test_an_unreadable_value_does_not_keep_the_others_from_being_repaired(self):
        seed = {U64: dword(7), SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}
        run, state = harness.P64.scenario(seed, 'velquist.exe', ['yes', 'ok'])
        self.assertEqual(run, transcript(0, question(), message(105)))
        self.assertEqual(state, State.of(seed).but({SVC_SLOT: sz(SVC_FIXED, REG_EXPAND_SZ)}))

    def test_the_repair_pass_reads_afresh_what_changed_while_the_question_was_shown(self):
        p = harness.P64
        seed = {U64: sz(SETUP)}
        other = r'C:\Other Place\tool.exe /x'
        cases = [
            ('value removed', [('delvalue', '64', UNINSTALL, 'UninstallString')],
             transcript(1, question()), {U64: None}),
            ('quoted by someone else', p.seed_commands({U64: sz(SETUP_FIXED)}),
             transcript(1, question()), {U64: sz(SETUP_FIXED)}),
            ('replaced by another path', p.seed_commands({U64: sz(other)}),
             transcript(0, question(), message(105)), {U64: sz(r'"C:\Other Place\tool.exe" /x')}),
            ('replaced by a number', p.seed_commands({U64: dword(1)}),
             transcript(1, question(), message(106)), {U64: dword(1)}),
        ]
        for name, change, expected, changes in cases:
            with self.subTest(case=name):
                p.seed(seed)
                with p.popen(*p.run_command('velquist.exe', ['stdin', 'ok'])) as run:
                    self.assertEqual(run.expect()['box']['text'], harness.TEXTS['en'][104])
                    p.batch(change)
                    run.send('yes')
                    result = normalise(run.finish()[-1])
                self.assertEqual(result, expected)
                self.assertEqual(p.state(), State.of(seed).but(changes))


class SilentSwitch(unittest.TestCase):
    """lpCmdLine is what follows the program name (up to the first character at
    or below U+0020 outside double quotes), with U+0001..U+0020 skipped; only
    "-s" or "/s" in either case, exactly, is silent."""

    def cases(self, p):
        spaced = p.spaced_exe
        silent = ['velquist.exe /s', 'velquist.exe -s', 'velquist.exe /S', 'velquist.exe -S',
                  'velquist.exe\t-s', 'velquist.exe  \t /s', 'velquist.exe \x01\x1f-S',
                  'velquist.exe\x0b/s', '"%s" /S' % spaced, '"%s"\t\t-s' % spaced,
                  'velq"uist .e"xe /s', '"" /s']
        interactive = ['velquist.exe /s ', 'velquist.exe /s\t', 'velquist.exe --s',
                       'velquist.exe /s /s', 'velquist.exe /silent', 'velquist.exe s',
                       'velquist.exe', 'velquist.exe ', 'velquist.exe "/s"', 'velquist.exe \\s',
                       'velquist.exe /\u017f', 'velquist.exe /\uff53', 'velquist.exe \u3000/s',
                       'velquist.exe\u00a0/s', 'velquist.exe\x7f/s', '"%s"/s' % spaced,
                       spaced + ' /s', '"velquist.exe /s', '"velquist.exe /s"']
        return [(c, True) for c in silent] + [(c, False) for c in interactive]

    def test_switch_table_on_exact_command_lines(self):
        p = harness.P64
        seed = {U64: sz(SETUP)}
        for cmdline, silent in self.cases(p):
            with self.subTest(cmdline=cmdline, silent=silent):
                run, state = p.scenario(seed, cmdline, [] if silent else ['no'])
                if silent:
                    self.assertEqual(run, transcript(0))
                    self.assertEqual(state, State.of(seed).but({U64: sz(SETUP_FIXED)}))
                else:
                    self.assertEqual(run, transcript(4, question()))
                    self.assertEqual(state, State.of(seed))

    def test_silent_mode_also_hides_failures(self):
        p = harness.P64
        seed = {SVC_SLOT: sz(SVC, REG_EXPAND_SZ)}
        run, state = p.scenario(seed, 'velquist.exe -S', extra=[('acl', '64', SERVICE, 'ro')])
        self.assertEqual(run, transcript(1))
        self.assertEqual(state, State.of(seed))
        for seed, code in [({}, 2), ({I64: sz(ICON_FIXED)}, 3)]:
            with self.subTest(code=code):
                self.assertEqual(p.scenario(seed, 'velquist.exe /S')[0], transcript(code))


class MessageBoxReading(unittest.TestCase):
    """The driver must tell an icon and other buttons apart, or the "no icon,
    Yes/No only" checks above could not fail."""

    def test_driver_sees_icons_and_buttons(self):
        p = harness.P64
        driver = 'Z:' + harness.DRIVER.replace('/', '\\')
        for style, answer, buttons, icon, code in [
                ('0x33', 'cancel', ['&Yes', '&No', 'Cancel'], True, 2),   # MB_YESNOCANCEL|MB_ICONWARNING
                ('0x4', 'yes', ['&Yes', '&No'], False, 6)]:
            with self.subTest(style=style):
                run = p.run('vqdriver msgbox %s hello' % style, [answer], exe=driver)
                self.assertEqual(run, transcript(code, {'caption': 'probe', 'text': 'hello',
                                                        'buttons': buttons, 'icon': icon}))

