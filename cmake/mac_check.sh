#!/bin/sh
# Checks a built Vizmira.plugin as the host will load it; the macOS counterpart of
# vizmira_pe_check, run after the bundle is signed.
#   cmake/mac_check.sh PATH/Vizmira.plugin PATH/vizmira_pipl_gen
set -u
bundle=$1
gen=$2
contents=$bundle/Contents
binary=$contents/MacOS/Vizmira
ok=0
fault() { echo "FAULT: $*"; ok=1; }

plutil -lint "$contents/Info.plist" >/dev/null || fault "Info.plist does not parse"
[ "$(plutil -extract CFBundlePackageType raw "$contents/Info.plist")" = eFKT ] ||
  fault "CFBundlePackageType is not eFKT"
[ "$(plutil -extract CFBundleSignature raw "$contents/Info.plist")" = FXTC ] ||
  fault "CFBundleSignature is not FXTC"
[ "$(plutil -extract CFBundleExecutable raw "$contents/Info.plist")" = Vizmira ] ||
  fault "CFBundleExecutable does not name Contents/MacOS/Vizmira"
[ "$(cat "$contents/PkgInfo" 2>/dev/null)" = eFKTFXTC ] || fault "PkgInfo is not eFKTFXTC"

archs=$(lipo -archs "$binary" 2>/dev/null)
for arch in x86_64 arm64; do
  case " $archs " in *" $arch "*) ;; *) fault "no $arch code in $binary" ;; esac
  exports=$(nm -gU -arch "$arch" "$binary" 2>/dev/null | awk '{print $3}')
  [ "$exports" = _EntryPointFunc ] || fault "$arch exports '$exports', not only _EntryPointFunc"
done
otool -L "$binary" | tail -n +2 | grep -v -E '/usr/lib/|/System/Library/' &&
  fault "links against libraries outside the system"

"$gen" verify-mac "$contents/Resources/Vizmira.rsrc" || fault "Vizmira.rsrc is not the property table"
codesign --verify --strict --deep "$bundle" || fault "the bundle's signature does not verify"

[ $ok -eq 0 ] && echo "bundle ok" || echo "bundle FAULTY"
exit $ok
