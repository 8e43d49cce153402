"""Password file, TLS with a private CA, failed connections said in words, typed keys kept out of
the output."""
import subprocess
from harness import E2E, wait

PW = "e2e-Secret-7f3a"
KEY_TRACE = "keyEvent->key()"


class SecureTest(E2E):
    def viewer(self, *args, **kw):
        return self.env.viewer("-h", *[str(a) for a in args], **kw)

    def type_a(self, v, rec):
        since = len(rec.events)
        v.focus()
        v.key(38), v.key(38, False)
        rec.wait_key(38, since=since)

    def test_failures_in_words_and_unreadable_password_files(self):
        for host, port, cause in (("127.0.0.1", 1, "connection refused"),
                                  ("no.such.host.invalid", 5900, "host name not found")):
            v = self.viewer(host, "-p", port)
            v.wait_log(r"on_channel_event invoked20\n.*\[ERROR\] Cannot connect to %s port %d: %s"
                       % (host, port, cause))
            # Words centred on the black window, not a black window.
            box = wait(lambda: v.screenshot().getbbox(), 10, "words in the window")
            w, h = v.screenshot().size
            self.assertTrue(box[0] > 0 and box[1] > h // 4 and box[2] < w and box[3] < h * 3 // 4, box)
            v.stop()
        with open(self.env.path("empty"), "w"):
            pass
        for name, why in (("missing", "No such file or directory"), ("empty", "first line is empty")):
            status, log = self.env.run("-h", "127.0.0.1", "-p", "1", "--password-file",
                                       self.env.path(name))
            self.assertEqual(status, 1)
            self.assertRegex(log, r"\[ERROR\] .*%s.*%s" % (self.env.path(name), why))
            self.assertNotIn("Usage", log)

    def test_password_and_tls_on_one_server(self):
        server = self.env.xspice(800, 600, password=PW, tls=True)
        rec = self.env.recorder(server)
        right, wrong, ca = self.env.path("right"), self.env.path("wrong"), self.env.path("other.pem")
        for path, text in ((right, PW + "\n"), (wrong, "not-" + PW)):
            with open(path, "w") as f:
                f.write(text)
        # No password, then a wrong one: refused, hidden, alive; a later start tries again.
        for extra in ((), ("--password-file", wrong)):
            v = self.viewer("127.0.0.1", "-p", server.port, "-k", "41", *extra)
            v.wait_log(r"\[ERROR\] Cannot connect to 127.0.0.1 port %d: password refused" % server.port)
            self.assertEqual(self.env.run("-h", "127.0.0.1", "-p", "1", "-k", "41")[0], 0)
            wait(lambda: v.count("password refused") == 2, 15, "the second refusal")
            self.assertEqual((v.windows(), v.count("new display channel"), v.p.poll()), ([], 0, None))
            v.stop()
        # The right one: the picture; typed keys reach the server and leave no trace.
        v = self.viewer("127.0.0.1", "-p", server.port, "--password-file", right)
        v.wait_picture(server, 12, 20)
        self.type_a(v, rec)
        with open("/proc/%d/cmdline" % v.pid, "rb") as f:
            self.assertNotIn(PW.encode(), f.read())
        v.stop()
        self.assertNotIn(KEY_TRACE, v.log)
        self.assertNotIn(PW, v.log)
        # TLS: nothing goes to the plain port (a counting proxy stands in for it); the subject
        # option lets a certificate made for 127.0.0.1 serve "localhost"; the key trace on demand.
        plain = self.env.proxy(server.port)
        v = self.viewer("localhost", "-p", plain.port, "--tls-port", server.tls_port, "--ca-file",
                        server.x509_dir + "/ca-cert.pem", "--host-subject", "CN=127.0.0.1",
                        "--password-file", right, env={"QT_LOGGING_RULES": "spice-client.keys.debug=true"})
        v.wait_picture(server, 12, 20)
        self.type_a(v, rec)
        v.wait_log(r"keyEvent->key\(\)\s+65")
        self.assertEqual(sum(plain.links.values()), 0)
        v.stop()
        # A CA that did not sign the server's certificate, and a TLS port that speaks no TLS.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=x",
                        "-keyout", ca + ".key", "-out", ca], check=True, capture_output=True)
        for port, reason in ((server.tls_port, "certificate not trusted"), (server.port, "no TLS")):
            v = self.viewer("127.0.0.1", "--tls-port", port, "--ca-file", ca, "--password-file", right)
            v.wait_log(r"\[ERROR\] Cannot connect to 127.0.0.1 TLS port %d: .*%s" % (port, reason))
            v.stop()
            self.assertEqual(v.count("new display channel"), 0)
