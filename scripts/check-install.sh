#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The shipped files on their own, after scripts/package.sh (run as root):
#  1. lintian --pedantic accepts the Debian packages (no error, no warning
#     that the packages do not override with a reason) and rpmlint the RPMs
#     (no error or warning left by packaging/rpm/rpmlint.toml);
#  2. both kinds hold the plug-in, the headers, the CMake package, the man
#     pages, the completion, the schemas and their documents where their
#     distributions put them, the packages depend on each other at this
#     version, libTmHost exports no instantiation of the standard library,
#     and the packaged plug-in keeps its symbol floor (scripts/symbol-floor.sh);
#  3. `cmake --install` into an empty prefix, which is then moved elsewhere,
#     and a plug-in-only build (MPIO_PLUGIN_ONLY, with every optional
#     package hidden from CMake) installs the plug-in and its header alone;
#  4. the Debian packages unpacked into a scratch root (dpkg-deb -x), the
#     RPMs installed into another (rpm --root);
#  5. in a mount namespace where the source and build trees are hidden under
#     an empty tmpfs, for the moved tree and both roots alike: every
#     program's --version, the installed mpioctl in the installed simulator
#     (the demo's first steps; its --json documents against the installed
#     schemas), a host program built with find_package(TmMPIO) and linked
#     with --as-needed that loads the installed plug-in, and one built with
#     pkg-config (scripts/installed-checks.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
deb_build=build/package
rpm_build=build/package-rpm
packages=$deb_build/packages

fail() { echo "check-install: $*" >&2; exit 1; }

for build in "$deb_build" "$rpm_build"; do
    [ -f "$build/CMakeCache.txt" ] || fail "no build tree $build: run scripts/package.sh first"
