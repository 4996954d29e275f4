# Debian packages the build, the tests, the demo and the release tool (osslsigncode signs the
# installer) need; sourced by the scripts. debootstrap and iproute2 make and network the Debian 13
# chroot with Wine 10 (tests/wine10/chroot.sh) and the emulated 32-bit Wine
# (tests/wine32/emulated.sh). The posix compilers build the Windows adapter tests (64- and 32-bit).
# libgnutls30: Wine's CNG verifies ECDSA signatures through GnuTLS (only a Recommends of Wine's
# packages). clang and libclang-rt-14-dev (libFuzzer's runtime, libclang_rt.fuzzer) build the fuzz
# targets.
KVT_PACKAGES=(cmake ninja-build g++ libgtest-dev googletest
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix mingw-w64-i686-dev
  wine64 wine fonts-wine xvfb locales fonts-wqy-zenhei imagemagick xauth
  nginx curl procps libssl-dev openssl osslsigncode ca-certificates debootstrap iproute2
  libgnutls30 clang libclang-rt-14-dev)

# Installs the packages that are missing through apt-get (as root, or through sudo; without sudo
# says what to run as root). Says what it does: on a fresh machine this takes minutes.
ensure_packages() {
  local missing=()
  local p
  for p in "${KVT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "all ${#KVT_PACKAGES[@]} Debian packages are installed"
    return 0
  fi
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "missing Debian packages; as root, run: apt-get install ${missing[*]}"
      return 1
    fi
    sudo="sudo"
  fi
  echo "installing ${#missing[@]} missing Debian packages with ${sudo:+sudo }apt-get" \
    "(a few minutes on a fresh machine): ${missing[*]}"
  echo "  apt-get update"
  $sudo apt-get update -qq || return 1
  echo "  apt-get install"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null ||
    return 1
  echo "  installed"
}
