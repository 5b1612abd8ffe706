# demo: vnsh_io: a program run on a node and children forked onto nodes, their streams forwarded
say "vnsh_rexec runs a shell on node 3 in line mode with the node prefix; its input comes from here"
run sh -c 'printf "hello node\n" | vnsh-rexec-demo 3 /bin/sh -c "echo running; read line; echo read: \$line; echo to standard error >&2" 2>&1 | cat'

say "_vnsh_rfork forks one child onto node 2 and one onto node 5; each line comes back behind its node"
run vnsh-rfork-demo 2 5

say "a node that does not exist: the library call fails, and no listener is left behind"
run vnsh-rexec-demo 42 /bin/true || echo "exit status $?"
