"""The packaging suite's inputs: the executable (--exe) and, with --probe,
one Wine prefix of the run for the Windows-side reads."""

import os
import tempfile
from types import SimpleNamespace

import pytest

import check_exe
import peimage
import wine_probe

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def pytest_addoption(parser):
    parser.addoption("--exe", default=os.path.join(ROOT, "build", "windows", "velquist.exe"),
                     help="the executable to check")
    parser.addoption("--probe", help="also read it under Wine with this resprobe.exe")
    parser.addoption("--source-dir", default=ROOT, help="the tree whose version it must carry")


def pytest_collection_modifyitems(config, items):
    # Without a probe there is nothing to read the file under Wine with.
    if not config.getoption("--probe"):
        kept = [i for i in items if "wine" not in i.keywords]
        config.hook.pytest_deselected(items=[i for i in items if "wine" in i.keywords])
        items[:] = kept


@pytest.fixture(scope="session")
def image(pytestconfig):
    """The executable's bytes, its parsed image and the version it must carry."""
    path = pytestconfig.getoption("--exe")
    with open(path, "rb") as f:
        data = f.read()
    return SimpleNamespace(path=path, data=data, pe=peimage.PEImage(data),
                           version=check_exe.project_version(pytestconfig.getoption("--source-dir")))


@pytest.fixture(scope="session")
def wine(pytestconfig):
    """resprobe.exe in a prefix of the run's own, which goes with the run."""
    with wine_probe.Wine(pytestconfig.getoption("--probe")) as w:
        yield w


@pytest.fixture(scope="session")
def scratch():
    # The patched copies the probe reads; of this run alone, removed with it.
    with tempfile.TemporaryDirectory(prefix="velquist-pe-") as folder:
        yield folder
