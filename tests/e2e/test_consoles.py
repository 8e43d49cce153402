"""Consoles as managers hand them out: connection files, spice:// addresses, an HTTP proxy, switching."""
import os, pathlib, re, subprocess
from harness import E2E, KC, Proxy, Recorder, TinyProxy, established, free_port, wait

PW = "one-time-6a5c2f0b"


def vv(path, **keys):  # a connection file; "_" in a name stands for "-"
    keys = dict(type="spice", **keys)
    pathlib.Path(path).write_text("[virt-viewer]\n" + "".join("%s=%s\n" % (k.replace("_", "-"), v)
                                                             for k, v in keys.items()))
    return path


class Consoles(E2E):
    def setup_tls(self, host):  # a server with TLS and a password; the keys of a file for it
        a = self.env.xspice(1024, 768, password=PW, tls=True)
        a.rec, ca = Recorder(a), pathlib.Path(a.x509_dir, "ca-cert.pem").read_text().replace("\n", "\\n")
        return self.env, a, dict(host=host, tls_port=a.tls_port, ca=ca, host_subject="CN=127.0.0.1", password=PW)

    def test_consoles(self):
        env, a, tls = self.setup_tls("localhost")
        pathlib.Path(pw_file := env.path("pw")).write_text(PW)
        with self.subTest("Proxmox: TLS through a proxy with a user, inline CA, one-time password"):
            proxy = TinyProxy(env, auth="pve Pr0xy-pw")
            # without a scheme the library alone would take "pve" for one and go direct
            f = vv(env.path("pve.vv"), proxy="pve:Pr0xy-pw@127.0.0.1:%d" % proxy.port,
                   delete_this_file=1, title="VM 100 - vm1", color_depth=24, **tls)
            v = env.viewer(f, env={"SPICE_PROXY": "ftp://unused"})  # the file's proxy comes first
            v.wait_log("Not used from the connection file: color-depth")
            self.assertFalse(os.path.exists(f))
            v.wait_picture(a, 12, 20)
            self.assertEqual(v.title(), "VM 100 - vm1")
            connects = re.findall(r"CONNECT (\S+) HTTP", pathlib.Path(proxy.log).read_text())
            self.assertEqual(set(connects), {"localhost:%d" % a.tls_port})  # the name, not resolved here
            v.stop()
            self.assertNotIn(PW, v.log)
            self.assertNotIn("Pr0xy-pw", v.log)
        with self.subTest("the proxy asks for a user (407), refuses (403), is not there; a name only it knows"):
            wall, pve = TinyProxy(env, deny=True), "pvespiceproxy:6590a2c1:100:pve::8f2c"  # unresolvable here
            for url, cause in (("http://127.0.0.1:%d" % proxy.port, r"asks for a user name and password \(HTTP 407\)"),
                               ("http://127.0.0.1:%d" % wall.port, r"refused the connection \(HTTP 403\)"),
                               ("http://127.0.0.1:%d" % free_port(), "proxy unreachable: connection refused")):
                v = env.viewer(vv(env.path("p.vv"), proxy=url, **dict(tls, host=pve)))
                v.wait_log(r"\[ERROR\] Cannot connect to %s TLS port %d through the proxy %s: .*%s"
                           % (re.escape(pve), a.tls_port, url, cause))
                wait(lambda: v.screenshot().getbbox(), 10, "words in the window")
                v.stop()
                self.assertEqual(v.count("[ERROR]"), 1, v.log)
        with self.subTest("oVirt: the listed channels over TLS although a plain port is given"):
            plain = Proxy(env, a.port)
            v = env.viewer(vv(env.path("ovirt.vv"), secure_channels="main;inputs;display;cursor;playback",
                              **dict(tls, port=plain.port)))
            v.wait_picture(a, 12, 20)
            self.assertEqual(sum(plain.links.values()), 0)
            v.stop()
        with self.subTest("addresses, SPICE_PROXY as HOST:PORT, a standard input that has not ended"):
            for args in (("spice://127.0.0.1:%d" % a.port, "--password-file", pw_file),
                         ("spice+tls://localhost:%d" % a.tls_port, "--password-file", pw_file,
                          "--ca-file", a.x509_dir + "/ca-cert.pem", "--host-subject", "CN=127.0.0.1")):
                v = env.viewer(*args, env={"SPICE_PROXY": "pve:Pr0xy-pw@127.0.0.1:%d" % proxy.port})
                v.wait_picture(a, 12, 20)
                v.stop()
            self.assertIn("CONNECT 127.0.0.1:%d " % a.port, pathlib.Path(proxy.log).read_text())
            v = env.viewer("-", stdin=subprocess.PIPE)
            v.wait_log(r"\[INFO\] Waiting for the connection file on standard input, which has not ended")
            v.p.stdin.write(pathlib.Path(vv(env.path("in.vv"), host="localhost", port=a.port, password=PW)).read_bytes())
            v.p.stdin.close()
            v.wait_picture(a, 12, 20)
            v.stop()
        bad, g = env.path("bad.vv"), "[virt-viewer]\ndelete-this-file=1\ntype="  # each not deleted
        for args, text, error in [((bad,), g + "vnc", 'bad.vv line 3: type "vnc" is not spice'),
                                  (("missing.vv",), None, "Cannot read the connection file missing.vv: No such"),
                                  ((bad,), "[ovirt]\ndelete-this-file=1", r"bad.vv: no \[virt-viewer\] group"),
                                  ((bad,), g + "spice\nport=1", "bad.vv: no host"),
                                  ((bad,), g + "spice\nhost=h\nport=70000", 'bad.vv line 5: port "70000" is not'),
                                  ((bad,), g + "spice\nhost=h\nport=1\nproxy=socks://p:1", 'line 6: proxy "socks:'),
                                  ((bad,), g + "spice\nhost=h\nport=1\nproxy=u:x@%s@p" % PW,
                                   'line 6: proxy "p" has a user name or password with @ or :'),
                                  (("--proxy", "http://u:%s@p" % PW, bad), g + "spice\nhost=h\nport=1",
                                   "--proxy holds a user name and password, .* in SPICE_PROXY instead"),
                                  (("-h", "h", "-p", "1"), None, 'SPICE_PROXY: proxy "ftp://p:1" is not'),
                                  (("spice://:%s@h:1" % PW,), None, "The address holds a password.*--password-file")]:
            with self.subTest("refused: " + error):
                text and pathlib.Path(bad).write_text(text)
                status, out = env.run(*args, env={"SPICE_PROXY": "ftp://p:1" if "-h" in args else None})
                self.assertEqual((status, os.path.exists(bad)), (1, True), out)
                self.assertRegex(out, r"\[ERROR\] .*" + error)
                self.assertNotIn(PW, out)

    def test_switch(self):
        (env, a, tls), b = self.setup_tls("127.0.0.1"), self.env.xspice(800, 600)
        rec_a, rec_b = a.rec, Recorder(b)
        v = env.viewer("spice://127.0.0.1:%d" % b.port, "-k", "41")  # hidden
        rec_b.wait_key(KC["a"])
        with self.subTest("a file for another server: the hidden instance moves there, shown; the key follows"):
            f = vv(env.path("a.vv"), delete_this_file=1, title="Server A", **tls)
            self.assertEqual(env.run(f, "-k", "42")[0], 0)
            self.assertFalse(os.path.exists(f))
            v.wait_log(r"(?m)\[INFO\] Switching to 127.0.0.1 TLS port %d$" % a.tls_port)
            wait(lambda: not established(b.port), what="the first server's link closed")
            v.wait_picture(a, 12, 20)
            self.assertEqual((len(v.windows()), v.title()), (1, "Server A"))
            rec_a.wait_key(KC["b"])
            v.focus()
            v.wait_log("XGrabKeyboard result:0")
            m_a, m_b = len(rec_a.events), len(rec_b.events)
            [v.key(KC["f"], press) for press in (True, False)]
            rec_a.wait_key(KC["f"], False, since=m_a)
            self.assertEqual(rec_b.events[m_b:], [])
        with self.subTest("the same server again: only its key, its unusable SPICE_PROXY unused"):
            self.assertEqual(env.run(vv(env.path("a2.vv"), **tls), "-k", "43", env={"SPICE_PROXY": "ftp://p"})[0], 0)
            rec_a.wait_key(KC["c"], since=m_a)
            self.assertEqual((v.count("Switching to"), v.count("Recreating SPICE session")), (1, 1))
        v.stop()
        self.assertNotIn(PW, v.log)
