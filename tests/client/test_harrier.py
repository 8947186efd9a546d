"""The transfers of the interop suite, against our own server run as
`harrier -debug` with a settings store of its own."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pelican_support import BUILD_DIR, main  # noqa: E402
from peers import start_server  # noqa: E402
from netascii import sent_by_orvanel, stored_by_orvanel  # noqa: E402
from common import free_port  # noqa: E402
from harrier import write_store  # noqa: E402
from test_interop import ServerTransfers, text_data  # noqa: E402

HARRIER = os.environ.get("HARRIER") or os.path.join(BUILD_DIR, "bin", "harrier")


def start_harrier(root):
    port = free_port()
    home = tempfile.mkdtemp(prefix="pelican_harrier_")
    store = os.path.join(home, "hklm.reg")
    write_store(store, {"Port": port, "RootDirectory": root.rstrip("/") + "/"})
    # A copy, since the server writes its transfer logs beside its program.
    program = shutil.copy(HARRIER, os.path.join(home, "harrier"))
    env = dict(os.environ, ORVANEL_HKLM=store, ORVANEL_CONTROL_SOCKET=os.path.join(home, "control"))
    return start_server([program, "-debug"], port, env=env, cwd=home), port


class Harrier(ServerTransfers, unittest.TestCase):
    start = staticmethod(start_harrier)
    large_block_code = 0  # takes the 65500 asked for
    timeout_300_code = 8  # refuses a time-out outside 1..255, like the others
    # Our server keeps text files with CR LF and sends their lines with LF.
    served_text = staticmethod(sent_by_orvanel)
    stored_text = staticmethod(stored_by_orvanel)

    @staticmethod
    def text_file(size):
        return text_data(size, b"\r\n", True)

    def test_text_file_comes_back_unchanged(self):
        data = text_data(100000, b"\r\n", False).replace(b"\x1a", b"x")
        self.put("-a", data, data, len(sent_by_orvanel(data)))


if __name__ == "__main__":
    if not os.path.exists(HARRIER):
        print("SKIP: %s does not exist; build the target harrier to run pelican against our own "
              "server" % HARRIER)
        sys.exit(77)
    main(__name__)
