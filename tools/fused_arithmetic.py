"""Fails when a built binary holds fused multiply-add instructions.

The native loops return numpy's bits only if every product is rounded before
it is added.  A compiler allowed to contract `a * b + c` (-ffp-contract=fast
or on, the default of some compilers) fuses it into one instruction wherever
the target has one, and no macro tells the source so.  The build therefore
disassembles the finished extension and stops if it finds any.

    python tools/fused_arithmetic.py BINARY [--objdump OBJDUMP] [--processor NAME]

Exit status 0: none found; 1: some found (the functions holding them are
listed); 2: the binary could not be read.
"""

import argparse
import re
import subprocess
import sys

# Mnemonics of fused multiply-adds, by processor family: x86 FMA3 and FMA4
# (vfmadd231sd, vfnmsub132pd, vfmaddsd, ...), and AArch64 scalar and vector.
FUSED = {
    "x86": re.compile(r"\bvfn?m(?:add|sub)\w*"),
    "aarch64": re.compile(r"\bfn?m(?:add|sub)\b|\bfml[as]\b"),
}
FAMILIES = {"x86_64": "x86", "amd64": "x86", "i386": "x86", "i686": "x86", "aarch64": "aarch64", "arm64": "aarch64"}
FUNCTION_HEADER = re.compile(r"^[0-9a-f]+ <(?P<name>[^>]+)>:$")


def fused_instructions(disassembly, pattern):
    """(function, instruction) of every fused multiply-add in the listing."""
    function = "?"
    for line in disassembly.splitlines():
        header = FUNCTION_HEADER.match(line)
        if header:
            function = header["name"]
        elif pattern.search(line):
            yield function, line.split("\t")[-1].strip()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--processor", default="x86_64", help="the target's processor, as CMake names it")
    options = parser.parse_args(argv)
    family = FAMILIES.get(options.processor.lower())
    if family is None:
        print(f"fused_arithmetic: no fused instructions known for {options.processor}; not checked")
        return 0
    listing = subprocess.run(
        [options.objdump, "-d", "--no-show-raw-insn", "-C", options.binary], capture_output=True, text=True
    )
    if listing.returncode != 0:
        print(f"fused_arithmetic: cannot disassemble {options.binary}: {listing.stderr.strip()}", file=sys.stderr)
        return 2
    found = sorted(set(fused_instructions(listing.stdout, FUSED[family])))
    if not found:
        return 0
    print(
        f"fused_arithmetic: {options.binary} contracts multiply-adds, so its results are not numpy's;"
        " build with -ffp-contract=off. Found:",
        file=sys.stderr,
    )
    for function, instruction in found[:20]:
        print(f"  {instruction}  in {function}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
