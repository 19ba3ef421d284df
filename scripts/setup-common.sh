# Shared by the demo and test scripts: installs what is missing, builds and
# installs the module into the current python3.
set -euo pipefail

PYTHON=${PYTHON:-python3}

# Debian packages, installed only when missing (we run as root on a fresh
# machine; apt-get update runs once, and only if something is missing).
ensure_apt() {
    local missing=()
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        echo "==> installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# The build backend, so that the module builds without an isolated
# environment (and so without downloading the backend on every build).
ensure_build_tools() {
    "$PYTHON" -c "import mesonpy, ninja" 2>/dev/null ||
        "$PYTHON" -m pip install -q "meson-python>=0.15" "meson>=1.1" "ninja>=1.11"
}

# Builds and installs caustrix with the given optional dependency group.
install_module() {
    local extra="$1"
    echo "==> building and installing caustrix"
    "$PYTHON" -m pip install -q --no-build-isolation ".[${extra}]"
}