done
ls "$packages"/*.deb "$packages"/*.rpm >/dev/null 2>&1 || fail "no packages in $packages: run scripts/package.sh first"
version=$(sed -n 's/^#define TMMPIO_VERSION_STRING "\(.*\)"$/\1/p' "$deb_build/generated/TmMPIOVersion.h")
# The version with the packaging's revision, as the packages have it: 1.0.0-1.
full_version=$(dpkg-deb -f "$packages"/tmmpio-emcpowerpath_*.deb Version)
[[ $full_version == "$version"-* ]] || fail "the packages are $full_version, the project $version"
cache_libdir() { sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$1/CMakeCache.txt"; }
deb_libdir=$(cache_libdir "$deb_build")
rpm_libdir=$(cache_libdir "$rpm_build")

work=$(mktemp -d "${TMPDIR:-/tmp}/mpio-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "-- lintian and rpmlint"
status=0
lintian --pedantic --display-info --fail-on error,warning "$packages"/*.deb >"$work/lintian.out" 2>&1 ||
    status=$?
# (Running as root is harmless for packages built here.)
grep -v '^running with root privileges' "$work/lintian.out" || true
[ "$status" -eq 0 ] || fail "lintian reports errors or warnings (above)"
echo "lintian: no error, no warning"
rpmlint --strict -c packaging/rpm/rpmlint.toml "$packages"/*.rpm >"$work/rpmlint.out" ||
    { cat "$work/rpmlint.out"; fail "rpmlint reports errors or warnings (above)"; }
tail -n 1 "$work/rpmlint.out"

# in_list LIST PATH...: every PATH is a line of the file LIST.
in_list() {
    local list=$1 path
    shift
    for path in "$@"; do
        grep -qxF "$path" "$list" || fail "no $path in the packages"
    done
}
# The installed files of both kinds, with their libdir.
shipped() {
    local libdir=$1
    printf '%s\n' "$libdir/tmmpio/libTmMPIO_EMCPowerPath.so" include/TmMPIO_EMCPowerPath.h \
        "$libdir/libTmHost.so.1" "$libdir/libTmHost.so" include/TmHostServices.h include/TmMPIOVersion.h \
        include/tmhost/TmHost.h "$libdir/cmake/TmMPIO/TmMPIOConfig.cmake" "$libdir/pkgconfig/tmmpio.pc" \
        bin/mpioctl bin/mpio-sandbox bin/powermt-sim share/tmmpio/topologies/default.topo \
        share/tmmpio/schemas/devices.schema.json share/bash-completion/completions/mpioctl \
        share/man/man1/mpioctl.1.gz share/man/man1/mpio-sandbox.1.gz share/man/man1/powermt-sim.1.gz \
        share/man/man5/tmmpio-topology.5.gz share/man/man3/tmmpio.3tmmpio.gz share/man/man3/init.3tmmpio.gz |
        sed 's|^|/usr/|'
}
# depends_on FIELD TEXT NEEDED...: TEXT (a package's FIELD) names every NEEDED.
depends_on() {
    local field=$1 text=$2 needed
    shift 2
    for needed in "$@"; do
        [[ $text == *"$needed"* ]] || fail "$field does not name $needed: $text"
    done
}

echo "-- Debian package contents"
for deb in "$packages"/*.deb; do
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|;s|/$||' >"$work/$package.debfiles"
    in_list "$work/$package.debfiles" "/usr/share/doc/$package/copyright" \
        "/usr/share/doc/$package/changelog.Debian.gz" "/usr/share/doc/$package/changelog.gz"
done
cat "$work"/*.debfiles >"$work/all-deb"
# shellcheck disable=SC2046
in_list "$work/all-deb" $(shipped "$deb_libdir")
in_list "$work/tmmpio-emcpowerpath.debfiles" /usr/share/doc/tmmpio-emcpowerpath/INTEGRATION.md.gz \
    /usr/share/doc/tmmpio-emcpowerpath/README.md.gz
in_list "$work/libtmhost1.debfiles" "/usr/$deb_libdir/libTmHost.so.1"
in_list "$work/libtmhost-dev.debfiles" "/usr/$deb_libdir/libTmHost.so" /usr/include/tmhost/TmHost.h
depends_on "libtmhost-dev's Depends" "$(dpkg-deb -f "$packages"/libtmhost-dev_*.deb Depends)" \
    "libtmhost1 (= $full_version)"
tools_depends=$(dpkg-deb -f "$packages"/tmmpio-tools_*.deb Depends)
depends_on "tmmpio-tools' Depends" "$tools_depends" \
    "libtmhost1 (= $full_version)" "tmmpio-emcpowerpath (= $full_version)" libstdc++6
echo "every file in place; tmmpio-tools depends on: $tools_depends"

echo "-- RPM contents"
for rpm in "$packages"/*.rpm; do
    package=$(rpm -qp --qf '%{NAME}' "$rpm")
    rpm -qlp "$rpm" >"$work/$package.rpmfiles"
    rpm -qlp --docfiles "$rpm" >"$work/$package.docfiles"
    rpm -qlp --licensefiles "$rpm" >"$work/$package.licensefiles"
    in_list "$work/$package.docfiles" "/usr/share/doc/$package/CHANGELOG.md"
    in_list "$work/$package.licensefiles" "/usr/share/licenses/$package/LICENSE"
done
cat "$work"/*.rpmfiles >"$work/all-rpm"
# shellcheck disable=SC2046
in_list "$work/all-rpm" $(shipped "$rpm_libdir")
in_list "$work/tmmpio-emcpowerpath.docfiles" /usr/share/doc/tmmpio-emcpowerpath/INTEGRATION.md \
    /usr/share/doc/tmmpio-emcpowerpath/README.md
in_list "$work/libTmHost1.rpmfiles" "/usr/$rpm_libdir/libTmHost.so.1"
in_list "$work/tmmpio-devel.rpmfiles" "/usr/$rpm_libdir/libTmHost.so" /usr/include/tmhost/TmHost.h
# The system owns its directories.
for directory in /usr/share/man/man1 "/usr/$rpm_libdir/pkgconfig" /usr/share/doc /usr/share/licenses; do
    ! grep -qxF "$directory" "$work/all-rpm" || fail "an RPM owns $directory"
done
[ "$(rpm -qp --scripts "$packages"/libTmHost1-*.rpm | grep -c '^/sbin/ldconfig$')" -eq 2 ] ||
    fail "libTmHost1 does not run ldconfig in %post and %postun"
tools_requires=$(rpm -qp --requires "$packages"/tmmpio-tools-*.rpm | grep -i -e tmhost -e tmmpio | paste -sd , -)
depends_on "tmmpio-tools' Requires" "$tools_requires" \
    "libTmHost1 = $full_version" "tmmpio-emcpowerpath = $full_version" "libTmHost.so.1(TMHOST_1)(64bit)"
echo "every file in place; tmmpio-tools requires (of this project's): $tools_requires"

echo "-- install, then move the tree; unpack the Debian packages, install the RPMs"
cmake --install "$deb_build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
for deb in "$packages"/*.deb; do dpkg-deb -x "$deb" "$work/root-deb"; done
# Without the scriptlets (ldconfig), which the empty root cannot run.
rpm --root "$work/root-rpm" --nodeps --noscripts --force-debian -i "$packages"/*.rpm
# Mangled names of the standard library's entities (std::, std::string,
# __gnu_cxx::, ...)
# and of their type information, vtables and static locals.
std_definition='^_Z(T[ISV]|Z|GV)?N?K?(S[tabsiod]|9__gnu_cxx)'
for library in "$work/root-deb/usr/$deb_libdir/libTmHost.so.1" "$work/root-rpm/usr/$rpm_libdir/libTmHost.so.1"; do
    std=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -E "$std_definition" | c++filt || true)
    [ -z "$std" ] || fail "$library exports definitions of the standard library: $std"
done
echo "libTmHost exports no definition of the standard library"
# The packaged plug-in, built with the hardening flags, keeps the floor.
for plugin in "$work/root-deb/usr/$deb_libdir/tmmpio/libTmMPIO_EMCPowerPath.so" \
    "$work/root-rpm/usr/$rpm_libdir/tmmpio/libTmMPIO_EMCPowerPath.so"; do
    scripts/symbol-floor.sh "$plugin"
done

# A host team's build of the plug-in alone finds no package and installs two files.
plugin_only=build/plugin-only
rm -rf "$plugin_only"
cmake -S . -B "$plugin_only" -G Ninja --no-warn-unused-cli -DMPIO_PLUGIN_ONLY=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$plugin_only" >/dev/null
DESTDIR="$work/plugin-only" cmake --install "$plugin_only" --prefix /usr >/dev/null
got=$(cd "$work/plugin-only" && find . ! -type d -printf '%f\n' | sort | paste -sd ' ')
[ "$got" = "TmMPIO_EMCPowerPath.h libTmMPIO_EMCPowerPath.so" ] ||
    fail "the plug-in-only build installed [$got], not the plug-in and its header alone"
scripts/symbol-floor.sh "$(find "$work/plugin-only" -name libTmMPIO_EMCPowerPath.so)"

mkdir "$work/kit"
cp -r tests/install/consumer scripts/installed-checks.sh scripts/validate_mpioctl_json.py "$work/kit/"
unshare --mount bash "$work/kit/installed-checks.sh" "$repo" "$work" "$version" \
    "$work/moved:$deb_libdir" "$work/root-deb/usr:$deb_libdir" "$work/root-rpm/usr:$rpm_libdir"
