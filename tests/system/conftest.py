"""pytest glue for system tests: the `world` fixture gives each test a fresh sandboxed world."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "world"))
import world as world_module  # noqa: E402


@pytest.fixture
def world():
    """A started World (tests/world/world.py), stopped after the test."""
    with world_module.World() as sandbox:
        yield sandbox


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failing test's report shows its world's log records and the daemons' output."""
    outcome = yield
    report = outcome.get_result()
    sandbox = getattr(item, "funcargs", {}).get("world")
    if report.failed and sandbox is not None and sandbox.init_pid is not None:
        report.sections.append(("world", sandbox.dump()))
