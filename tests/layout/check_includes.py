#!/usr/bin/env python3
"""Holds the tree to its architecture: a lower folder never includes a higher one.

Every folder of the product (not tests, bench or fuzz) is a room on a floor; a source may
include its own room and the rooms on lower floors, never one above and never one that the
FORBIDDEN list keeps apart (the reading side and the receiver do not see the scanner).
programs/ is the top floor and nothing but tests includes it.

  tests/layout/check_includes.py [ROOT]            check; exit 1 and name each offence
  tests/layout/check_includes.py --figures [ROOT]  also print rooms, floors and arrows

The figures count the house folder by folder: an arrow is "some file of A includes a file
of B"; a back-up arrow is one from a lower floor to a higher one.
"""
import pathlib
import re
import sys

# Lowest first. A room is a folder; a file belongs to the longest room that holds it.
FLOORS = [
    "shared",
    "scanner/platform",  # the seam: Platform.h and the value type it hands up
    "scanner/xmlfile",
    "scanner/utils",
    "scanner/wmi",
    "scanner/delivery",
    "scanner/smbios",
    "scanner/core",
    "scanner/platform/linux",
    "scanner/platform/windows",
    "reading",
    "receiver/http",
    "receiver/storage",
    "receiver/hooks",  # webhook deliveries: the outbox posted over HTTPS
    "receiver/survey",
    "receiver/console",
    "receiver/site",
    "programs/gravelin-scanner",
    "programs/gravelin-report",
    "programs/gravelin-receiver",
]
# Rooms that never include each other's wing, whatever their floors.
FORBIDDEN = [
    ("reading", "scanner"),
    ("receiver", "scanner"),
    ("scanner/platform/windows", "scanner/platform/linux"),
    ("scanner/platform/linux", "scanner/platform/windows"),
    ("scanner/platform/linux", "scanner/core"),
    ("scanner/platform/windows", "scanner/core"),
]
SOURCES = (".h", ".hpp", ".cpp", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def room_of(path: str):
    best = None
    for room in FLOORS:
        if path == room or path.startswith(room + "/"):
            if best is None or len(room) > len(best):
                best = room
    return best


def under(room: str, wing: str) -> bool:
    return room == wing or room.startswith(wing + "/")


def main(argv):
    figures = "--figures" in argv
    args = [a for a in argv if a != "--figures"]
    root = pathlib.Path(args[0] if args else pathlib.Path(__file__).resolve().parents[2])
    files = {}
    for top in ("shared", "scanner", "reading", "receiver", "programs"):
        for p in sorted((root / top).rglob("*")):
            if p.suffix in SOURCES and p.is_file():
                files[p.relative_to(root).as_posix()] = p
    offences = []
    arrows = set()
    for rel, p in files.items():
        source_room = room_of(rel)
        if source_room is None:
            offences.append(f"{rel}: in no room; add its folder to FLOORS")
            continue
        text = p.read_text(encoding="utf-8", errors="replace")
        for line_no, target in ((text.count("\n", 0, m.start()) + 1, m.group(1))
                                for m in INCLUDE.finditer(text)):
            if target not in files:
                target_dir = (p.parent / target).resolve()
                try:
                    target = target_dir.relative_to(root.resolve()).as_posix()
                except ValueError:
                    continue
                if target not in files:
                    continue  # generated or third-party
            target_room = room_of(target)
            if target_room == source_room:
                continue
            arrows.add((source_room, target_room))
            where = f"{rel}:{line_no}: includes {target}"
            if FLOORS.index(target_room) > FLOORS.index(source_room):
                offences.append(f"{where}: {target_room} is above {source_room}")
            for a, b in FORBIDDEN:
                if under(source_room, a) and under(target_room, b):
                    offences.append(f"{where}: {a} never includes {b}")
    if figures:
        used = sorted({r for arrow in arrows for r in arrow} | {room_of(f) for f in files},
                      key=FLOORS.index)
        level = {}
        for room in used:  # FLOORS is ordered, so every target's level is known first
            level[room] = 1 + max((level[b] for a, b in arrows if a == room and b in level),
                                  default=0)
        back = sum(1 for a, b in arrows if FLOORS.index(b) > FLOORS.index(a))
        print(f"rooms {len(used)}, floors {max(level.values())}, arrows {len(arrows)}, "
              f"back-up arrows {back}")
        for room in sorted(used, key=lambda r: (-level[r], r)):
            below = sorted(b for a, b in arrows if a == room)
            print(f"  floor {level[room]:2}  {room:28} -> {', '.join(below) or '-'}")
    for offence in offences:
        print(offence)
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
