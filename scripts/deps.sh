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

BUILD_PACKAGES=(g++ cmake make pkg-config libjansson-dev libmaxminddb-dev libseccomp-dev)
TEST_PACKAGES=(libgtest-dev clang libclang-rt-14-dev valgrind)
# Building and checking the Debian package, and validating reports against the
# schema (scripts/check-delivery, scripts/check-schema).
DELIVERY_PACKAGES=(build-essential debhelper dpkg-dev fakeroot lintian python3-jsonschema)
# The static binary and its checks (scripts/check-static): the C and C++
# libraries' archives come with libc6-dev and libstdc++-12-dev (in g++), the
# others' with their -dev packages; file and readelf look at the binary, the
# zone file shows that a copied /etc/localtime works.
STATIC_PACKAGES=(file binutils tzdata)
