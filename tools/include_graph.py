#!/usr/bin/env python3
"""Writes the project's include graph as Graphviz dot on stdout.

One cluster per source directory under src/, one node per header or source file, one edge per
quoted #include. Layers are ordered base < pow < pool < miner < monitor < app: an edge that points from a
lower layer up into a higher one is drawn red, and the script exits 1 when there is any, so it
doubles as a check that layers point one way.

    tools/include_graph.py [src-dir] | dot -Tpng -o docs/include-graph.png
"""
import pathlib
import re
import sys

LAYERS = ["base", "pow", "pool", "miner", "monitor", "app"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp"))
    layer_of = {str(p.relative_to(src)): p.parent.name for p in files}
    upward = 0
    out = ["digraph includes {", "  rankdir=BT; node [shape=box, fontsize=10];"]
    for layer in LAYERS:
        names = [n for n, l in layer_of.items() if l == layer]
        if not names:
            continue
        out.append(f'  subgraph "cluster_{layer}" {{ label="{layer}";')
        out.extend(f'    "{n}";' for n in names)
        out.append("  }")
    for name, layer in layer_of.items():
        for target in INCLUDE.findall((src / name).read_text()):
            if target not in layer_of:
                continue
            up = LAYERS.index(layer_of[target]) > LAYERS.index(layer) if layer in LAYERS else False
            upward += up
            style = ' [color=red, penwidth=2]' if up else ''
            out.append(f'  "{name}" -> "{target}"{style};')
    out.append("}")
    print("\n".join(out))
    if upward:
        print(f"{upward} include(s) point up into a higher layer", file=sys.stderr)
    return 1 if upward else 0


if __name__ == "__main__":
    sys.exit(main())
