#!/usr/bin/env bash
# Builds the Debian packages (binary only, unsigned) from a copy of the
# tracked sources: scripts/build-packages.sh OUT. The .debs and the .changes
# land in OUT/src; the checkout itself gets no build files.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$1
source="$out/src/orvanel-tftp"
rm -rf "$out/src"
mkdir -p "$source"
# A tracked file deleted in the worktree is left out.
git -C "$top" ls-files -z | while IFS= read -r -d '' name; do
  if [ -e "$top/$name" ] || [ -L "$top/$name" ]; then
    mkdir -p "$(dirname "$source/$name")"
    cp -P --preserve=mode,timestamps "$top/$name" "$source/$name"
  fi
done
cores=$(nproc)
[ "$cores" -le 4 ] || cores=4
cd "$source"
began=$SECONDS
DEB_BUILD_OPTIONS="parallel=$cores" dpkg-buildpackage -us -uc -b
echo "dpkg-buildpackage: $((SECONDS - began)) s"
