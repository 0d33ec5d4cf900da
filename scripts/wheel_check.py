"""Checks the sdist and the wheels in a directory (scripts/wheel-check.sh runs it).

    python scripts/wheel_check.py DIST_DIR

Every archive: what it holds (the four modules, their stubs and py.typed; not
the test-only _binding_probe; the `fast` extra in the metadata). Every shared
object of a wheel: it needs nothing on the target but the C library (no C++
runtime; the 32-bit ARM wheel the unwinder libgcc_s too, which glibc itself
uses to end threads) and no glibc symbol newer than the wheel's floor (2.17
for x86_64 and aarch64, 2.28 for 32-bit ARM); every symbol it leaves undefined
is the C library's, the unwinder's or the interpreter's; its file name carries the tags of its
WHEEL file. Then per platform:

- x86_64 and aarch64: `auditwheel show` must find the wheel consistent with
  exactly the manylinux tag it carries: a newer one means that something
  raised the glibc floor and the tag would be wrong, an older one that the
  wheel could be offered to more systems;
- 32-bit ARM: `readelf -A` must show every object as ARMv6, ARM instruction
  set, VFPv2, hard-float arguments; the ELF header as hard-float EABI; no
  stretch of Thumb code (no $t mapping symbol, so the symbol table must be
  there); and the disassembly no instruction beyond ARMv6 with VFPv2 (ARMv6K,
  ARMv6T2, ARMv7, VFPv3 or NEON).

Exits non-zero with every problem found.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

from packaging.utils import parse_wheel_filename

PACKAGE = "veltrano_python_configuration"
MODULES = ("journal_setup", "cache_access", "service_toolkit", "broker_setup")
# What a manylinux system (and any glibc system) provides; nothing else may be needed.
C_LIBRARY = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
    "ld-linux-armhf.so.3",
    "ld-linux-aarch64.so.1",
}
# Per wheel: the modules' suffix, readelf's machine, the wheel's tags and the
# newest glibc it may need (for a manylinux wheel, the version its tag names).
PLATFORMS = {
    "x86_64": {
        "suffix": "cpython-313-x86_64-linux-gnu",
        "machine": "Advanced Micro Devices X86-64",
        "tags": ["cp313-cp313-manylinux_2_17_x86_64", "cp313-cp313-manylinux2014_x86_64"],
        "glibc": (2, 17),
        "manylinux": True,
    },
    "aarch64": {
        "suffix": "cpython-313-aarch64-linux-gnu",
        "machine": "AArch64",
        "tags": ["cp313-cp313-manylinux_2_17_aarch64", "cp313-cp313-manylinux2014_aarch64"],
        "glibc": (2, 17),
        "manylinux": True,
    },
    "armhf": {
        "suffix": "cpython-313-arm-linux-gnueabihf",
        "machine": "ARM",
        "tags": ["cp313-cp313-linux_armv6l", "cp313-cp313-linux_armv7l"],
        "glibc": (2, 28),
        "manylinux": False,
        # The unwinder glibc ends threads with: on 32-bit ARM a frame's
        # personality routine steps over the frame with it (cmake/zig-toolchain.cmake).
        "unwinder": "libgcc_s.so.1",
    },
}
ARM_ATTRIBUTES = ("Tag_CPU_arch: v6", "Tag_ARM_ISA_use: Yes", "Tag_FP_arch: VFPv2", "Tag_ABI_VFP_args: VFP registers")
# Instructions that ARMv6 (ARM mode) with VFPv2 lacks: ARMv6K (exclusive
# byte/halfword/doubleword access, clrex, hints), ARMv6T2/ARMv7 (movw/movt,
# bit fields, barriers, division, unprivileged loads), and what needs VFPv3 or
# NEON (d16-d31, float immediates, fixed-point conversions, vector types, q registers).
ARM_BEYOND_V6 = re.compile(
    r"^(?:ldrex[bhd]|strex[bhd]|clrex|yield|wfe|wfi|sev|movw|movt|bfc|bfi|[su]bfx|rbit|mls|"
    r"dmb|dsb|isb|pldw|[su]div|ldrht|strht|ldrs[bh]t)(?:eq|ne|cs|cc|hs|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?$"
)
VFP3_OR_NEON_OPERAND = re.compile(r"\bd(?:1[6-9]|2\d|3[01])\b|\bq\d+\b")
VFP3_OR_NEON_FORM = re.compile(r"^v\w*\.(?:[iusp]\d+|\d+)$|^vmov(?:\.f(?:32|64))?$")

problems: list[str] = []
notes: list[str] = []


def run(*command: str) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def check_sdist(sdist: Path) -> None:
    with tarfile.open(sdist) as t:
        names = [n.split("/", 1)[1] for n in t.getnames() if "/" in n]
    for name in names:
        if name.split("/")[0] in ("build", ".venv", ".git", "dist") or "__pycache__" in name:
            problems.append(f"{sdist.name}: holds {name}")
    for needed in (
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        f"src/{PACKAGE}/__init__.py",
        "cmake/zig-toolchain.cmake",
    ):
        if needed not in names:
            problems.append(f"{sdist.name}: lacks {needed}")
    print(f"== check: {sdist.name}: {len(names)} files")


def check_contents(wheel: Path, names: list[str], metadata: str, tags: list[str], platform: dict) -> None:
    files = {n.split("/", 1)[1] for n in names if n.startswith(PACKAGE + "/")}
    for m in MODULES:
        if f"{m}.{platform['suffix']}.so" not in files:
            problems.append(f"{wheel.name}: lacks {m}.{platform['suffix']}.so")
        if f"{m}.pyi" not in files:
            problems.append(f"{wheel.name}: lacks {m}.pyi")
    for needed in ("__init__.py", "py.typed"):
        if needed not in files:
            problems.append(f"{wheel.name}: lacks {needed}")
    if any(f.startswith("_binding_probe") for f in files):
        problems.append(f"{wheel.name}: holds the test-only _binding_probe")
    if "Provides-Extra: fast" not in metadata:
        problems.append(f"{wheel.name}: its metadata has no 'fast' extra")
    if sorted(tags) != sorted(platform["tags"]):
        problems.append(f"{wheel.name}: tags {tags}, expected {platform['tags']}")
    named = sorted(str(t) for t in parse_wheel_filename(wheel.name)[3])
    if named != sorted(tags):
        problems.append(f"{wheel.name}: the file name says {named}, its WHEEL file {tags}")


def platform_of(name: str) -> str:
    """The PLATFORMS key of a wheel, from its file name or one of its tags."""
    return next((key for key in ("x86_64", "aarch64") if name.endswith(f"_{key}") or f"_{key}." in name), "armhf")


def check_linkage(
    wheel: Path, so: Path, glibc: tuple[int, int], unwinder: str | None
) -> tuple[set[str], tuple[int, int]]:
    name = f"{wheel.name}: {so.name}"
    dynamic = run("readelf", "-dW", str(so))
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    allowed = C_LIBRARY | ({unwinder} if unwinder else set())
    if needed - allowed:
        problems.append(f"{name}: needs {sorted(needed - allowed)} beyond the C library")
    if unwinder and unwinder not in needed:
        problems.append(f"{name}: does not take its unwinder from {unwinder}")
    versions = set(re.findall(r"Name: (\S+)\s+Flags", run("readelf", "-VW", str(so))))
    newest = (0, 0)
    for version in versions:
        if unwinder and re.fullmatch(r"GCC_\d+(\.\d+)*", version):
            continue
        m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version)
        if not m:
            problems.append(f"{name}: needs the symbol version {version} (not the C library's)")
            continue
        newest = max(newest, (int(m[1]), int(m[2])))
    if newest > glibc:
        problems.append(f"{name}: needs GLIBC_{newest[0]}.{newest[1]}, newer than {glibc[0]}.{glibc[1]}")
    # Every other undefined symbol must be one the interpreter defines (its
    # C API), else the import fails: the C library's all carry a version.
    unresolved = []
    for line in run("readelf", "--dyn-syms", "-W", str(so)).splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[6] == "UND" and fields[4] != "WEAK" and fields[7:]:
            symbol = fields[7]
            if "@" not in symbol and not re.match(r"_?Py|_Py", symbol):
                unresolved.append(symbol)
    if unresolved:
        problems.append(
            f"{name}: undefined symbols that neither the C library nor the interpreter "
            f"defines: {', '.join(sorted(unresolved)[:10])}"
        )
    return needed, newest


def check_manylinux(wheel: Path, key: str, glibc: tuple[int, int]) -> None:
    tagged = f"manylinux_{glibc[0]}_{glibc[1]}_{key}"
    shown = run("auditwheel", "show", str(wheel))
    m = re.search(rf'consistent with the following platform tag:\s*"manylinux_(\d+)_(\d+)_{key}"', shown)
    if not m:
        problems.append(f"{wheel.name}: auditwheel show finds no manylinux tag:\n{shown}")
        return
    found = f"manylinux_{m[1]}_{m[2]}_{key}"
    if (int(m[1]), int(m[2])) > glibc:
        problems.append(
            f"{wheel.name}: auditwheel show allows only {found}: the tag {tagged} is wrong "
            f"(something needs a newer glibc):\n{shown}"
        )
    elif (int(m[1]), int(m[2])) < glibc:
        problems.append(f"{wheel.name}: auditwheel show finds it consistent with {found}, wider than its tag {tagged}")
    else:
        notes.append(f"auditwheel show: {wheel.name} is consistent with {found}, its tag")


def check_arm(wheel: Path, so: Path) -> None:
    name = f"{wheel.name}: {so.name}"
    attributes = run("readelf", "-A", str(so)).splitlines()
    for tag in ARM_ATTRIBUTES:
        if "  " + tag not in attributes:
            problems.append(f"{name}: readelf -A lacks '{tag}':\n" + "\n".join(attributes))
    header = run("readelf", "-hW", str(so))
    if not re.search(r"Flags:.*Version5 EABI.*hard-float ABI", header):
        problems.append(f"{name}: the ELF header is not hard-float EABI5:\n{header}")
    symbols = run("readelf", "-sW", str(so)).splitlines()
    mapping = [line.split()[-1] for line in symbols if re.search(r" \$[atd](\.\S*)?$", line)]
    if not any(s.startswith("$a") for s in mapping):
        problems.append(f"{name}: no ARM mapping symbols (stripped symbol table?): Thumb code cannot be ruled out")
    thumb = [s for s in mapping if s.startswith("$t")]
    if thumb:
        problems.append(f"{name}: {len(thumb)} stretches of Thumb code")
    function, count = "", 0
    for line in run("arm-linux-gnueabihf-objdump", "-d", "--no-show-raw-insn", str(so)).splitlines():
        label = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if label:
            function = label[1]
            continue
        fields = line.split("\t")
        if len(fields) < 2 or not re.match(r"^\s*[0-9a-f]+:$", fields[0]):
            continue
        count += 1
        mnemonic, operands = fields[1].strip(), fields[2] if len(fields) > 2 else ""
        if mnemonic.startswith("."):  # data (.word) in a $d stretch
            continue
        beyond = (
            ARM_BEYOND_V6.match(mnemonic)
            or (
                mnemonic.startswith("v")
                and (
                    VFP3_OR_NEON_OPERAND.search(operands)
                    or VFP3_OR_NEON_FORM.match(mnemonic)
                    and "#" in operands
                    or re.match(r"^v\w*\.[iusp]\d+$", mnemonic)
                )
            )
            or (mnemonic.startswith("vcvt") and "#" in operands)
        )
        if beyond:
            problems.append(f"{name}: '{mnemonic} {operands.strip()}' in {function} is beyond ARMv6 with VFPv2")
    if count < 1000:
        problems.append(f"{name}: only {count} instructions disassembled")


def check_wheel(wheel: Path) -> None:
    with zipfile.ZipFile(wheel) as z, tempfile.TemporaryDirectory() as tmp:
        names = z.namelist()
        info = next(n for n in names if n.endswith(".dist-info/WHEEL"))
        tags = [line.split(": ", 1)[1] for line in z.read(info).decode().splitlines() if line.startswith("Tag: ")]
        metadata = z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
        key = platform_of(tags[0])
        platform = PLATFORMS[key]
        check_contents(wheel, names, metadata, tags, platform)
        objects = [n for n in names if n.endswith(".so")]
        z.extractall(tmp, objects)
        newest, needed = (0, 0), set()
        for n in objects:
            so = Path(tmp, n)
            machine = re.search(r"Machine:\s+(.+)", run("readelf", "-hW", str(so)))[1].strip()
            if machine != platform["machine"]:
                problems.append(f"{wheel.name}: {so.name} is for {machine}")
                continue
            libs, version = check_linkage(wheel, so, platform["glibc"], platform.get("unwinder"))
            newest, needed = max(newest, version), needed | libs
            if key == "armhf":
                check_arm(wheel, so)
        if platform["manylinux"]:
            check_manylinux(wheel, key, platform["glibc"])
        print(
            f"== check: {wheel.name}: {len(names)} files, {len(objects)} modules; "
            f"they need {', '.join(sorted(needed))}, glibc {newest[0]}.{newest[1]} at most"
        )
        if key == "armhf":
            print(
                f"== check: {wheel.name}: every module ARMv6, VFPv2, ARM mode, hard-float, no Thumb code; "
                "no instruction beyond ARMv6+VFPv2"
            )


def main() -> None:
    dist = Path(sys.argv[1])
    sdists = sorted(dist.glob(f"{PACKAGE}-*.tar.gz"))
    wheels = sorted(dist.glob(f"{PACKAGE}-*.whl"))
    found = {platform_of(w.name) for w in wheels}
    if len(sdists) != 1 or len(wheels) != len(PLATFORMS) or found != set(PLATFORMS):
        sys.exit(
            f"check: expected one sdist and an x86_64, an aarch64 and a 32-bit ARM wheel in {dist}, found "
            f"{[p.name for p in sdists + wheels]}"
        )
    check_sdist(sdists[0])
    for wheel in wheels:
        check_wheel(wheel)
    for note in notes:
        print(f"== check: {note}")
    if problems:
        sys.exit("check: " + "\n       ".join(problems))
    print("== check: the sdist and the three wheels as expected")


if __name__ == "__main__":
    main()
