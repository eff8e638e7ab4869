"""Checks that a built wheel is self-contained and prints one line saying so, or what is
wrong (exit status 1): at most MAX_BYTES; found by `auditwheel show` consistent with the
glibc of its tag or an older one; a module that exports only PyInit_torvel, loads nothing
but the C library and libgcc_s, and binds every symbol the interpreter does not provide
to a library version no newer than the tag's glibc (an unversioned one would bind to
whatever defines it at load time, or fail to load on an older glibc).

    python scripts/check_wheel.py WHEEL [PLATFORM]    (run with auditwheel installed)
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

MAX_BYTES = 6_000_000
# What every manylinux system provides, and the interpreter provides the Py symbols.
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                  "ld-linux-x86-64.so.2", "libgcc_s.so.1"}
FROM_INTERPRETER = re.compile(r"_?Py")


def dynamic_symbols(module, *flags):
    """(type letter, name[@version]) of the module's dynamic symbols, as nm lists them."""
    out = subprocess.run(["nm", "-D", *flags, module], capture_output=True, text=True,
                         check=True).stdout
    return [tuple(line.split()[-2:]) for line in out.splitlines() if line.strip()]


def needed_libraries(module):
    out = subprocess.run(["readelf", "-d", module], capture_output=True, text=True,
                         check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def glibc_of(tag):
    """(2, 28) of manylinux_2_28_x86_64."""
    return tuple(int(p) for p in re.match(r"manylinux_(\d+)_(\d+)", tag).groups())


def problems_of(wheel, platform):
    size = os.path.getsize(wheel)
    if size > MAX_BYTES:
        yield f"{size} bytes, over {MAX_BYTES}"
    glibc = glibc_of(platform)
    shown = subprocess.run(["auditwheel", "show", wheel], capture_output=True, text=True)
    found = re.search(r'following platform tag:\s+"([^"]+)"', shown.stdout)
    if not found or glibc_of(found.group(1)) > glibc:
        yield f"auditwheel does not find it consistent with {platform}: {shown.stdout}{shown.stderr}"
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if re.fullmatch(r"torvel\.[^/]*\.so", n)]
        if len(names) != 1:
            yield f"{len(names)} torvel modules in the wheel"
            return
        module = z.extract(names[0], tmp)
        exported = [name for _, name in dynamic_symbols(module, "--defined-only")]
        if exported != ["PyInit_torvel"]:
            yield f"exports {' '.join(exported[:10])}{' ...' if len(exported) > 10 else ''}"
        outside = sorted(set(needed_libraries(module)) - ALLOWED_NEEDED)
        if outside:
            yield f"loads {' '.join(outside)}"
        for kind, symbol in dynamic_symbols(module, "--undefined-only"):
            name, _, version = symbol.partition("@")
            if kind == "U" and not version and not FROM_INTERPRETER.match(name):
                yield f"{name} is bound to no version: whichever library defines it at load time"
            found = re.match(r"GLIBC_(\d+)\.(\d+)", version)
            if found and tuple(int(p) for p in found.groups()) > glibc:
                yield f"{symbol} is newer than glibc {glibc[0]}.{glibc[1]}"


def main():
    wheel = sys.argv[1]
    platform = sys.argv[2] if len(sys.argv) > 2 else "manylinux_2_28_x86_64"
    problems = list(problems_of(wheel, platform))
    name = os.path.basename(wheel)
    if problems:
        for p in problems:
            print(f"check-wheel: {name}: {p}")
        return 1
    print(f"check-wheel: {name}: {os.path.getsize(wheel) / 1e6:.2f} MB, {platform}, exports only "
          "PyInit_torvel, loads only the C library and libgcc_s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
