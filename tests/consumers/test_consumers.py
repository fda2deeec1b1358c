"""The hole and its closing, as Windows' own programs see them: before the
repair the service manager and the uninstaller start the program planted
where Windows looks first; after it they start the real program with the same
arguments, and the shell finds the same icon."""

import pytest

from harness import REG_EXPAND_SZ, REG_SZ, UNINSTALL as UNINSTALL_KEY, hex16, sz

import consumers
from consumers import ICON_CASES, SERVICE_CASES, UNINSTALL_CASES

# Where the uninstall entry can live: both views of a 64-bit system, the one
# view of a 32-bit system.
VIEWS = [("64", "32"), ("64", "64"), ("32", "32")]


def ids(cases):
    return [c.id for c in cases]


def ran(runs, plants, program):
    """The one start of `runs`, which must be `program`'s: its record."""
    assert len(runs) == 1 and sum(len(r) for r in runs.values()) == 1, \
        "expected one start, of %s; got %s" % (program, runs)
    (path, (record,)), = runs.items()
    assert plants.same(path, program), "expected %s to run; %s ran: %s" % (program, path, record)
    return record


def check_round(record, case):
    assert not record["timeout"]
    assert record["exit"] == record["expected exit"], \
        "the run that repaired %s (with %s) exited %s" % (case.id, record["cases"], record["exit"])
    assert record["stray runs"] == []


def check_consumer(plants, case, before, after):
    """Before: the first planted program ran (for a value that needs the
    quotes), else the real one. After: the real one, with the arguments that
    the value gives it."""
    first = ran(before, plants, case.candidates[0] if case.needs_fix else case.program)
    if not case.needs_fix:
        assert first["argv"][1:] == case.args
    assert ran(after, plants, case.program)["argv"][1:] == case.args


@pytest.mark.parametrize("case", SERVICE_CASES, ids=ids(SERVICE_CASES))
@pytest.mark.parametrize("arch", ["64", "32"])
def test_service_manager_starts_the_real_program_once_repaired(observed, rigs, arch, case):
    seen = observed(arch)["services"][case.id]
    before, after = seen["before"], seen["after"]
    if case.windows_program:
        # Nothing of the suite's stands at Windows' own program: what counts
        # is that nothing planted ran and the start went as it went before.
        assert before["runs"] == {} and after["runs"] == {}
        assert (after["rc"], strip_ids(after["out"])) == (before["rc"], strip_ids(before["out"]))
    else:
        check_consumer(rigs[arch].plants, case, before["runs"], after["runs"])
        assert (before["rc"], after["rc"]) == (0, 0), (before, after)
    check_round(seen["round"], case)
    assert seen["stored"] == sz(case.expected or case.value, REG_EXPAND_SZ)


def strip_ids(text):
    """Wine's debug lines without their thread ids."""
    return [line.split(":", 1)[1] if ":err:" in line else line for line in text.splitlines()]


UNINSTALLS = [(arch, view, case) for arch, view in VIEWS for case in UNINSTALL_CASES]


@pytest.mark.parametrize("arch,view,case", UNINSTALLS,
                         ids=["%s-view%s-%s" % (a, v, c.id) for a, v, c in UNINSTALLS])
def test_uninstaller_runs_the_real_program_once_repaired(observed, rigs, arch, view, case):
    seen = observed(arch)["uninstall"][(view, case.id)]
    before, after = seen["before"], seen["after"]
    check_consumer(rigs[arch].plants, case, before["runs"], after["runs"])
    for run in (before["run"], after["run"]):
        # A box is the uninstaller saying that the command did not start.
        assert (run["exit"], run["boxes"], run["timeout"]) == (0, [], False), run
    check_round(seen["round"], case)
    assert seen["stored"] == sz(case.expected or case.value, REG_SZ)
    # Written back where it was found, and nowhere else.
    assert all(v is None for v in seen["other views"].values())


ICONS = [(arch, view, case) for arch, view in VIEWS for case in ICON_CASES]


@pytest.mark.parametrize("arch,view,case", ICONS,
                         ids=["%s-view%s-%s" % (a, v, c.id) for a, v, c in ICONS])
def test_shell_finds_the_same_icon_once_repaired(observed, arch, view, case):
    seen = observed(arch)["icons"][(view, case.id)]
    index = int(case.rest[1:]) if case.rest else 0
    for probe in (seen["before"][view], seen["after"][view]):
        assert probe["exists"], probe
        assert (probe["path"], probe["index"], probe["icons"]) == (case.program, index, 1), probe
    check_round(seen["round"], case)
    assert seen["stored"] == sz(case.expected or case.value, REG_SZ)
    assert all(v is None for v in seen["other views"].values())


EXPOSING = next(c for c in UNINSTALL_CASES if "holding .exe" in c.product)


def test_a_repair_that_quotes_up_to_the_first_exe_is_caught(observed, rigs):
    # The rig itself must tell a wrong repair: the build that ends the quotes
    # at the first ".exe" leaves a program that does not exist, and the
    # uninstaller says so.
    observed("64")
    rig = rigs["64"]
    replies = rig.batch([
        ("delkey", "32", UNINSTALL_KEY), ("delkey", "64", UNINSTALL_KEY),
        rig.set_value("64", UNINSTALL_KEY, "DisplayName", sz(consumers.ENTRY_NAME)),
        rig.set_value("64", UNINSTALL_KEY, "UninstallString", sz(EXPOSING.value)),
        ("run", consumers.winpath(consumers.FIRSTEXE), hex16("velquist.exe /s"), "-", "60000"),
        ("get", "64", UNINSTALL_KEY, "UninstallString"),
        rig.uninstall_run(),
    ])
    fixed, stored, uninstall = replies[4], replies[5], replies[6]
    assert fixed["exit"] == 0
    assert bytes.fromhex(stored["hex"]) != sz(EXPOSING.expected).data
    # Neither the real program nor a planted one started, and the uninstaller
    # said why.
    assert rig.plants.runs() == {}
    assert [b["caption"] for b in uninstall["boxes"]] == ["Wine Application Uninstaller"]
