# demo: vnsh, a command on any set of nodes from the shell
say "the first wish: uname -n on every node that is up, each line behind its node number"
run vnsh -w allup uname -n

say "a node that is down is reported and the others run; the exit status is the highest of the programs'"
run vornctl -S 2 -s down
run vnsh -w 0-3 sh -c 'echo ran; exit 3' || echo "exit status $?"
run vornctl -S 2 -s up

say "nodes chosen as with pdsh: -x leaves nodes out, each program knows its node in VORN_NODE, -L keeps the bytes as sent"
run vnsh -L -w 0-7 -x 1-5 sh -c 'echo "node $VORN_NODE"'

say "a malformed node list is refused before anything starts, naming the item: vnsh -w 0-3,08 true 2>&1 | head -n 1"
vnsh -w 0-3,08 true 2>&1 | head -n 1

say "every node gets its own copy of standard input; -i 1 gives it to node 1 alone"
say "printf 'one\\ntwo\\nthree\\n' | vnsh -w 0-3 wc -l"
printf 'one\ntwo\nthree\n' | vnsh -w 0-3 wc -l
say "printf 'secret\\n' | vnsh -b -i 1 -w 0-3 sh -c 'read x && echo \"got \$x\" || echo nothing'"
printf 'secret\n' | vnsh -b -i 1 -w 0-3 sh -c 'read x && echo "got $x" || echo nothing'

say "-t 1: a program still running after a second is ended and its node reported"
run vnsh -t 1 -w 0,1 sleep 30 || echo "exit status $?"
