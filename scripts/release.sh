#!/usr/bin/env bash
# Builds a release and its update-feed item: the .deb and the portable archive, each signed with the
# release key (Ed25519), whose public half goes into the build's Info.ini so the program can check them.
#
#   scripts/release.sh KEY BASE_URL [BUILD] [FEED]
#
# KEY       the release's private key (PEM), kept outside the repository; make one with
#           openssl genpkey -algorithm ed25519 -out ~/.config/quillora-release/ed25519.pem
# BASE_URL  where the files will be published (https), ending in /
# BUILD     the build folder (default: build)
# FEED      an appcast file to add the item to (created when missing); without it the item is only printed
#
# Writes <BUILD>/appcast-item-<version>.xml. Upload the two files to BASE_URL, then the feed.
set -euo pipefail

key=${1:?usage: scripts/release.sh KEY BASE_URL [BUILD] [FEED]}
base_url=${2:?usage: scripts/release.sh KEY BASE_URL [BUILD] [FEED]}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${3:-$root/build}
feed=${4:-}

fail() { echo "release: $*" >&2; exit 1; }

[ -f "$key" ] || fail "no key at $key"
key=$(realpath "$key")
case "$key" in "$root"/*) fail "the release key must be kept outside the repository ($key)";; esac
case "$base_url" in https://*/) ;; *) fail "BASE_URL must be an https address ending in /";; esac
command -v openssl >/dev/null || fail "openssl is needed"

public_key=$(openssl pkey -in "$key" -pubout -outform DER | tail -c 32 | base64 -w0)
[ -n "$public_key" ] || fail "cannot read an Ed25519 key from $key"

cmake -S "$root" -B "$build" -G Ninja -DQUILLORA_WERROR=ON "-DQUILLORA_UPDATE_PUBLIC_KEY=$public_key" >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillora_installed
(cd "$build" && cpack >/dev/null)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
build_version=$(sed -n 's/^QUILLORA_BUILD_VERSION:STRING=//p' "$build/CMakeCache.txt")
arch=$(sed -n 's/^QuilloraArchitecture=//p' "$build/Quillora/Info.ini")
grep -q "^SUPublicEDKey=\"$public_key\"" "$build/Quillora/Info.ini" || fail "Info.ini does not carry the public key"

enclosures=""
for file in "$build/quillora_${version}_${arch}.deb" "$build/quillora-${version}-${arch}.tar.gz"; do
    [ -f "$file" ] || fail "cpack did not make $file"
    signature=$(openssl pkeyutl -sign -inkey "$key" -rawin -in "$file" | base64 -w0)
    # Checked once more with the public half alone, as the program will.
    openssl pkeyutl -verify -pubin -inkey <(openssl pkey -in "$key" -pubout) -rawin -in "$file" \
        -sigfile <(echo "$signature" | base64 -d) >/dev/null || fail "the signature of $file does not verify"
    enclosures+="      <enclosure url=\"${base_url}$(basename "$file")\" length=\"$(stat -c %s "$file")\""
    enclosures+=" type=\"application/octet-stream\" sparkle:edSignature=\"$signature\"/>"$'\n'
done

item=$build/appcast-item-$version.xml
cat >"$item" <<ITEM
    <item>
      <title>Quillora $version</title>
      <pubDate>$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S +0000')</pubDate>
      <sparkle:version>$build_version</sparkle:version>
      <sparkle:shortVersionString>$version</sparkle:shortVersionString>
$enclosures    </item>
ITEM

if [ -n "$feed" ]; then
    if [ ! -f "$feed" ]; then
        cat >"$feed" <<FEED
<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Quillora</title>
  </channel>
</rss>
FEED
    fi
    # The newest item goes first, right after the channel's own fields.
    awk -v item="$item" '
        !done && (/<item>/ || /<\/channel>/) { while ((getline line < item) > 0) print line; done = 1 }
        { print }' "$feed" >"$feed.new"
    mv "$feed.new" "$feed"
    echo "release: added $version to $feed"
fi
cat "$item"
