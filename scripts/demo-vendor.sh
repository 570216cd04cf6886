#!/usr/bin/env bash
# The vendor side of the demo devices (scripts/demo.sh, scripts/armhf-check.sh): a signing
# key, demo-app 1.0 (recorded as installed on the device) and 2.0 (the update, signed with
# rpmsign) in a repository published the way operators publish it, its index signed too.
#
# Usage: scripts/demo-vendor.sh WORK REPO DEVICE_DB
#   WORK       scratch directory of the vendor (gpg home, rpmbuild tree)
#   REPO       directory that becomes the repository
#   DEVICE_DB  the device's rpm database: it trusts the key and has demo-app 1.0
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$1
repo=$2
db=$3

export GNUPGHOME=$work/gnupg
mkdir -p "$GNUPGHOME" "$work/rpmbuild/SPECS" "$repo" && chmod 700 "$GNUPGHOME"
gpg --batch --quiet --passphrase '' --quick-gen-key 'Demo Updates <updates@demo.example>' rsa2048 sign never 2>/dev/null
gpg --batch --armor --export 'Demo Updates' > "$work/key.asc"
for version in 1.0 2.0; do
  cat > "$work/rpmbuild/SPECS/demo-app-$version.spec" <<SPEC
Name: demo-app
Version: $version
Release: 1
Summary: Demo application
License: MIT
BuildArch: noarch
%description
Demo application of the demo device.
%install
mkdir -p %{buildroot}/usr/share/demo-app
echo $version > %{buildroot}/usr/share/demo-app/version
%files
/usr/share/demo-app/version
SPEC
  rpmbuild --quiet -bb --define "_topdir $work/rpmbuild" --dbpath "$work/builddb" \
      "$work/rpmbuild/SPECS/demo-app-$version.spec"
done
rpmsign --addsign --define '__gpg /usr/bin/gpg' --define '_gpg_name Demo Updates' \
    --define "_gpg_path $GNUPGHOME" "$work/rpmbuild/RPMS/noarch/demo-app-2.0-1.noarch.rpm" >/dev/null
cp "$work/rpmbuild/RPMS/noarch/demo-app-2.0-1.noarch.rpm" "$repo/"
"$root/scripts/publish-repo.sh" --gpg-home "$GNUPGHOME" --key 'Demo Updates' "$repo"
gpgconf --kill all

# Recorded only: nothing of demo-app 1.0 is written outside the database.
rpm --dbpath "$db" --import "$work/key.asc"
rpm --dbpath "$db" -i --justdb --nodeps "$work/rpmbuild/RPMS/noarch/demo-app-1.0-1.noarch.rpm"
