#!/usr/bin/env python3
"""Makes a large benchmark fixture: a signed repository whose primary list holds SIZE records
for a device that has only a few of them installed, as when one repository serves many
products. Building hundreds of thousands of rpm files would take hours, so the list is
generated; what the updater checks is real: the list's checksums and sizes in the index, the
index signed by scripts/publish-repo.sh with a gpg key, and an rpm database of real packages.

Usage: bench/make-big-fixture.py [--size N] [--seed S] OUT   (the layout of make-fixture.py)

The device has bench-app, bench-lib and bench-tool 1.0 installed (built with rpmbuild). The
list has their 2.0 records (real packages, built and indexed by createrepo_c): bench-app 2.0
needs two generated packages, and a generated package obsoletes bench-tool. Every other record
is generated: gen-NNNNNNN with two to five requirements on generated names of lower
numbers, their library capabilities or a file, and provides of its own name and library. Nothing is downloaded by
--check-only, so the generated records' files do not exist.
"""

import gzip
import hashlib
import shutil
import subprocess
import sys
import time

from fixture_common import ROOT, fixture_args, init_database, run, sign_repository

COMMON = "http://linux.duke.edu/metadata/common"
RPM = "http://linux.duke.edu/metadata/rpm"



def build_real_packages(out):
    """The three device packages in versions 1.0 (installed) and 2.0 (in the repository)."""
    top = out / "rpmbuild"
    (top / "SPECS").mkdir(parents=True)
    for version in ("1.0", "2.0"):
        extra = ""
        if version == "2.0":
            extra = "Requires: gen-0000001\nRequires: libgen0000002.so.1\n"
        spec = top / "SPECS" / f"bench-{version}.spec"
        spec.write_text(f"""%define _binary_payload w9.gzdio
Name: bench-src
Version: {version}
Release: 1
Summary: Large benchmark fixture
License: MIT
BuildArch: noarch
%description
Large benchmark fixture.
%package -n bench-app
Summary: Device application
{extra}Requires: bench-lib
%description -n bench-app
Device application.
%files -n bench-app
%package -n bench-lib
Summary: Device library
Provides: libbench.so.1
%description -n bench-lib
Device library.
%files -n bench-lib
%package -n bench-tool
Summary: Device tool
%description -n bench-tool
Device tool.
%files -n bench-tool
""")
        run(["rpmbuild", "--quiet", "-bb", "--define", f"_topdir {top}", "--dbpath", str(out / "builddb"),
             "--define", "_build_id_links none", str(spec)], stdout=subprocess.DEVNULL)
    return top / "RPMS" / "noarch"


def real_records(built, out):
    """The primary records of the 2.0 packages, as createrepo_c writes them."""
    staging = out / "staging"
    staging.mkdir()
    for rpm in built.glob("*-2.0-1.noarch.rpm"):
        shutil.copy(rpm, staging / rpm.name)
    run(["createrepo_c", "--quiet", "--no-database", str(staging)])
    primary = next((staging / "repodata").glob("*-primary.xml.gz"))
    text = gzip.decompress(primary.read_bytes()).decode()
    body = text[text.index("<package "):text.rindex("</metadata>")]
    return body, staging


