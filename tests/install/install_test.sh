#!/usr/bin/env bash
# The deliverables as users get them, one CTest case a command:
#   install_test.sh stage BUILD PREFIX MANIFEST
#       cmake --install BUILD into a fresh PREFIX; the files are MANIFEST's,
#       the library carries its SONAME, the programs their relative rpath.
#   install_test.sh find-package PREFIX WORK SOURCE
#       configures and builds the CMake project SOURCE against PREFIX with
#       Ninja and runs its program against the installed quidorsim.
#   install_test.sh pkg-config PREFIX WORK SOURCE
#       builds SOURCE/downstream.c with Ninja and the flags pkg-config gives
#       for ferrox and ferrox-memarea, and runs it the same way.
#   install_test.sh commander PREFIX WORK
#       the installed ferroxcmd from a copy of PREFIX somewhere else.
#   install_test.sh package BUILD WORK MANIFEST
#       the Debian package built by CPack: its files, its fields, and its
#       programs run from the unpacked package.
# The environment gives the compilers and flags of the tree under test:
# CC, DOWNSTREAM_CFLAGS, DOWNSTREAM_LDFLAGS; LIBDIR is the libraries' folder under the prefix;
# WITH_QUIDORSIM names the script that runs a command against a fresh
# simulator.
set -euo pipefail

die() {
  echo "install_test: $*" >&2
  exit 1
}

fresh_dir() {
  rm -rf "$1"
  mkdir -p "$1"
}

# Every file under ROOT (relative, symbolic links as files) matches a line of
# MANIFEST, and every line of MANIFEST matches a file.
check_manifest() {
  local manifest=$1
  shift
  local -a files=("$@")
  local -A covered=()
  local line file found rc=0
  while IFS= read -r line; do
    case $line in '' | '#'*) continue ;; esac
    found=0
    for file in "${files[@]}"; do
      # shellcheck disable=SC2053 # the manifest's lines are patterns
      if [[ $file == $line ]]; then covered[$file]=1; found=1; fi
    done
    if [ $found -eq 0 ]; then echo "missing: $line" >&2; rc=1; fi
  done < "$manifest"
  for file in "${files[@]}"; do
    if [ -z "${covered[$file]:-}" ]; then echo "not in the manifest: $file" >&2; rc=1; fi
  done
  return $rc
}

# The RUNPATH of an ELF file, or nothing.
runpath() {
  readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p'
}

# Runs PROGRAM ARGS against a fresh quidorsim from PREFIX and expects a line
# of its output to match each EXPECT pattern (extended regular expressions,
# ending with --).
run_against_sim() {
  local prefix=$1
  shift
  local -a expect=()
  while [ "$1" != -- ]; do expect+=("$1"); shift; done
  shift
  local out
  out=$("$WITH_QUIDORSIM" "$prefix/bin/quidorsim" "$@") || {
    echo "$out"
    die "$1 failed against quidorsim"
  }
  echo "$out"
  local line
  for line in "${expect[@]}"; do
    grep -qxE -- "$line" <<< "$out" || die "expected a line \"$line\""
  done
}

