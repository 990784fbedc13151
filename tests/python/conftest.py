"""Fixtures for the black-box tests that drive the real sidecar over pipes."""

import pytest

import protocol_schemas
from sidecar_process import REPO_ROOT, ProcessTree, Sidecar, sidecar_binary


@pytest.fixture
def start_sidecar():
    """Starts sidecars on demand; each is ended (by its pid) after the test."""
    started = []

    def start(args=()):
        child = Sidecar(sidecar_binary(), args)
        started.append(child)
        return child

    yield start
    for child in started:
        child.end()


@pytest.fixture
def sidecar(start_sidecar):
    """A started sidecar whose greeting has been read (as `sidecar.greeting`)."""
    child = start_sidecar()
    child.greeting = child.read_line()
    return child


@pytest.fixture
def process_tree():
    tree = ProcessTree()
    yield tree
    tree.end()


@pytest.fixture(scope="session")
def schemas():
    return protocol_schemas.SchemaSet(REPO_ROOT / "docs" / "schema")
