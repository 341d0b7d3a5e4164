#!/usr/bin/env python3
"""Writes sdk/AE_Layout.cpp: static assertions of the size and alignment of every record, and
the offset and size of every field, from the host's published layout facts (JSON), the base
interface and the smart-render and float one.

  scripts/layout_asserts.py sdk/host-abi.json sdk/float-abi.json > sdk/AE_Layout.cpp

The declarations in sdk/ are written by hand; these assertions check them on every target
that compiles the module (the facts are the same for Windows x64 and both macOS targets)."""
import json
import sys

# Fields renamed between versions of the host's headers: our name for them.
RENAME = {("PF_ParamDef", "name_do_not_use_directly"): "name"}


# Facts of what the module does not declare: the first pixel-format suite (the second
# replaces it) and the opaque pixel pointer.
NOT_DECLARED = {"PF_PixelFormatSuite", "PF_PixelOpaquePtr"}


def merged(paths):
    """The platforms' scalars and types of every facts file; a name in several must agree."""
    out = {"windows-x64": {"scalars": {}, "types": {}}, "macos-64": {"scalars": {}, "types": {}}}
    for path in paths:
        facts = json.load(open(path))
        for platform, tables in out.items():
            for kind in ("scalars", "types"):
                for name, value in facts["platforms"][platform][kind].items():
                    if name in NOT_DECLARED:
                        continue
                    seen = tables[kind].setdefault(name, value)
                    if kind == "types":
                        assert seen == value, name
                    else:
                        assert (seen["size"], seen["align"]) == (value["size"], value["align"]), name
    return out


def main():
    facts = merged(sys.argv[1:])
    win = facts["windows-x64"]
    mac = facts["macos-64"]
    out = ["// Written by scripts/layout_asserts.py from the host's layout facts; do not edit.",
           "// Every record the module exchanges with the host, checked on every target that",
           "// compiles it: a wrong offset here is a crash in the host.",
           "#include <stddef.h>", "",
           '#include "AE_Effect.h"', '#include "AE_EffectSuites.h"', '#include "SPBasic.h"', "",
           "#define VZ_SIZE(T, n, a) \\",
           "  static_assert(sizeof(T) == n, #T \" size\"); \\",
           "  static_assert(alignof(T) == a, #T \" alignment\")",
           "#define VZ_FIELD(T, f, off, n) \\",
           "  static_assert(offsetof(T, f) == off, #T \".\" #f \" offset\"); \\",
           "  static_assert(sizeof(((T*)nullptr)->f) == n, #T \".\" #f \" size\")", ""]
    for name, s in sorted(win["scalars"].items()):
        if s["size"] != mac["scalars"][name]["size"]:
            m = mac["scalars"][name]
            out += ["#if defined(_WIN32) || defined(_WINDOWS)",
                    "VZ_SIZE(%s, %d, %d);" % (name, s["size"], s["align"]), "#else",
                    "VZ_SIZE(%s, %d, %d);" % (name, m["size"], m["align"]), "#endif"]
        elif name not in ("int32",):
            out.append("VZ_SIZE(%s, %d, %d);" % (name, s["size"], s["align"]))
    out.append("")
    for name, t in sorted(win["types"].items()):
        assert t == mac["types"][name], name
        if "." in name:  # an anonymous member record: checked through its parent
            parent, member = name.split(".")
            out.append("static_assert(sizeof(((%s*)nullptr)->%s) == %d, \"%s size\");"
                       % (parent, member, t["size"], name))
            for f in t["fields"]:
                out.append("static_assert(offsetof(%s, %s.%s) - offsetof(%s, %s) == %d, "
                           "\"%s.%s offset\");"
                           % (parent, member, f["name"], parent, member, f["offset"], name,
                              f["name"]))
            out.append("")
            continue
        out.append("VZ_SIZE(%s, %d, %d);" % (name, t["size"], t["align"]))
        for f in t["fields"]:
            field = RENAME.get((name, f["name"]), f["name"])
            out.append("VZ_FIELD(%s, %s, %d, %d);" % (name, field, f["offset"], f["size"]))
        out.append("")
    print("\n".join(out).rstrip() + "\n")


if __name__ == "__main__":
    main()
