# Sourced by the release scripts: sets $py to a CPython 3.13 to make fresh
# virtual environments from ($PYTHON, else the one .venv was made from, else
# python3.13 on PATH), or fails through the caller's `fail`.
if [ -n "${PYTHON:-}" ]; then
    py=$PYTHON
elif [ -x .venv/bin/python ]; then
    py=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
else
    py=python3.13
fi
"$py" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null \
    || fail "needs CPython 3.13: run 'make env' first, or set PYTHON"
