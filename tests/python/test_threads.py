# test_threads.py - the module and Python threads: a call that waits lets
# the other threads run, a fork meanwhile gives a child that can use the
# library, and threads that call at once lose no change.
import os
import threading
import unittest

import vorn
import vorntest


def node_state(node):
    """The node's state as vornemu shows it, read outside this process."""
    status, out, err = vorntest.vornemu('show')
    if status != 0:
        raise AssertionError(err)
    for line in out.splitlines():
        fields = line.split()
        if fields and fields[0] == str(node):
            return fields[1]
    raise AssertionError('node %d not shown:\n%s' % (node, out))


class Threads(vorntest.ClusterTest):
    # A reboot waits this long for its node; the test needs only a window
    # in which to see the node booting while the call has not returned.
    INIT_ARGS = ('--boot-delay', '4')

    def test_reboot_lets_other_threads_run(self):
        done = threading.Event()
        result = []

        def reboot():
            try:
                vorn.nodereboot(1)
                result.append('returned')
            except Exception as e:
                result.append(e)
            done.set()

        worker = threading.Thread(target=reboot)
        worker.start()
        try:
            # This thread sees the node booting while the reboot has not
            # returned: it ran while the other thread was inside the call.
            self.assertTrue(self.wait_until(
                lambda: node_state(1) == 'boot' and not done.is_set(), timeout=60))
            # A fork meanwhile gives a child that finds the library free,
            # not locked for good by a thread that the child does not have.
            self.assertEqual(vorntest.in_child(lambda: 0 if vorn.numnodes() == 8 else 1), 0)
        finally:
            worker.join(120)
        self.assertFalse(worker.is_alive())
        self.assertEqual(result, ['returned'])
        self.assertEqual(vorn.nodestatus(1), vorn.node_up)


class Concurrent(vorntest.ClusterTest):
    def test_threads_calling_at_once_lose_nothing(self):
        # The library's record locks belong to the process: two threads
        # inside it at once would both hold the cluster's lock and write
        # over each other's journal lines.
        calls, threads, errors = 1000, 4, []

        def work(node):
            try:
                for i in range(calls):
                    vorn.chmod(node, i & 0o777)
                    vorn.nodeinfo(node)
            except Exception as e:
                errors.append(e)

        workers = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(120)
        self.assertEqual(errors, [])
        rows = self.journal('vorn_chmod')
        self.assertEqual(len(rows), calls * threads)
        for node in range(threads):
            self.assertEqual(len([r for r in rows if r[3] == str(node) and r[5] == '0']), calls)
            self.assertEqual(vorn.nodeinfo(node)[2], (calls - 1) & 0o777)


if __name__ == '__main__':
    unittest.main()
