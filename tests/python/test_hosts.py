# test_hosts.py - the module on a cluster of hosts, reached over private
# sshd daemons on loopback addresses (scripts/sshrig.sh): rexec with a file
# record opened on the host, rfork refused with ENOSYS.
import errno
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

import vorn

from vorntest import ClusterTest, in_child, vornemu

RIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts', 'sshrig.sh')


class HostTest(ClusterTest):

    def setUp(self):
        ClusterTest.setUp(self)
        self.rig = tempfile.mkdtemp(prefix='vorn-rig-')
        out = open(os.path.join(self.rig, 'started'), 'w+')
        # The daemons outlive the shell that starts them; its words on
        # them go to a file, not to a pipe they would hold open.
        status = subprocess.call(
            ['bash', '-c', 'source "$1" && sshrig_start "$2" 2 || exit 1; '
             'echo "$SSHRIG_CONFIG"; echo "$SSHRIG_HOSTS"; echo $SSHRIG_PIDS', 'rig', RIG,
             self.rig], stdout=out)
        out.seek(0)
        lines = out.read().splitlines()
        out.close()
        self.assertEqual(status, 0)
        config, hosts, self.daemons = lines[0], lines[1], [int(p) for p in lines[2].split()]
        status, _, err = vornemu('init', '--hosts', hosts, '--ssh-config', config,
                                 '--boot-delay', '0', '--force')
        self.assertEqual(status, 0, err)

    def tearDown(self):
        vornemu('destroy')
        for pid in self.daemons:
            subprocess.call(['pkill', '-KILL', '-P', str(pid)])
            os.kill(pid, signal.SIGTERM)
        shutil.rmtree(self.rig, ignore_errors=True)
        ClusterTest.tearDown(self)

    def test_rexec_opens_file_records_on_the_host(self):
        out = self.path('out')

        def child():
            vorn.rexec(1, '/bin/sh', ['sh', '-c', 'echo "node $VORN_X"; echo err >&2'],
                       {'VORN_X': '1 two'},
                       [(1, vorn.IO_FILE, 0, (os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600, 0, out)),
                        (2, vorn.IO_FILE, 0, (os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600, 0,
                                              out))])
        self.assertEqual(in_child(child), 0)
        with open(out) as f:
            self.assertEqual(f.read(), 'node 1 two\nerr\n')
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o600)
        self.assertEqual(self.journal('vorn_rexec_io')[-1][3:], ['1', '/bin/sh', '0'])

    def test_moving_a_process_to_a_host_is_enosys(self):
        self.assertOSError(errno.ENOSYS, vorn.rfork, 0)
        self.assertOSError(errno.ENOSYS, vorn.vrfork, [0, 1])
        self.assertOSError(errno.EOPNOTSUPP, vorn.rexec, 0, '/bin/true', ['true'], {},
                           [(0, vorn.IO_FILE, 0, (os.O_RDONLY, 0, 5, self.path('x')))])


if __name__ == '__main__':
    unittest.main()
