# Shared by the demo and test scripts (sourced from the repository root):
# installs what is missing, builds and installs the module into the chosen
# interpreter.
#
# PYTHON names the interpreter (default: python3); it may be a virtual
# environment's python in which nothing but pip is installed.  Python
# packages are installed at the exact versions of constraints.txt, so that
# every run on a fresh machine gets the same set.
set -euo pipefail

PYTHON=${PYTHON:-python3}
# A relative path was meant relative to where the script was started, before
# the script changed to the repository root.
case "$PYTHON" in
    /*) ;;
    */*) PYTHON="${OLDPWD:-$PWD}/$PYTHON" ;;
esac
CONSTRAINTS="$PWD/constraints.txt"
# Exported, so that every pip the scripts start, directly or through other
# tools (the isolated build environment of `python -m build`, say), takes
# the same versions.
export PIP_CONSTRAINT="$CONSTRAINTS"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

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

# pip install at the pinned versions; pip does nothing for a requirement
# that is already installed at its pinned version.
pip_install() {
    "$PYTHON" -m pip install -q "$@"
}

# The build backend, so that the module builds without an isolated
# environment (and so without downloading the backend on every build).
# The interpreter's scripts directory goes first on PATH, so that the meson,
# ninja and pytest commands the scripts run are the ones installed for it.
ensure_build_tools() {
    pip_install meson-python meson ninja
    local scripts
    scripts=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
    export PATH="$scripts:$PATH"
}

# Builds a wheel of caustrix and installs it with the given optional
# dependency group.  The wheel stays in build/wheelhouse-X.Y (named in
# CAUSTRIX_WHEEL), so that the packaging tests check the wheel that was
# installed instead of compiling the module once more.
install_module() {
    local extra="$1" version wheelhouse wheels
    echo "==> building and installing caustrix for $("$PYTHON" -c 'import sys; print(sys.executable)')"
    version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    wheelhouse="$PWD/build/wheelhouse-$version"
    rm -rf "$wheelhouse"
    "$PYTHON" -m pip wheel -q --no-build-isolation --no-deps -w "$wheelhouse" .
    wheels=("$wheelhouse"/caustrix-*.whl)
    # The extra's requirements first; then the module itself, replacing an
    # earlier build of the same version.
    pip_install "${wheels[0]}[${extra}]"
    pip_install --force-reinstall --no-deps "${wheels[0]}"
    export CAUSTRIX_WHEEL="${wheels[0]}"
}
