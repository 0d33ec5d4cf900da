#!/usr/bin/env bash
# Prepares everything the build, tests and demo need, from nothing:
# a CPython 3.13 virtual environment in .venv with build, runtime, test and
# lint packages (pyproject.toml's dependencies and its `dev` group), and g++
# and redis-server / redis-cli (installed through apt-get when missing).
# Safe to run again: each step is skipped when its result is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    local candidates=(python3.13)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=(/root/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13)
    local c
    for c in "${candidates[@]}"; do
        if "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
            echo "$c"; return 0
        fi
    done
    return 1
}

apt_install() {
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
    else
        sudo apt-get update -qq >/dev/null && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
    fi
}

if ! command -v g++ >/dev/null 2>&1 || ! command -v make >/dev/null 2>&1; then
    echo "== installing the C++ compiler with apt-get"
    apt_install build-essential
fi

if ! command -v redis-server >/dev/null 2>&1 || ! command -v redis-cli >/dev/null 2>&1; then
    echo "== installing redis-server and redis-tools with apt-get"
    apt_install redis-server redis-tools
    # The package starts a system-wide server; the tests run their own.
    (service redis-server stop || systemctl stop redis-server) >/dev/null 2>&1 || true
fi

if [ ! -x .venv/bin/python ]; then
    py=$(find_python) || {
        echo "== no CPython 3.13 found; installing python3.13 with apt-get" >&2
        apt_install python3.13 python3.13-venv python3.13-dev
        py=$(find_python)
    }
    echo "== creating .venv with $py"
    "$py" -m venv .venv
fi

# The runtime dependencies and the `dev` dependency group of pyproject.toml
# (build, test and lint tools); again whenever pyproject.toml changes.
stamp=.venv/.requirements-stamp
want=$(sha1sum pyproject.toml | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    echo "== installing build, runtime, test and lint packages into .venv"
    # pip 25.1 is the first to install dependency groups (--group).
    .venv/bin/python -m pip install -q --upgrade "pip>=25.1"
    mapfile -t runtime < <(.venv/bin/python -c \
        'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"], sep="\n")')
    .venv/bin/python -m pip install -q --group dev "${runtime[@]}"
    echo "$want" > "$stamp"
fi
