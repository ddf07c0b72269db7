#!/usr/bin/env python3
"""The library's layers call only downward.

Arguments: LAYER=OBJ:OBJ:... in order from the bottom layer to the top one.
A symbol that a layer's objects use but do not define must not be defined by
any layer above it.
"""
import subprocess
import sys


def symbols(objects, flag):
    out = subprocess.run(["nm", flag, *objects], check=True, capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and not line.endswith(":"):
            names.add(parts[-1])
    return names


def main():
    layers = []
    for arg in sys.argv[1:]:
        name, _, objs = arg.partition("=")
        layers.append((name, [o for o in objs.split(":") if o]))
    defined = [symbols(objs, "--defined-only") for _, objs in layers]
    faults = []
    for i, (name, objs) in enumerate(layers):
        used = symbols(objs, "--undefined-only")
        for j in range(i + 1, len(layers)):
            for sym in sorted(used & defined[j]):
                demangled = subprocess.run(["c++filt", sym], capture_output=True, text=True).stdout.strip()
                faults.append(f"{name} calls up into {layers[j][0]}: {demangled}")
    for f in faults:
        print(f)
    if faults:
        return 1
    print("layers: " + " < ".join(name for name, _ in layers) + ": every call goes downward")
    return 0


if __name__ == "__main__":
    sys.exit(main())
