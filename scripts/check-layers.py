#!/usr/bin/python3
"""Checks that the sources keep the layering the README describes: which
folder of src/ may include which, that only the platform layers include the
operating system's headers, and that only the configuration and the front
end read the environment. Prints each crossing and exits 1 when there is
one. Run by the test command (ctest: layers.check)."""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")

# What each layer may include, besides itself and include/dirir2i.h. A
# "layer/header" entry allows that one header of a layer.
MAY_INCLUDE = {
    "foundation": set(),
    "platform": {"foundation"},
    "security": {"foundation"},
    # The share namespace resolves names inside the shares of the table.
    "files": {"foundation", "platform", "config"},
    # Shares are canonicalised and the access log written through the host
    # layer only, never through the share namespace.
    "config": {"foundation", "platform", "files/qv2_fs.h", "files/qv2_fs_types.h",
               "files/qv2_logfile.h"},
    "engine": {"foundation", "platform", "config", "files", "security"},
    "net": {"foundation", "platform", "config", "engine"},
    "frontend": {"foundation", "platform", "config", "files", "security", "engine", "net"},
}
OS_LAYERS = {"files", "net", "platform"}
OS_HEADER = re.compile(r"^(unistd\.h|fcntl\.h|sys/.*|dirent\.h|netinet/.*|arpa/.*|poll\.h|"
                       r"pthread\.h|termios\.h|netdb\.h|linux/.*|sched\.h)$")
ENV_LAYERS = {"config", "frontend"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
GETENV = re.compile(r"\b(secure_)?getenv\s*\(")


def main():
    problems = []
    for layer in sorted(os.listdir(ROOT)):
        folder = os.path.join(ROOT, layer)
        if not os.path.isdir(folder):
            continue
        if layer not in MAY_INCLUDE:
            problems.append(f"src/{layer}: a folder the layering does not know")
            continue
        allowed = MAY_INCLUDE[layer]
        for name in sorted(os.listdir(folder)):
            if not name.endswith((".cpp", ".h")):
                continue
            path = f"src/{layer}/{name}"
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                lines = f.read().splitlines()
            for n, line in enumerate(lines, 1):
                code = line.split("//", 1)[0]
                if GETENV.search(code) and layer not in ENV_LAYERS:
                    problems.append(f"{path}:{n}: reads the environment (only config and frontend may)")
                m = INCLUDE.match(line)
                if not m:
                    continue
                kind, header = m.groups()
                if kind == "<":
                    if OS_HEADER.match(header) and layer not in OS_LAYERS:
                        problems.append(f"{path}:{n}: <{header}> (only files, net and platform "
                                        "touch the operating system)")
                    continue
                if header == "dirir2i.h" or "/" not in header:
                    continue
                target = header.split("/", 1)[0]
                if target == layer or target in allowed or header in allowed:
                    continue
                problems.append(f"{path}:{n}: includes {header} ({layer} may include "
                                f"{', '.join(sorted(allowed)) or 'nothing else'})")
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} crossing(s) of the layering")
        return 1
    print("layering: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
