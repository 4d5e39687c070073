# Sourced by the build scripts: installs the Debian packages given as
# arguments when any of them is missing, so a fresh Debian 12 machine needs
# nothing beforehand. Runs apt-get as root, or through sudo when not root.
install_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}" >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
}

# The README's install lines list the same libraries; scripts/check-install
# runs those lines on a fresh Debian root.
BUILD_PACKAGES=(g++ cmake make pkg-config libjansson-dev libmaxminddb-dev libseccomp-dev libisal-dev zlib1g-dev libzstd-dev)
TEST_PACKAGES=(libgtest-dev clang libclang-rt-14-dev valgrind)
# Building and checking the Debian package, validating reports against the
# schema, building a fresh Debian root for the README's install lines and
# checking the scheduled-report examples (scripts/check-delivery,
# scripts/check-schema, scripts/check-install, scripts/check-recipes).
DELIVERY_PACKAGES=(build-essential debhelper dpkg-dev fakeroot lintian python3-jsonschema debootstrap)
# The static binary and its checks (scripts/check-static): the C and C++
# libraries' archives come with libc6-dev and libstdc++-12-dev (in g++), the
# others' with their -dev packages; file and readelf look at the binary, the
# zone file shows that a copied /etc/localtime works.
STATIC_PACKAGES=(file binutils tzdata)
# clang as the compiler (scripts/check-clang): LLVM's linker plugin lets GNU
# ld link its link-time-optimised objects.
CLANG_PACKAGES=(clang llvm-14-linker-tools libgtest-dev)
# Cross builds tested under qemu-user (scripts/check-cross), one array per
# Debian architecture: the cross compiler, pkg-config and the run-time
# libraries of that architecture (multiarch; `dpkg --add-architecture` first,
# which scripts/check-cross does), the -dev packages of BUILD_PACKAGES and
# GoogleTest. crossbuild-essential builds the Debian package for it. Not
# libisal-dev: its arm64 and amd64 forms cannot be installed side by side
# (installing one removes the other and breaks the native build), so cross
# builds inflate gzip with zlib.
CROSS_PACKAGES_arm64=(crossbuild-essential-arm64 g++-aarch64-linux-gnu qemu-user-static pkgconf:arm64
    libc6:arm64 libstdc++6:arm64 libjansson-dev:arm64 libmaxminddb-dev:arm64 libseccomp-dev:arm64
    zlib1g-dev:arm64 libzstd-dev:arm64
    libgtest-dev:arm64 debhelper dpkg-dev fakeroot lintian)
CROSS_PACKAGES_s390x=(crossbuild-essential-s390x g++-s390x-linux-gnu qemu-user-static pkgconf:s390x
    libc6:s390x libstdc++6:s390x libjansson-dev:s390x libmaxminddb-dev:s390x libseccomp-dev:s390x
    zlib1g-dev:s390x libzstd-dev:s390x
    libgtest-dev:s390x debhelper dpkg-dev fakeroot lintian)
