"""A file's folder tells which process runs it: viewer/ (the window) and connection/ (the
connection process) never include each other; both rest on protocol/ (what they share), which rests
on base/. Only the program's entry point names both sides, since it runs as either. The window's side
names none of the SPICE library's headers, and the session's interface none of its types."""
import pathlib, re, sys

root = pathlib.Path(sys.argv[1])
below = {"base": {"base"}, "protocol": {"protocol", "base"}, "connection": {"connection", "protocol", "base"},
         "viewer": {"viewer", "protocol", "base"}, "app": {"app", "viewer", "protocol", "base"}}
home = {p.name: d for d in below for p in (root / d).glob("*.[ch]*")}
bad = []
for unit, allowed in below.items():
    for path in sorted((root / unit).rglob("*.[ch]*")):
        reach = allowed | {"connection"} if path.name == "main.cpp" else allowed
        for n, line in enumerate(path.read_text().splitlines(), 1):
            m = re.match(r'\s*#\s*include\s*([<"])([^>"]+)', line)
            if not m:
                continue
            quoted, name = m.group(1) == '"', m.group(2)
            library = not quoted and re.match(r"(spice|glib|gio|gobject)", name) and unit not in ("connection",)
            if library or (quoted and not name.startswith("ui_") and home.get(name) not in reach):
                bad.append("%s:%d: %s (%s)" % (path.relative_to(root), n, line.strip(), home.get(name, "unknown")))
for n, line in enumerate((root / "connection" / "session.h").read_text().splitlines(), 1):
    if re.search(r"spice-client\.h|\bSpice[A-Z]\w*|\bG[A-Z][a-z]\w*\s*\*", line):
        bad.append("connection/session.h:%d: %s" % (n, line.strip()))
print("\n".join(bad) or "layering ok")
sys.exit(1 if bad else 0)