cmd=$1
shift
case $cmd in
stage)
  build=$1 prefix=$2 manifest=$3
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix"
  mapfile -t files < <(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
  check_manifest "$manifest" "${files[@]}" || die "the installed files differ from $manifest"

  lib=$LIBDIR
  real=$(readlink -f "$prefix/$lib/libFerrox.so")
  soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
  [ "$(readlink "$prefix/$lib/libFerrox.so")" = "$soname" ] || die "libFerrox.so does not link to $soname"
  { [ -L "$prefix/$lib/$soname" ] && [ "$(readlink "$prefix/$lib/$soname")" = "$(basename "$real")" ]; } ||
    die "$soname does not link to $(basename "$real")"
  [[ $(basename "$real") == "$soname".* ]] || die "$(basename "$real") is not a version of $soname"
  echo "libFerrox: $soname -> $(basename "$real")"

  for program in "$prefix"/bin/*; do
    rp=$(runpath "$program")
    [ "$rp" = "\$ORIGIN/../$lib" ] || die "$program has the rpath \"$rp\", not \$ORIGIN/../$lib"
  done
  [ "$(runpath "$prefix/$lib/libferroxjni.so")" = "\$ORIGIN" ] || die "libferroxjni.so does not look beside itself"
  # Nothing a user's build reads names the tree it was built in.
  if grep -rlF -e "$build" -e "$(cd "$(dirname "$0")/../.." && pwd)" "$prefix/$lib/cmake" "$prefix/$lib/pkgconfig"; then
    die "files above name the build or source tree"
  fi
  echo "installed ${#files[@]} files as listed"
  ;;

find-package)
  prefix=$1 work=$2 source=$3
  fresh_dir "$work"
  cmake -S "$source" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER="$CC" -DCMAKE_C_FLAGS="$DOWNSTREAM_CFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$DOWNSTREAM_LDFLAGS" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  found=$(sed -n 's/^Ferrox_DIR:PATH=//p' "$work/build/CMakeCache.txt")
  [ "$(readlink -f "$found")" = "$(readlink -f "$prefix/$LIBDIR/cmake/Ferrox")" ] ||
    die "find_package found Ferrox in $found, not in the prefix"
  cmake --build "$work/build"
  run_against_sim "$prefix" "library 1092, compiled .*" "DATA 0200\.\.023F read back" "HEX file holds the same bytes" -- \
    "$work/build/downstream" "$work"
  ;;

pkg-config)
  prefix=$1 work=$2 source=$3
  fresh_dir "$work"
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$prefix/$LIBDIR/pkgconfig
  [ "$(pkg-config --modversion ferrox)" = "1.92" ] || die "pkg-config finds another ferrox"
  cflags=$(pkg-config --cflags ferrox ferrox-memarea)
  libs=$(pkg-config --libs ferrox ferrox-memarea)
  cat > "$work/build.ninja" <<EOF
rule cc
  command = $CC $DOWNSTREAM_CFLAGS $cflags -o \$out \$in $DOWNSTREAM_LDFLAGS $libs
build downstream: cc $source/downstream.c
EOF
  ninja -C "$work"
  # Without an rpath, the loader finds the library as a user's shell tells it.
  LD_LIBRARY_PATH=$(pkg-config --variable=libdir ferrox) \
    run_against_sim "$prefix" "library 1092, compiled .*" "DATA 0200\.\.023F read back" "HEX file holds the same bytes" -- \
    "$work/downstream" "$work"
  ;;

commander)
  prefix=$1 work=$2
  fresh_dir "$work"
  # A copy elsewhere: the programs find their libraries relative to
  # themselves, never in the build tree or the first prefix.
  cp -a "$prefix" "$work/moved"
  moved=$work/moved
  unset LD_LIBRARY_PATH
  resolved=$(ldd "$moved/bin/ferroxcmd" | sed -n 's/^[[:space:]]*libFerrox\.so\.[0-9]* => \(.*\) (.*$/\1/p')
  { [ -n "$resolved" ] && [ "$(readlink -f "$(dirname "$resolved")")" = "$(readlink -f "$moved/$LIBDIR")" ]; } ||
    die "ferroxcmd loads libFerrox from \"$resolved\", not from $moved/$LIBDIR"
  echo "ferroxcmd loads $resolved"
  version=$("$moved/bin/ferroxcmd" --version)
  echo "$version"
  [[ $version =~ ^"Halvorn Quidor Tamsa Commander V1.92"$'\n'"DLL: 1.92, compiled "[A-Z][a-z][a-z]" "[\ 0-9][0-9]" "[0-9]{4}" "[0-9:]{8}$ ]] ||
    die "unexpected --version output"
  sim_version=$("$moved/bin/quidorsim" --version)
  echo "$sim_version"
  [[ $sim_version == "quidorsim 1.92, compiled "* ]] || die "unexpected quidorsim --version output"
  run_against_sim "$moved" "Writing 12 to DATA @ 100" "Writing 34 to DATA @ 101" "00000100 = 12 34 00 00 " -- \
    "$moved/bin/ferroxcmd" --wDat 100,12 34 --rDat 100,4
  ;;

package)
  build=$1 work=$2 manifest=$3
  fresh_dir "$work"
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work")
  debs=("$work"/ferrox_*.deb)
  { [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ]; } || die "cpack made no single ferrox_*.deb"
  deb=${debs[0]}
  echo "built $(basename "$deb")"
  mapfile -t files < <(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ { print $6 }' | sed 's|^\./usr/||' | sort)
  check_manifest "$manifest" "${files[@]}" || die "the package's files differ from $manifest"
  [ "$(dpkg-deb -f "$deb" Package)" = ferrox ] || die "package name"
  [ "$(dpkg-deb -f "$deb" Version)" = 1.92 ] || die "package version"
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  names=" $(sed 's/ ([^)]*)//g; s/,/ /g' <<< "$depends") "
  for needed in libc6 libstdc++6 libedit2; do
    [[ $names == *" $needed "* ]] || die "Depends lacks $needed"
  done
  dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx './shlibs' || die "no shlibs file"
  # Unpacked, the programs run on the package's own library.
  dpkg-deb -x "$deb" "$work/root"
  version=$(unset LD_LIBRARY_PATH && "$work/root/usr/bin/ferroxcmd" --version && "$work/root/usr/bin/quidorsim" --version)
  echo "$version"
  grep -qxE 'DLL: 1\.92, compiled .+' <<< "$version" || die "the packaged ferroxcmd does not run"
  grep -qxE 'quidorsim 1\.92, compiled .+' <<< "$version" || die "the packaged quidorsim does not run"
  ;;

*)
  die "unknown command $cmd"
  ;;
esac
