#!/usr/bin/python3
"""The include check passes on the tree as it is, and fails on a copy with a
wrong-way include planted in it, naming the file, the header and the arrow."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
CHECK = os.path.join(ROOT, 'scripts', 'check-layers')
ROOMS = ('engine', 'visa', 'platform', 'workflow', 'dialogkit', 'ui', 'picker', 'res', 'cli', 'sim')


def run(root):
    return subprocess.run([sys.executable, CHECK, '--root', root], capture_output=True,
                          text=True, timeout=60)


class CheckLayersTest(unittest.TestCase):
    def test_tree_as_it_is_passes(self):
        result = run(ROOT)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_planted_wrong_way_includes_fail(self):
        with tempfile.TemporaryDirectory() as copy:
            shutil.copy(os.path.join(ROOT, 'ARCHITECTURE.md'), copy)
            for room in ROOMS:
                if os.path.isdir(os.path.join(ROOT, room)):
                    shutil.copytree(os.path.join(ROOT, room), os.path.join(copy, room))
            # The engine reaching up into the workflow, and the command line
            # into the library's internals through an unqualified name.
            with open(os.path.join(copy, 'engine', 'update.cpp'), 'a') as f:
                f.write('\n#include "workflow/upgrade.h"\n')
            with open(os.path.join(copy, 'cli', 'planted.cpp'), 'w') as f:
                f.write('#include "visa/session.h"\n')
            result = run(copy)
        self.assertEqual(result.returncode, 1)
        self.assertIn('engine/update.cpp: includes workflow/upgrade.h: engine -> workflow '
                      'is not an allowed arrow', result.stderr)
        self.assertIn('cli/planted.cpp: includes visa/session.h: cli -> visa', result.stderr)

    def test_a_file_without_rules_is_refused(self):
        with tempfile.TemporaryDirectory() as empty:
            with open(os.path.join(empty, 'ARCHITECTURE.md'), 'w') as f:
                f.write('# no arrows here\n')
            result = run(empty)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn('no ```layers block', result.stderr)


if __name__ == '__main__':
    unittest.main()
