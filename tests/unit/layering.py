"""The window reaches the SPICE side only through the session's interface: no file of viewer/ or
app/ includes the library or the session's internals."""
import pathlib, re, sys

root = pathlib.Path(sys.argv[1])
own = {p.name for d in ("viewer", "base") for p in (root / d).iterdir()}
allowed = {"viewer": own | {"session.h"}, "app": own | {"session.h", "instance.h", "spiceviewer.h"}}
bad = []
for unit, names in allowed.items():
    for path in sorted((root / unit).rglob("*.[ch]*")):
        for n, line in enumerate(path.read_text().splitlines(), 1):
            m = re.match(r'\s*#\s*include\s*([<"])([^>"]+)', line)
            if not m:
                continue
            name = m.group(2)
            library = m.group(1) == "<" and re.match(r"(spice|glib|gio|gobject)", name)
            if library or (m.group(1) == '"' and name not in names and not name.startswith("ui_")):
                bad.append("%s:%d: %s" % (path.relative_to(root), n, line.strip()))
print("\n".join(bad) or "layering ok")
sys.exit(1 if bad else 0)
