"""The window reaches the SPICE side only through the connection process: no file of viewer/ or
app/ includes the library, the session or its internals; they see the session's client, its
protocol, its launcher and the plain types both sides speak. Only the program's entry point names
the connection process's own side, which it runs when started as that process."""
import pathlib, re, sys

root = pathlib.Path(sys.argv[1])
own = {p.name for d in ("viewer", "base") for p in (root / d).iterdir()}
client = {"session_client.h", "connection_protocol.h", "connection_launcher.h", "message_link.h",
          "session_types.h", "monitor_layout.h"}
allowed = {"viewer": own | client, "app": own | client | {"instance.h", "spiceviewer.h"}}
entry = {"connection_process.h", "connection_host.h"}  # app/exe/main.cpp alone
bad = []
for unit, names in allowed.items():
    for path in sorted((root / unit).rglob("*.[ch]*")):
        for n, line in enumerate(path.read_text().splitlines(), 1):
            m = re.match(r'\s*#\s*include\s*([<"])([^>"]+)', line)
            if not m:
                continue
            name = m.group(2)
            library = m.group(1) == "<" and re.match(r"(spice|glib|gio|gobject)", name)
            names_here = names | entry if path.name == "main.cpp" else names
            if library or (m.group(1) == '"' and name not in names_here and not name.startswith("ui_")):
                bad.append("%s:%d: %s" % (path.relative_to(root), n, line.strip()))
# The session's own interface names none of the library's types: they stay in its sources.
for n, line in enumerate((root / "spiceclient" / "session.h").read_text().splitlines(), 1):
    if re.search(r"spice-client\.h|\bSpice[A-Z]\w*|\bG[A-Z][a-z]\w*\s*\*", line):
        bad.append("spiceclient/session.h:%d: %s" % (n, line.strip()))
print("\n".join(bad) or "layering ok")
sys.exit(1 if bad else 0)
