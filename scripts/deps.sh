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
