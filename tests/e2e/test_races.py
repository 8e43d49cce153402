"""Races made to happen every time, with a proxy holding SPICE links: keys and the centre click
wait for the inputs channel; activations during a slow start leave the connecting session alone;
and without the proxy, twenty fresh starts each deliver their key."""
from harness import E2E, wait

A, B, C = 38, 56, 54  # X keycodes of the keys 41, 42, 43 on Xspice


class Races(E2E):
    def setUp(self):
        super().setUp()
        self.server = self.env.xspice(1600, 900)
        self.rec = self.env.recorder(self.server)

    def test_inputs_link_held(self):
        proxy = self.env.proxy(self.server.port, hold={3: 1.0})
        hp = ("-h", "127.0.0.1", "-p", proxy.port)
        v = self.env.viewer(*hp, "-k", "41")
        wait(lambda: proxy.links[3], what="the inputs link")
        self.assertEqual(self.env.run(*hp, "-k", "42")[0], 0)
        v.wait_log("(?m)onReactivate 42$")
        self.assertEqual(proxy.passed[3], 0, "handed over after the inputs link was let through")
        self.rec.wait_event(("button", 1, 800, 450, True))
        self.assertEqual(self.env.run(*hp, "-k", "43")[0], 0)
        self.rec.wait_key(C)
        self.assertEqual([self.rec.keys(k) for k in (A, B, C)], [1, 1, 1])

    def test_activations_during_slow_start(self):
        proxy = self.env.proxy(self.server.port, hold=dict.fromkeys(range(1, 7), 2))
        hp = ("-h", "127.0.0.1", "-p", proxy.port)
        v = self.env.viewer(*hp)
        wait(lambda: proxy.links[1], what="the main link")
        starts = [self.env.viewer(*hp, name="run") for _ in range(4)]
        self.assertEqual([s.wait() for s in starts], [0] * 4)
        v.wait_log("new inputs channel")
        lines = [l for l in v.log.splitlines() if "收到激活指令" in l or "连接已建立" in l]
        self.assertEqual([("连接已建立" in l) for l in lines], [False] * 4 + [True], lines)
        self.assertEqual(proxy.links[1], 1, "main channels opened")

    def test_twenty_fresh_starts(self):
        env, hp, missed = self.env, ("-h", "127.0.0.1", "-p", self.server.port), []
        for i in range(20):
            m = len(self.rec.events)
            fresh = {"TMPDIR": env.mkdir("t%d" % i), "XDG_RUNTIME_DIR": env.mkdir("r%d" % i)}
            v = env.viewer(*hp, "-k", "41", env=fresh)
            v.wait_log("sendKey success 41")
            try:
                self.rec.wait_key(A, since=m, timeout=3)
            except AssertionError:
                missed.append(i)
            v.stop()
        self.assertEqual(missed, [])
