"""Window placement in the user store: a saved left beyond the screen, a
window closed at x = 0, and what a first start stores."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from kestrel import Kestrel, read_store_key  # noqa: E402


class PlacementTest(unittest.TestCase):
    def start(self, **kw):
        k = Kestrel(**kw)
        self.addCleanup(k.close)
        return k

    def test_saved_places_off_the_screen_or_too_small_are_corrected(self):
        # The screen is 1280 by 800: a saved left beyond it, or within 5
        # pixels of its edge, falls back to 0; sizes below the minimum are raised.
        cases = [({"left": "5000", "top": "120", "width": "640", "height": "300"},
                  {"x": 0, "y": 120, "width": 640, "height": 300}),
                 ({"left": "1275", "top": "796"}, {"x": 0, "y": 0}),
                 ({"left": "10", "top": "10", "width": "20", "height": "-7"}, {"width": 300, "height": 160})]
        for user, expected in cases:
            with self.subTest(user=user):
                with Kestrel(user=user) as k:
                    s = k.state()
                self.assertEqual({name: s[name] for name in expected}, expected)

    def test_a_window_closed_at_x_0_stores_no_left(self):
        k = self.start(user={"left": "200", "top": "100"})
        k.assert_ok(k.command("move 0 55"))
        k.wait_state(lambda s: (s["x"], s["y"]) == (0, 55))
        k.menu(40004)
        self.assertEqual(k.wait_exit(), 0, k.output())
        self.assertEqual(read_store_key(k.user_store), {"top": "55", "width": "500", "height": "250"})

    def test_a_minimized_window_stores_nothing(self):
        k = self.start(user={"left": "30", "top": "40", "width": "600"})
        k.assert_ok(k.command("close"))
        k.wait_state(lambda s: not s["shown"])
        k.menu(40004)
        self.assertEqual(k.wait_exit(), 0, k.output())
        self.assertEqual(read_store_key(k.user_store), {"left": "30", "top": "40", "width": "600"})


if __name__ == "__main__":
    unittest.main()
