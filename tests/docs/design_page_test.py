#!/usr/bin/env python3
"""The design page names only what is in the tree: every name it puts in
backticks is found in the sources, so a rename that forgets the page fails
here."""
import pathlib
import re
import subprocess
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
page = (root / "ARCHITECTURE.md").read_text()
# The tree the page describes, without the page itself.
files = subprocess.run(["git", "-C", str(root), "ls-files", "-co", "--exclude-standard"],
                       check=True, capture_output=True, text=True).stdout.split()
corpus = []
for name in files:
    path = root / name
    if name == "ARCHITECTURE.md" or not path.is_file() or name.startswith("third_party/"):
        continue
    corpus.append(name)
    try:
        corpus.append(path.read_text(errors="ignore"))
    except OSError:
        pass
corpus = "\n".join(corpus)


def needles(token):
    """What must occur in the tree for a backticked token to be there."""
    token = token.strip()
    token = re.sub(r"\(.*\)$", "", token)  # run(), post(...)
    token = re.sub(r"<.*>$", "", token)  # store_entry_t<tie_t>
    if "::" in token:
        token = token.split("::")[-1]
    # Upper-case words stand for a value (queue/NAME, /proc/PID/status):
    # the text around them must be there.
    parts = re.split(r"\b[A-Z][A-Z_]+\b", token.rstrip("/")) if re.search(r"[a-z]", token) else [token]
    return [p for p in parts if len(p.strip("/. ")) >= 2]


missing = []
for token in sorted(set(re.findall(r"`([^`\n]+)`", page))):
    for needle in needles(token):
        if needle not in corpus:
            missing.append(token)
for token in missing:
    print(f"ARCHITECTURE.md names `{token}`, which is nowhere in the tree")
sys.exit(1 if missing else 0)
