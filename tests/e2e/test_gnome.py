"""The binary under Debian 12's GNOME Shell (43), headless, with and without our extension."""

import unittest

from gnome_cases import DisabledExtensionCases, ExtensionCases, MissingPermissionCases
from gnome_session import GnomeTestCase


class WithTheExtension(ExtensionCases, DisabledExtensionCases, GnomeTestCase):
    pass


class WithoutExtensionOrPermission(MissingPermissionCases, GnomeTestCase):
    extension = None
    screenshot_permission = False


if __name__ == "__main__":
    unittest.main()
