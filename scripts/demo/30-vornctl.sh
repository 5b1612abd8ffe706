# demo: vornctl and vornlib, the administrator's command lines
say "take nodes 2 and 5 down; the next run finds them with the node list alldown"
run vornctl -S 2,5 -s down
run vornemu show
run vornctl -S alldown -s up

say "reboot node 3 and wait for it (1 s boot delay), then node 4 without waiting"
run vornctl -S 3 -R
run vornctl -f -S 4 -R
run vornemu show

say "give nodes 0-3 to nobody:nogroup with mode 0110, and a 30 s run-to-completion limit"
run vornctl -S 0-3 -u nobody -g nogroup -m 110 -C 30
run vornemu show

say "a halted node cannot reboot: it is reported, the others still reboot (exit status 1)"
run vornctl -S 6 -H
run vornctl -S 5-7 -R || echo "exit status $?"
say "vornemu log | tail -n 4"
vornemu log | tail -n 4

say "back to the way the cluster started"
run vornctl -S 0-3 -u root -g root -m 111 -C off -S 6 -s up

say "the Memsnap library list: fill it from arguments and from standard input"
run vornlib -a /lib/libc.so.6 /lib/libm.so.6
say "printf 'libfoo.so\\nlibbar.so\\n' | vornlib -a -"
printf 'libfoo.so\nlibbar.so\n' | vornlib -a -
run vornlib -l
run vornlib -d /lib/libm.so.6
run vornlib -l
run vornlib -c
run vornlib -l
say "vornemu log | tail -n 6"
vornemu log | tail -n 6
