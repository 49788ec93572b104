"""What a user does: install the package offline with pip into a virtual
environment, write a test that takes `smb_server`, run pytest. The fixture
must arrive through the entry point alone."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent

USER_TEST = '''
import io
import sys

import dirir2i
from impacket.smbconnection import SMBConnection


def test_x(smb_server):
    assert dirir2i.__file__.startswith(sys.prefix)  # the installed copy
    (smb_server.path / "hi.txt").write_bytes(b"hello")
    conn = SMBConnection(smb_server.host, smb_server.host, sess_port=smb_server.port)
    conn.login(smb_server.user, smb_server.password)
    out = io.BytesIO()
    conn.getFile(smb_server.share, "hi.txt", out.write)
    conn.close()
    assert out.getvalue() == b"hello"
    assert smb_server.stats()["reads"] >= 1
'''


def run(args, cwd, env):
    r = subprocess.run(args, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, timeout=300)
    assert r.returncode == 0, f"{' '.join(map(str, args))}:\n{r.stdout}"
    return r.stdout


def test_pip_installs_offline_and_pytest_finds_the_fixture(tmp_path):
    # Build from a copy: setuptools writes build/ and *.egg-info beside the sources.
    src = tmp_path / "src"
    src.mkdir()
    shutil.copy(PACKAGE / "pyproject.toml", src)
    shutil.copytree(PACKAGE / "dirir2i", src / "dirir2i")
    venv = tmp_path / "venv"
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTEST_DISABLE_PLUGIN_AUTOLOAD")}
    # The system's setuptools and pip serve the build: no index is reached.
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv],
        tmp_path, env)
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", src], tmp_path,
        env)
    user = tmp_path / "user"
    user.mkdir()
    (user / "test_user.py").write_text(USER_TEST)
    out = run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_user.py"], user,
              env)
    assert "1 passed" in out
