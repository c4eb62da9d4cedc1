"""Fails when a valgrind XML report holds a definite leak, or any memory error, whose stack
passes through the named object (the extension module); the interpreter's own are ignored."""

import sys
import xml.etree.ElementTree as ET


def main(path, needle):
    root = ET.parse(path).getroot()
    found = []
    for err in root.iter("error"):
        kind = err.findtext("kind", "")
        if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
            continue
        objs = [f.findtext("obj", "") for f in err.iter("frame")]
        if any(needle in o for o in objs):
            what = err.findtext("what") or err.findtext("xwhat/text") or ""
            frames = [f.findtext("fn", "?") for f in err.iter("frame")][:8]
            found.append(f"{kind}: {what}\n    " + "\n    ".join(frames))
    for f in found:
        print(f)
    print(f"{len(found)} report(s) from {needle}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
