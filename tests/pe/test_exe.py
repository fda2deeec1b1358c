"""The packaging of the built executable: every check on the file, each
patched copy caught by the check that guards the patched place, and the
same file (and a few patched copies) read by Windows under Wine."""

import os

import pytest

import wine_probe
from check_exe import CHECKS, ICON_IMAGES, MESSAGES, MUTATIONS, PROBE_MUTATIONS, run_checks


@pytest.mark.parametrize("check", [fn for _, fn in CHECKS], ids=[name for name, _ in CHECKS])
def test_check(image, check):
    check(image.pe, image.version)


def patched(image, label):
    mutate = {m[0]: m[1] for m in MUTATIONS}[label]
    copy = bytearray(image.data)
    mutate(image.pe, copy)
    return bytes(copy)


@pytest.mark.mutation
@pytest.mark.parametrize("label,target", [(m[0], m[2]) for m in MUTATIONS], ids=[m[0] for m in MUTATIONS])
def test_caught(image, label, target):
    failed = [name for name, reason in run_checks(patched(image, label), image.version) if reason]
    assert [n for n in failed if n.startswith(target)], "expected %r to fail; failing: %r" % (target, failed)


def expected(image):
    return wine_probe.expectations(image.version, MESSAGES, ICON_IMAGES)


# The names do not depend on the version.
PROBE_CHECKS = [name for name, _ in wine_probe.expectations((0, 0, 0, 0), MESSAGES, ICON_IMAGES)]


@pytest.fixture(scope="session")
def answers(wine, image):
    return wine.read(image.path)


@pytest.mark.wine
@pytest.mark.parametrize("name", PROBE_CHECKS)
def test_windows_reads(image, answers, name):
    problem = wine_probe.mismatches(answers, dict(expected(image))[name])
    assert not problem


@pytest.mark.wine
@pytest.mark.mutation
@pytest.mark.parametrize("label,target", PROBE_MUTATIONS, ids=[m[0] for m in PROBE_MUTATIONS])
def test_windows_sees_the_patch(image, wine, scratch, label, target):
    path = os.path.join(scratch, "mutated.exe")
    with open(path, "wb") as f:
        f.write(patched(image, label))
    failed = [n for n, r in wine_probe.compare(wine.read(path), expected(image)) if r]
    assert [n for n in failed if n.startswith(target)], "expected %r to fail; failing: %r" % (target, failed)
