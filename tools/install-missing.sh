# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by setup.sh and the package check: installs those of the given Debian packages that
# are not installed yet, refreshing the package lists first only when something is missing.
install_missing() {
    local missing=() p
    for p in "$@"; do
        # Once a package of the same name is installed for arm64 too, a name without its
        # architecture is ambiguous to dpkg; then the machine's own one is meant.
        dpkg -s "$p" >/dev/null 2>&1 || dpkg -s "$p:$(dpkg --print-architecture)" >/dev/null 2>&1 ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get update
        apt-get install -y "${missing[@]}"
    fi
}
