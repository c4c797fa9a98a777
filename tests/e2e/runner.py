"""Runs one end-to-end test module for ctest.

unittest exits 0 when every test was skipped, which ctest would count as passed; this exits 77
(the tests' SKIP_RETURN_CODE) when tests were skipped and none ran, 1 on any failure.

    python3 runner.py test_oneshot
"""

import sys
import unittest

SKIPPED = 77


def main(module):
    suite = unittest.defaultTestLoader.loadTestsFromName(module)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # A class skipped in setUpClass is one skip entry that testsRun does not count.
    ran = result.testsRun - sum(isinstance(test, unittest.TestCase) for test, _ in result.skipped)
    return SKIPPED if result.skipped and ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
