#!/usr/bin/env python3
"""Makes the benchmark fixture: a signed rpm-md repository of SIZE packages and a device rpm
database holding older versions of about 60 % of their names, reproducible from a seed.

Usage: bench/make-fixture.py [--size N] [--seed S] OUT

OUT/repo        the repository (createrepo_c through scripts/publish-repo.sh, signed index)
OUT/rpmdb       the rpm database (the fixture key imported, packages recorded with --justdb)
OUT/key.asc     the public key that signs the index
OUT/gnupg       the gpg home holding the secret key
OUT/expected    what the fixture was made to contain (roles of the names), for the reader

rpmbuild is the expensive step, so every package of one epoch-version-release is a
subpackage of one .spec file (a few hundred per file), all noarch with empty gzip payloads.
"""

import os
import shutil
import subprocess
import sys

from fixture_common import ROOT, fixture_args, init_database, run, sign_repository

CHUNK = 400  # subpackages per .spec file: rpmbuild slows down on much larger files

# Versions of the fixture, one .spec file family each: (key, epoch, version, release).
OLD = ("old", 0, "1.0", "1")          # installed, updated by MID or NEW
MID = ("mid", 0, "1.5", "1")          # the older of two repository versions
NEW = ("new", 0, "2.0", "1")          # the newest repository version
RC = ("rc", 0, "2.0~rc1", "1")        # installed pre-release, updated by NEW
HIGH = ("high", 0, "3.0", "1")        # installed, updated only thanks to the epoch of EPOCH
EPOCH = ("epoch", 1, "1.2", "1")      # repository version with an epoch



