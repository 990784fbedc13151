"""The client installs with pip from the repository, offline, and the README's
"Integrating" example runs as written."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
CLIENT_ROOT = HERE.parent
REPO_ROOT = CLIENT_ROOT.parents[1]


def test_pip_installs_the_package_and_the_command(tmp_path: Path, sidecar_binary: Path) -> None:
    """The README's way: a virtual environment that sees Debian's packages, no network."""
    # A copy, so that setuptools' in-place build files stay out of the tree.
    source = tmp_path / "source"
    shutil.copytree(CLIENT_ROOT, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    env = {**os.environ, "PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
    env.pop("PYTHONPATH", None)
    for step in (
        [sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
        [str(venv / "bin" / "pip"), "install", "--no-build-isolation", "--no-cache-dir", str(source)],
    ):
        done = subprocess.run(step, env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, f"{step[:3]} failed (needs python3-venv):\n{done.stdout}{done.stderr}"
    check = subprocess.run(
        [str(venv / "bin" / "python"), "-c",
         "import sys, sidecar_client\n"
         "assert sidecar_client.__file__.startswith(sys.argv[1]), sidecar_client.__file__\n"
         "with sidecar_client.SidecarClient(sys.argv[2]) as s: print(s.hello.version)",
         str(venv), str(sidecar_binary)],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60,
    )
    assert (check.returncode, check.stdout) == (0, "3\n"), check.stderr
    script = subprocess.run([str(venv / "bin" / "sidecar-watch"), "--help"], env=env, capture_output=True,
                            text=True, timeout=60)
    assert script.returncode == 0 and "--record FILE" in script.stdout


def readme_example() -> str:
    readme = (REPO_ROOT / "README.md").read_text()
    section = readme.split("\n## Integrating\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) == 1, "the Integrating section has one Python example"
    return blocks[0]


def test_readme_example_runs(tmp_path: Path, sidecar_binary: Path) -> None:
    code = readme_example()
    assert '"build/sidecar"' in code
    example = tmp_path / "example.py"
    example.write_text(code.replace('"build/sidecar"', repr(str(sidecar_binary))))
    done = subprocess.run([sys.executable, str(example)], env={**os.environ, "PYTHONPATH": str(CLIENT_ROOT)},
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "not-configured for sampleNow"
    assert "root gone: True" in lines
    assert any(re.fullmatch(r"sample \d+ with 2 processes", line) for line in lines)


def test_installed_launcher_uses_its_python_and_its_sidecar(tmp_path: Path, sidecar_binary: Path) -> None:
    """Laid out as `cmake --install` does, run with another python3 first on
    PATH and no sidecar on PATH: the launcher still starts the tool."""
    prefix = tmp_path / "prefix"
    (prefix / "bin").mkdir(parents=True)
    shutil.copytree(CLIENT_ROOT / "sidecar_client", prefix / "share/sidecar/python/sidecar_client",
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(sidecar_binary, prefix / "bin/sidecar")
    launcher = (REPO_ROOT / "cmake/sidecar-watch.in").read_text()
    launcher = launcher.replace("@SIDECAR_WATCH_PYTHON@", sys.executable)
    launcher = launcher.replace("@SIDECAR_WATCH_PYTHONPATH@", "../share/sidecar/python")
    (prefix / "bin/sidecar-watch").write_text(launcher)
    (prefix / "bin/sidecar-watch").chmod(0o755)
    decoy = tmp_path / "decoy"
    decoy.mkdir()
    (decoy / "python3").write_text("#!/bin/sh\necho 'the wrong python' >&2\nexit 99\n")
    (decoy / "python3").chmod(0o755)
    env = {**os.environ, "PATH": f"{decoy}:/usr/bin:/bin"}
    env.pop("PYTHONPATH", None)
    done = subprocess.run([str(prefix / "bin/sidecar-watch"), "--", "echo", "hello"], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "hello\n" and "Exit status" in done.stderr


def test_the_man_page_documents_every_option_and_names_the_version() -> None:
    page = (REPO_ROOT / "docs/man/sidecar-watch.1").read_text().replace("\\-", "-")
    assert "@PROJECT_VERSION@" in page.splitlines()[0]  # filled in when installed
    for argv in (["--help"], ["plot", "--help"]):
        done = subprocess.run([sys.executable, "-m", "sidecar_client.watch", *argv], capture_output=True, text=True,
                              env={**os.environ, "PYTHONPATH": str(CLIENT_ROOT)}, timeout=60)
        options = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", done.stdout)) - {"--help"}
        assert options and all(option in page for option in options), options
    assert "@CMAKE_INSTALL_FULL_DOCDIR@/protocol.md" in (REPO_ROOT / "docs/man/sidecar.1").read_text()
