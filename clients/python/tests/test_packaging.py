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