def main():
    args, rng, out = fixture_args(2000, "packages in the repository")

    # SIZE files: a fifth of the names come in two versions, so SIZE / 1.2 names.
    n_names = max(10, round(args.size / 1.2))
    names = [f"fx-{i:05d}" for i in range(n_names)]
    order = names[:]
    rng.shuffle(order)
    double = set(order[: args.size - n_names])  # two repository versions
    installed = set(rng.sample(names, round(0.6 * n_names)))
    inst_list = sorted(installed)
    # Roles of the installed names: most are older, a quarter are current already, a few
    # are pre-releases or carry a higher version that only an epoch beats.
    inst_shuffled = inst_list[:]
    rng.shuffle(inst_shuffled)
    k = max(1, n_names // 100)
    rc_names = set(inst_shuffled[:k])
    epoch_names = set(inst_shuffled[k : 2 * k])
    current = set(inst_shuffled[2 * k : 2 * k + len(inst_list) // 4])
    # A few new packages (not installed) obsolete an installed package that left the repository.
    legacy = [f"fx-legacy-{i:03d}" for i in range(max(1, n_names // 200))]
    replacers = rng.sample(sorted(set(names) - installed), len(legacy))
    replaced_by = dict(zip(replacers, legacy))
    # A few new versions of installed packages need a package that is not installed yet.
    newdep = {}
    for name in rng.sample(sorted(installed - current - rc_names - epoch_names), k):
        newdep[name] = rng.choice(sorted(set(names) - installed - set(replacers)))

    def repo_versions(name):
        top = EPOCH if name in epoch_names else NEW
        return [MID, top] if name in double else [top]

    def installed_version(name):
        if name in rc_names:
            return RC
        if name in epoch_names:
            return HIGH
        if name in current:
            return repo_versions(name)[-1]
        return OLD

    # Dependencies, fixed per name so that every version agrees; an installed package only
    # needs installed ones, so the device's database is consistent.
    deps = {}
    for name in names:
        pool = inst_list if name in installed else names
        targets = rng.sample([p for p in pool if p != name], rng.randint(1, 6))
        reqs, recs = [], []
        for t in targets:
            r = rng.random()
            if r < 0.4:
                reqs.append(t)
            elif r < 0.7:
                reqs.append(f"{t} >= 1.0")
            elif r < 0.9:
                reqs.append(f"cap-{t}")  # the virtual provide
            else:
                recs.append(t)
        if rng.random() < 0.2:
            reqs.append("/bin/sh")
        deps[name] = (reqs, recs)

    def section(name, ver):
        reqs, recs = deps.get(name, ([], []))
        reqs = list(reqs)
        if ver in (NEW, EPOCH) and name in newdep:
            reqs.append(newdep[name])
        lines = [f"%package -n {name}", f"Summary: Fixture package {name}",
                 f"Provides: cap-{name} = {ver[2]}"]
        lines += [f"Requires: {r}" for r in reqs]
        lines += [f"Recommends: {r}" for r in recs]
        if ver in (NEW, EPOCH) and name in replaced_by:
            lines.append(f"Obsoletes: {replaced_by[name]} < 2.0")
        lines += [f"%description -n {name}", f"Fixture package {name}.", f"%files -n {name}", ""]
        return "\n".join(lines)

    families = {v[0]: (v, []) for v in (OLD, MID, NEW, RC, HIGH, EPOCH)}
    for name in names:
        for v in repo_versions(name):
            families[v[0]][1].append((name, "repo"))
        if name in installed:
            v = installed_version(name)
            if v[0] in ("old", "rc", "high"):
                families[v[0]][1].append((name, "db"))
    for name in legacy:
        families["old"][1].append((name, "db"))

    top = out / "rpmbuild"
    (top / "SPECS").mkdir(parents=True)
    specs = []
    for key, (ver, members) in families.items():
        members = sorted(set(n for n, _ in members))
        for c in range(0, len(members), CHUNK):
            chunk = members[c : c + CHUNK]
            head = [f"%define _binary_payload w9.gzdio", f"Name: fx-src-{key}-{c // CHUNK}",
                    f"Version: {ver[2]}", f"Release: {ver[3]}"]
            if ver[1]:
                head.append(f"Epoch: {ver[1]}")
            head += ["Summary: Benchmark fixture", "License: MIT", "BuildArch: noarch",
                     "%description", "Benchmark fixture.", ""]
            spec = top / "SPECS" / f"{key}-{c // CHUNK}.spec"
            spec.write_text("\n".join(head) + "\n".join(section(n, ver) for n in chunk))
            specs.append(spec)
    for spec in specs:
        run(["rpmbuild", "--quiet", "-bb", "--define", f"_topdir {top}", "--dbpath", str(out / "builddb"),
             "--define", "_build_id_links none", str(spec)], stdout=subprocess.DEVNULL)
    built = top / "RPMS" / "noarch"

    def rpm_file(name, ver):
        evr = f"{ver[2]}-{ver[3]}"
        return built / f"{name}-{evr}.noarch.rpm"

    repo = out / "repo"
    repo.mkdir()
    for name in names:
        for v in repo_versions(name):
            os.link(rpm_file(name, v), repo / rpm_file(name, v).name)

    sign_repository(out, repo, ())

    db = init_database(out)
    files = [str(rpm_file(n, installed_version(n))) for n in inst_list]
    files += [str(rpm_file(n, OLD)) for n in legacy]
    for c in range(0, len(files), 500):
        run(["rpm", "--dbpath", str(db), "-i", "--justdb", "--nodeps", "--noscripts", "--nosignature"]
            + files[c : c + 500])

    with open(out / "expected", "w") as f:
        f.write(f"size {args.size}\nseed {args.seed}\nnames {n_names}\ninstalled {len(inst_list)}\n")
        f.write(f"current {len(current)}\nrc {len(rc_names)}\nepoch {len(epoch_names)}\n")
        f.write(f"legacy-obsoleted {' '.join(f'{r}>{l}' for r, l in sorted(replaced_by.items()))}\n")
        f.write(f"new-dependency {' '.join(f'{a}>{b}' for a, b in sorted(newdep.items()))}\n")
    shutil.rmtree(top / "BUILD", ignore_errors=True)
    shutil.rmtree(out / "builddb", ignore_errors=True)
    print(f"fixture {out}: {sum(1 for _ in repo.glob('*.rpm'))} packages, {len(files)} installed")


if __name__ == "__main__":
    sys.exit(main())
