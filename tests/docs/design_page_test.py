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
# The tree the page describes, without the page itself: the names and the texts of its files.
files = subprocess.run(["git", "-C", str(root), "ls-files", "-co", "--exclude-standard"],
                       check=True, capture_output=True, text=True).stdout.split()
files = [n for n in files if n != "ARCHITECTURE.md" and not n.startswith("third_party/") and (root / n).is_file()]
corpus = "\n".join(files + [(root / n).read_text(errors="ignore") for n in files])


def needles(token):
    """What must occur in the tree for a backticked token to be there."""
    # run(), post(...), store_entry_t<tie_t>, a::b
    token = re.sub(r"<.*>$", "", re.sub(r"\(.*\)$", "", token.strip())).split("::")[-1]
    # Upper-case words stand for a value (queue/NAME, /proc/PID/status):
    # the text around them must be there.
    parts = re.split(r"\b[A-Z][A-Z_]+\b", token.rstrip("/")) if re.search(r"[a-z]", token) else [token]
    return [p for p in parts if len(p.strip("/. ")) >= 2]


tokens = sorted(set(re.findall(r"`([^`\n]+)`", page)))
missing = [token for token in tokens for needle in needles(token) if needle not in corpus]
for token in missing:
    print(f"ARCHITECTURE.md names `{token}`, which is nowhere in the tree")
sys.exit(1 if missing else 0)
