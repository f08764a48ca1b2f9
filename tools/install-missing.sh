# Sourced by setup.sh and the package check: installs those of the given Debian packages that
# are not installed yet, refreshing the package lists first only when something is missing.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get update
        apt-get install -y "${missing[@]}"
    fi
}
