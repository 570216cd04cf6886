#!/usr/bin/env bash
# Publishes a folder of rpm packages and payloads (.tavpkg files) as a repository the
# updater reads (README, "Repository format"): the tests' repositories are made by this
# script too, so what operators run is what is tested.
#
# Usage: scripts/publish-repo.sh [OPTION...] DIR [-- CREATEREPO_C-OPTION...]
#   --tavdata FILE     publish FILE as the vendor list "tavdata" that describes the payloads
#                      and firmware records; it is written by whoever makes the payloads,
#                      since only they know names, versions, groups and dependencies
#   --modifyrepo-option OPTION
#                      pass OPTION to modifyrepo_c for the tavdata list (repeatable)
#   --key KEY          sign the index with this gpg key (any form gpg --local-user takes):
#                      DIR/repodata/repomd.xml.asc, detached and armored
#   --gpg-home DIR     the gpg home directory holding the key (default: gpg's own)
#   --passphrase-file FILE
#                      the key's passphrase, for a key that has one
#   --sig-expire PERIOD
#                      make the signature expire after PERIOD (what gpg --default-sig-expire
#                      takes: 14d, 2w, 1y, ...): devices refuse the index as expired from
#                      then on, so a mirror cannot serve it forever; sign again before then
#   --gpg-option OPTION
#                      pass OPTION to gpg when signing (repeatable)
#   --no-index         keep the existing index: only add the tavdata list and/or sign (to
#                      sign again an index changed afterwards)
#
# The steps, in this order: createrepo_c over DIR (sha256 checksums, no sqlite databases,
# then the options after "--"), modifyrepo_c --mdtype=tavdata, and the signature. Devices
# refuse an index without a valid signature unless told not to check it.
#
# Devices record the signing time of the last index they accepted and refuse an index signed
# earlier: a replayed old index looks exactly like that. To roll devices back to an older
# snapshot on purpose, publish that snapshot (its packages, or its repodata with --no-index)
# and sign it now: the new signing time is what devices compare. A technician at a single
# device may instead run the updater once with --accept-older-metadata.
set -euo pipefail

die() {
  echo "publish-repo.sh: $*" >&2
  exit 1
}
warn() {
  echo "publish-repo.sh: warning: $*" >&2
}

tavdata=
key=
gpg_home=
passphrase_file=
sig_expire=
gpg_options=()
index=1
modifyrepo_options=()
createrepo_options=()
dir=

while [ $# -gt 0 ]; do
  case "$1" in
    --tavdata | --modifyrepo-option | --key | --gpg-home | --passphrase-file | --sig-expire | --gpg-option)
      [ $# -ge 2 ] || die "$1 needs a value"
      case "$1" in
        --tavdata) tavdata=$2 ;;
        --modifyrepo-option) modifyrepo_options+=("$2") ;;
        --key) key=$2 ;;
        --gpg-home) gpg_home=$2 ;;
        --passphrase-file) passphrase_file=$2 ;;
        --sig-expire) sig_expire=$2 ;;
        --gpg-option) gpg_options+=("$2") ;;
      esac
      shift 2
      ;;
    --no-index)
      index=
      shift
      ;;
    --)
      shift
      createrepo_options=("$@")
      break
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    -*) die "unknown option '$1' (see --help)" ;;
    *)
      [ -z "$dir" ] || die "more than one directory: '$dir' and '$1'"
      dir=$1
      shift
      ;;
  esac
done

[ -n "$dir" ] || die "no repository directory (see --help)"
[ -d "$dir" ] || die "'$dir' is not a directory"
[ -z "$tavdata" ] || [ -f "$tavdata" ] || die "no tavdata file '$tavdata'"
[ -n "$key" ] || [ -z "$gpg_home$passphrase_file$sig_expire${gpg_options[*]}" ] ||
  die "--gpg-home, --passphrase-file, --sig-expire and --gpg-option need --key"
[ -n "$index$tavdata$key" ] || die "--no-index without --tavdata or --key does nothing"
repodata=$dir/repodata

if [ -n "$index" ]; then
  # Replaces the whole of repodata/: an earlier tavdata list and signature go with it.
  createrepo_c --quiet --checksum sha256 --no-database "${createrepo_options[@]}" "$dir"
  if [ -z "$tavdata" ] && [ -n "$(find "$dir" -name '*.tavpkg' -print -quit)" ]; then
    warn "payloads (.tavpkg) in '$dir' but no --tavdata list: devices will not see them"
  fi
else
  [ -f "$repodata/repomd.xml" ] || die "no index '$repodata/repomd.xml' to keep (--no-index)"
fi

if [ -n "$tavdata" ]; then
  # modifyrepo_c names the published file after its input: hand it a copy named
  # tavdata.xml, kept outside the repository.
  input=$(mktemp -d "${TMPDIR:-/tmp}/publish-repo.XXXXXX")
  trap 'rm -rf "$input"' EXIT
  cp "$tavdata" "$input/tavdata.xml"
  modifyrepo_c --mdtype=tavdata "${modifyrepo_options[@]}" "$input/tavdata.xml" "$repodata" >/dev/null
fi

if [ -n "$key" ]; then
  gpg_args=(--batch --no-tty --yes)
  [ -z "$gpg_home" ] || gpg_args+=(--homedir "$gpg_home")
  [ -z "$passphrase_file" ] || gpg_args+=(--pinentry-mode loopback --passphrase-file "$passphrase_file")
  [ -z "$sig_expire" ] || gpg_args+=(--default-sig-expire "$sig_expire")
  gpg_args+=("${gpg_options[@]}")
  gpg "${gpg_args[@]}" --local-user "$key" --armor --output "$repodata/repomd.xml.asc" \
      --detach-sign "$repodata/repomd.xml"
else
  # A signature left from before no longer matches a changed index.
  rm -f "$repodata/repomd.xml.asc"
  warn "index not signed (no --key): devices refuse it unless they skip the metadata signature check"
fi
