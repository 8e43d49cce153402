"""Password file and TLS with a private CA on one Xspice; typed keys kept out of the output."""
import pathlib, subprocess
from harness import E2E, wait

PW = "e2e-Secret-7f3a"


class SecureTest(E2E):
    def type_a(self, v, rec):
        since = len(rec.events)
        v.focus()
        v.key(38)
        v.key(38, False)
        rec.wait_key(38, since=since)

    def test_password_and_tls_on_one_server(self):
        server = self.env.xspice(800, 600, password=PW, tls=True)
        rec, hp = self.env.recorder(server), ("-h", "127.0.0.1", "-p", server.port)
        right, wrong, ca = self.env.path("right"), self.env.path("wrong"), self.env.path("other.pem")
        pathlib.Path(right).write_text(PW + "\n")
        pathlib.Path(wrong).write_text("not-" + PW)
        # No password, then a wrong one: refused, hidden, alive; a later start tries again.
        for extra in ((), ("--password-file", wrong)):
            v = self.env.viewer(*hp, "-k", "41", *extra)
            v.wait_log(r"\[ERROR\] Cannot connect to 127.0.0.1 port %d: password refused" % server.port)
            self.assertEqual(self.env.run("-h", "127.0.0.1", "-p", "1", "-k", "41")[0], 0)
            wait(lambda: v.count("password refused") == 2, 15, "the second refusal")
            self.assertEqual((v.windows(), v.count("new display channel"), v.p.poll()), ([], 0, None))
            v.stop()
        # The right one: the picture; typed keys reach the server and leave no trace.
        v = self.env.viewer(*hp, "--password-file", right)
        v.wait_picture(server, 12, 20)
        self.type_a(v, rec)
        self.assertNotIn(PW.encode(), pathlib.Path("/proc/%d/cmdline" % v.pid).read_bytes())
        v.stop()
        self.assertNotIn("keyEvent->key()", v.log)
        self.assertNotIn(PW, v.log)
        # TLS: nothing goes to the plain port (a counting proxy stands in for it); the subject
        # option lets a certificate made for 127.0.0.1 serve "localhost"; the key trace on demand.
        plain = self.env.proxy(server.port)
        v = self.env.viewer("-h", "localhost", "-p", plain.port, "--tls-port", server.tls_port, "--ca-file",
                            server.x509_dir + "/ca-cert.pem", "--host-subject", "CN=127.0.0.1",
                            "--password-file", right,
                            env={"QT_LOGGING_RULES": "spice-client.keys.debug=true"})
        v.wait_picture(server, 12, 20)
        self.type_a(v, rec)
        v.wait_log(r"keyEvent->key\(\)\s+65")
        self.assertEqual(sum(plain.links.values()), 0)
        v.stop()
        # A CA that did not sign the server's certificate, and a TLS port that speaks no TLS.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=x",
                        "-keyout", ca + ".key", "-out", ca], check=True, capture_output=True)
        for port, reason in ((server.tls_port, "certificate not trusted"), (server.port, "no TLS")):
            v = self.env.viewer("-h", "127.0.0.1", "--tls-port", port, "--ca-file", ca,
                                "--password-file", right)
            v.wait_log(r"\[ERROR\] Cannot connect to 127.0.0.1 TLS port %d: .*%s" % (port, reason))
            v.stop()
            self.assertEqual(v.count("new display channel"), 0)
