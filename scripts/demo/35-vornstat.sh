# demo: vornstat, the cluster's nodes seen from the tool set
say "the summary: one line per state with its nodes folded, then the master"
run vornstat

say "nodes 2 and 6 go down, node 3 reboots without waiting (1 s boot delay): which nodes are not up?"
run vornctl -S 2,6 -s down
run vornctl -f -S 3 -R
run vornstat
run vornstat -s down

say "one row per node: node 1 belongs to nobody, node 4 to user id 4242, which has no name"
run vornctl -S 1 -u nobody -g nogroup -m 110
run vornctl -S 4 -u 4242 -g 4242
run vornstat -l -w master,0-4

say "the same rows as JSON, for scripts"
run vornstat --json -w 1,4

say "back to the way the cluster started; vornctl reads the folded list back"
run vornctl -S "$(vornstat -s down | awk '{ print $3 }')" -s up
run vornctl -S 0-4 -u root -g root -m 111
say "reboot node 7 and wait for it: node 3, rebooted earlier with the same delay, is up by then"
run vornctl -S 7 -R
run vornstat
