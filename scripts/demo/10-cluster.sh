# demo: the emulated cluster and node-list expressions
say "The cluster is a state directory named by VORN_CLUSTER: 8 slave nodes, all up"
run vornemu show
say "Faults make library calls fail on purpose: the next reboot of node 2 fails with EIO"
run vornemu fail vorn_nodereboot 2 EIO 1
run vornemu heal
say "vornemu check reads the whole cluster and reports each inconsistency (none here: exit status 0)"
run vornemu check
