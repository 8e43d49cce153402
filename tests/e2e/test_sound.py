"""Sound: a tone played on the SPICE server comes out of the viewer's local output (a private
PulseAudio with a null sink, recorded from its monitor) at its own frequency and level."""

import time
import unittest

import harness
from harness import E2ETestCase

RATE = 48000
FRAME = 4  # s16le, 2 channels

# A null sink's monitor of an idle server is digital silence; anything from the viewer is not.
SILENCE_RMS = 0.002
TONE_RMS = 0.05


class SoundTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.pulse = self.env.start_pulse()
        self.xs = self.env.start_xspice(1024, 768, audio=True)
        self.display = self.env.start_xvfb(1280, 1024)
        self.viewer = self.env.run_viewer(["-h", "127.0.0.1", "-p", self.xs.port], self.display,
                                          pulse=self.pulse)
        self.viewer.wait_for_log("new audio channel (#0), aplay", 30)
        self.viewer.wait_for_log("new display channel, creating window", 30)

    def record_tone(self, freq, seconds=2.0, lead=1.0, timeout=30.0):
        """Records `lead` seconds of quiet, then the server playing a `seconds` tone; returns
        (quiet part, the rest) as raw PCM."""
        self.streams = None
        rec = self.pulse.start_recording()
        time.sleep(lead)
        quiet_bytes = len(rec.data())
        sox = self.env.play_tone(self.xs, freq, seconds)
        self.assertEqual(sox.wait_exit(timeout), 0, "the server did not read the tone")

        # The tone has been handed to the server; wait until it has come out and gone quiet again.
        def played_out():
            data = rec.data()
            data = data[quiet_bytes - quiet_bytes % FRAME:len(data) - len(data) % FRAME]
            heard, tail = data, data[-RATE * FRAME // 4:]
            if harness.rms(tail) > TONE_RMS and not self.streams:
                self.streams = self.pulse.pactl("list", "sink-inputs")
            return harness.rms(heard) > TONE_RMS and harness.rms(tail) < SILENCE_RMS
        try:
            harness.wait_until(played_out, timeout, 0.2, "the tone to be heard and end")
        finally:
            pcm = rec.stop()
        return pcm[:quiet_bytes - quiet_bytes % FRAME], pcm[quiet_bytes - quiet_bytes % FRAME:]

    def check_tone(self, freq, quiet, sound):
        self.assertGreater(len(quiet), RATE * FRAME // 2)
        self.assertLess(harness.rms(quiet), SILENCE_RMS, "not silent before the tone")
        measured = harness.dominant_frequency(sound)
        self.assertIsNotNone(measured, "no tone recorded")
        self.assertAlmostEqual(measured, freq, delta=freq * 0.02)
        # Both channels carry it.
        self.assertAlmostEqual(harness.dominant_frequency(sound, channel=1), freq, delta=freq * 0.02)
        # Level: RMS over the stretch where the tone plays (louder than a tenth of the peak).
        samples = harness.pcm_channel(sound)
        peak = max(abs(v) for v in samples)
        loud = [i for i, v in enumerate(samples) if abs(v) > peak / 10]
        tone = sound[loud[0] * FRAME:(loud[-1] + 1) * FRAME]
        level = harness.rms(tone)
        # About two seconds of it, not a fragment.
        seconds = len(tone) / (RATE * FRAME)
        print("\n  %d Hz: measured %.1f Hz, RMS %.3f over %.2f s, quiet before %.5f"
              % (freq, measured, level, seconds, harness.rms(quiet)), end="")
        self.assertGreater(level, TONE_RMS)
        self.assertGreater(seconds, 1.5)
        # The tone's own frequency holds the power, not noise or another one.
        self.assertGreater(harness.tone_power(tone, freq), 0.8 * level * level)

    def test_tones_play_at_their_frequency(self):
        for freq in (440, 1000):
            with self.subTest(freq=freq):
                quiet, sound = self.record_tone(freq)
                self.check_tone(freq, quiet, sound)
                # What played was the viewer's stream.
                self.assertIn('application.process.id = "%d"' % self.viewer.pid, self.streams or "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
