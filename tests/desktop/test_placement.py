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

    def test_a_saved_left_beyond_the_screen_falls_back_to_0(self):
        # The screen is 1280 by 800.
        k = self.start(user={"left": "5000", "top": "120", "width": "640", "height": "300"})
        s = k.state()
        self.assertEqual((s["x"], s["y"], s["width"], s["height"]), (0, 120, 640, 300))

    def test_left_within_5_pixels_of_the_edge_falls_back_too(self):
        k = self.start(user={"left": "1275", "top": "796"})
        s = k.state()
        self.assertEqual((s["x"], s["y"]), (0, 0))

    def test_a_window_closed_at_x_0_stores_no_left(self):
        k = self.start(user={"left": "200", "top": "100"})
        k.assert_ok(k.command("move 0 55"))
        k.wait_state(lambda s: (s["x"], s["y"]) == (0, 55))
        k.menu(40004)
        self.assertEqual(k.wait_exit(), 0, k.output())
        self.assertEqual(read_store_key(k.user_store), {"top": "55", "width": "500", "height": "250"})

    def test_sizes_below_the_minimum_are_raised(self):
        k = self.start(user={"left": "10", "top": "10", "width": "20", "height": "-7"})
        s = k.state()
        self.assertEqual((s["width"], s["height"]), (300, 160))

    def test_a_minimized_window_stores_nothing(self):
        k = self.start(user={"left": "30", "top": "40", "width": "600"})
        k.assert_ok(k.command("close"))
        k.wait_state(lambda s: not s["shown"])
        k.menu(40004)
        self.assertEqual(k.wait_exit(), 0, k.output())
        self.assertEqual(read_store_key(k.user_store), {"left": "30", "top": "40", "width": "600"})


if __name__ == "__main__":
    unittest.main()
