#!/usr/bin/env bash
# Builds a signed apt repository of the packages in the PACKAGE_DIRs with
# Debian's apt-ftparchive and gpg: the packages in DIR/pool/main/, an index
# per architecture (DIR/dists/stable/main/binary-ARCH/Packages), the Release
# file that holds the indexes' hashes, signed inline (InRelease) and apart
# (Release.gpg), and the public key in DIR/kavex-archive-keyring.gpg, the
# file for /etc/apt/keyrings.
#   scripts/repo.sh DIR PACKAGE_DIR...
#   scripts/repo.sh --new-key     prints a new throwaway secret key, armored
# The key is KAVEX_SIGNING_KEY: an OpenPGP secret key without a passphrase,
# ASCII-armored (what `gpg --armor --export-secret-keys FINGERPRINT` prints).
# When it is empty, a throwaway key is made for this run and forgotten once
# the Release is signed: nothing can be signed with it again.
set -euo pipefail
suite=stable component=main
gnupg=$(mktemp -d)
trap 'gpgconf --homedir "$gnupg" --kill gpg-agent 2>/dev/null || true; rm -rf "$gnupg"' EXIT
gpg() { command gpg --homedir "$gnupg" --batch --quiet --pinentry-mode loopback --passphrase '' "$@"; }
fail() { echo "make repo: $*" >&2; exit 1; }
throwaway_key() {
    gpg --quick-generate-key "kavex-node-tools throwaway key <throwaway@localhost>" ed25519 sign never 2>/dev/null
}

if [ "${1:-}" = --new-key ]; then
    throwaway_key && gpg --armor --export-secret-keys
    exit
fi
[ $# -ge 2 ] || { echo "usage: scripts/repo.sh DIR PACKAGE_DIR..." >&2; exit 2; }
dir=$1
shift
if [ -n "${KAVEX_SIGNING_KEY:-}" ]; then
    gpg --import <<<"$KAVEX_SIGNING_KEY" 2>/dev/null || fail "KAVEX_SIGNING_KEY is not an armored OpenPGP key"
else
    throwaway_key
    echo "make repo: no KAVEX_SIGNING_KEY: signed with a throwaway key, for tests only" >&2
fi
signer=$(gpg --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$signer" ] || fail "KAVEX_SIGNING_KEY holds no secret key"

rm -rf "$dir" && mkdir -p "$dir/pool/$component"
for packages in "$@"; do
    mapfile -t debs < <(find "$packages" -maxdepth 1 -name '*.deb' ! -name '*-dbgsym_*' 2>/dev/null)
    [ ${#debs[@]} -gt 0 ] || fail "no package in $packages"
    cp "${debs[@]}" "$dir/pool/$component/"
done
cd "$dir"
architectures=$(for deb in pool/$component/*.deb; do dpkg-deb -f "$deb" Architecture; done | sort -u | xargs)
for arch in $architectures; do
    index=dists/$suite/$component/binary-$arch
    mkdir -p "$index"
    apt-ftparchive --arch "$arch" packages pool >"$index/Packages"
    gzip -9nk "$index/Packages"
done
release=APT::FTPArchive::Release
apt-ftparchive -o "$release::Origin=kavex-node-tools" -o "$release::Label=kavex-node-tools" \
    -o "$release::Suite=$suite" -o "$release::Codename=$suite" -o "$release::Components=$component" \
    -o "$release::Architectures=$architectures" release "dists/$suite" >Release
mv Release "dists/$suite/Release"
gpg --local-user "$signer" --digest-algo SHA512 --clearsign -o "dists/$suite/InRelease" "dists/$suite/Release"
gpg --local-user "$signer" --digest-algo SHA512 --armor --detach-sign -o "dists/$suite/Release.gpg" \
    "dists/$suite/Release"
gpg --export "$signer" >kavex-archive-keyring.gpg
gpgv --keyring "$PWD/kavex-archive-keyring.gpg" "dists/$suite/InRelease" 2>/dev/null ||
    fail "the InRelease does not verify with the exported key"
echo "make repo: $dir, $architectures, signed by $signer; its key: $dir/kavex-archive-keyring.gpg"
