"""The binary under GNOME Shell 48, headless in the Debian 13 root, with and without our
extension (its ES-module variant)."""

import unittest

from gnome_cases import (DisabledExtensionCases, ExtensionCases, MissingPermissionCases,
                         RefusingPortalCases)
from gnome_session import GnomeTestCase


class Gnome48WithTheExtension(ExtensionCases, DisabledExtensionCases, GnomeTestCase):
    desktop_suite = "trixie"


class Gnome48WithoutExtensionOrPermission(MissingPermissionCases, RefusingPortalCases,
                                          GnomeTestCase):
    desktop_suite = "trixie"
    extension = None
    screenshot_permission = False
    portal_refuses = True


if __name__ == "__main__":
    unittest.main()
