# Debian packages the build, the tests, the demo and the release tool (osslsigncode signs the
# installer) need; sourced by the scripts.
KVT_PACKAGES=(cmake ninja-build g++ libgtest-dev googletest
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine64 wine fonts-wine xvfb locales fonts-wqy-zenhei imagemagick xauth
  nginx curl procps osslsigncode openssl)

# Installs the packages that are missing (as root through apt-get; otherwise says what to run).
ensure_packages() {
  local missing=()
  local p
  for p in "${KVT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
