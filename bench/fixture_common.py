"""What the two benchmark fixture makers share: their arguments, the signing key and the
signed index, and the device's rpm database with that key imported."""

import argparse
import os
import random
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def run(cmd, **kw):
    subprocess.run(cmd, check=True, **kw)


def fixture_args(default_size, size_help):
    """--size, --seed and OUT; OUT is emptied. Returns (args, rng, out)."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=default_size, help=size_help)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("out")
    args = ap.parse_args()
    out = Path(args.out).resolve()
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    return args, random.Random(args.seed), out


def sign_repository(out, repo, publish_args=()):
    """A new key in OUT/gnupg (public part in OUT/key.asc) signs the repository's index."""
    gnupg = out / "gnupg"
    gnupg.mkdir(mode=0o700)
    env = dict(os.environ, GNUPGHOME=str(gnupg))
    run(["gpg", "--batch", "--quiet", "--passphrase", "", "--quick-gen-key",
         "Bench Fixture <bench@fixture.example>", "rsa2048", "sign", "never"], env=env, stderr=subprocess.DEVNULL)
    with open(out / "key.asc", "wb") as f:
        run(["gpg", "--batch", "--armor", "--export", "Bench Fixture"], env=env, stdout=f)
    run([str(ROOT / "scripts" / "publish-repo.sh"), *publish_args, "--gpg-home", str(gnupg), "--key", "Bench Fixture",
         str(repo)])
    run(["gpgconf", "--homedir", str(gnupg), "--kill", "all"], env=env)


def init_database(out):
    """OUT/rpmdb, empty but for the fixture's key."""
    db = out / "rpmdb"
    run(["rpm", "--dbpath", str(db), "--initdb"])
    run(["rpm", "--dbpath", str(db), "--import", str(out / "key.asc")])
    return db
