# demo: the emulated cluster and node-list expressions
run vornemu show