def generated_record(i, rng):
    name = f"gen-{i:07d}"
    version = f"1.{i % 10}"
    # Requirements point at names of less than half the number, so what a device pulls in
    # from the low numbers stays a small closure, as in a real repository.
    reqs = [] if i >= 4 else ['<rpm:entry name="/bin/sh"/>']
    for _ in range(rng.randint(2, 5) if i >= 4 else 0):
        other = rng.randint(1, i // 2)
        r = rng.random()
        if r < 0.5:
            reqs.append(f'<rpm:entry name="gen-{other:07d}"/>')
        elif r < 0.8:
            reqs.append(f'<rpm:entry name="libgen{other:07d}.so.1"/>')
        elif r < 0.9:
            reqs.append(f'<rpm:entry name="gen-{other:07d}" flags="GE" epoch="0" ver="1.0"/>')
        else:
            reqs.append('<rpm:entry name="/bin/sh"/>')
    obsoletes = ""
    if i == 3:
        obsoletes = '<rpm:obsoletes><rpm:entry name="bench-tool" flags="LT" epoch="0" ver="2.0"/></rpm:obsoletes>'
    digest = hashlib.sha256(name.encode()).hexdigest()
    return (f'<package type="rpm"><name>{name}</name><arch>noarch</arch>'
            f'<version epoch="0" ver="{version}" rel="1"/><checksum type="sha256" pkgid="YES">{digest}</checksum>'
            f'<summary>Generated package {i}</summary><description>Generated package {i}.</description>'
            f'<packager></packager><url></url><time file="1700000000" build="1700000000"/>'
            f'<size package="{5000 + i % 997}" installed="0" archive="124"/>'
            f'<location href="{name}-{version}-1.noarch.rpm"/>'
            f'<format><rpm:license>MIT</rpm:license><rpm:vendor></rpm:vendor><rpm:group>Unspecified</rpm:group>'
            f'<rpm:buildhost>bench</rpm:buildhost><rpm:sourcerpm>gen-src-{version}-1.src.rpm</rpm:sourcerpm>'
            f'<rpm:header-range start="4504" end="5000"/>'
            f'<rpm:provides><rpm:entry name="{name}" flags="EQ" epoch="0" ver="{version}" rel="1"/>'
            f'<rpm:entry name="libgen{i:07d}.so.1"/></rpm:provides>'
            f'<rpm:requires>{"".join(reqs)}</rpm:requires>{obsoletes}</format></package>\n')


def write_primary(repodata, size, real_body, n_real, rng):
    """Writes the list, returning its name and the checksums and sizes the index declares."""
    staging = repodata / "primary.xml.gz"
    opened = hashlib.sha256()
    open_size = 0
    with gzip.open(staging, "wb", compresslevel=6) as f:
        def put(text):
            nonlocal open_size
            data = text.encode()
            opened.update(data)
            open_size += len(data)
            f.write(data)
        put(f'<?xml version="1.0" encoding="UTF-8"?>\n<metadata xmlns="{COMMON}" xmlns:rpm="{RPM}" '
            f'packages="{size}">\n')
        put(real_body)
        chunk = []
        for i in range(1, size - n_real + 1):
            chunk.append(generated_record(i, rng))
            if len(chunk) == 1000:
                put("".join(chunk))
                chunk = []
        put("".join(chunk))
        put("</metadata>\n")
    data = staging.read_bytes()
    digest = hashlib.sha256(data).hexdigest()
    name = f"{digest}-primary.xml.gz"
    staging.rename(repodata / name)
    return name, digest, len(data), opened.hexdigest(), open_size


def main():
    args, rng, out = fixture_args(200000, "records in the primary list")

    built = build_real_packages(out)
    real_body, staging = real_records(built, out)
    n_real = real_body.count("<package ")
    repo = out / "repo"
    repodata = repo / "repodata"
    repodata.mkdir(parents=True)
    for rpm in built.glob("*-2.0-1.noarch.rpm"):
        shutil.copy(rpm, repo / rpm.name)
    name, digest, size, open_digest, open_size = write_primary(repodata, args.size, real_body, n_real, rng)
    now = int(time.time())
    (repodata / "repomd.xml").write_text(
        f'<?xml version="1.0" encoding="UTF-8"?>\n<repomd xmlns="http://linux.duke.edu/metadata/repo" '
        f'xmlns:rpm="{RPM}">\n  <revision>{now}</revision>\n  <data type="primary">\n'
        f'    <checksum type="sha256">{digest}</checksum>\n'
        f'    <open-checksum type="sha256">{open_digest}</open-checksum>\n'
        f'    <location href="repodata/{name}"/>\n    <timestamp>{now}</timestamp>\n'
        f'    <size>{size}</size>\n    <open-size>{open_size}</open-size>\n  </data>\n</repomd>\n')

    sign_repository(out, repo, ("--no-index",))

    db = init_database(out)
    run(["rpm", "--dbpath", str(db), "-i", "--justdb", "--nodeps", "--noscripts", "--nosignature"]
        + [str(p) for p in sorted(built.glob("*-1.0-1.noarch.rpm"))])

    with open(out / "expected", "w") as f:
        f.write(f"size {args.size}\nseed {args.seed}\ngenerated {args.size - n_real}\ninstalled 3\n"
                f"updates bench-app bench-lib 2.0, gen-0000003 obsoletes bench-tool, "
                f"gen-0000001 and the provider of libgen0000002.so.1 pulled in\n"
                f"primary {size} bytes, {open_size} bytes open\n")
    shutil.rmtree(out / "rpmbuild", ignore_errors=True)
    shutil.rmtree(out / "builddb", ignore_errors=True)
    shutil.rmtree(staging, ignore_errors=True)
    print(f"fixture {out}: {args.size} records ({n_real} real), 3 installed")


if __name__ == "__main__":
    sys.exit(main())
