# demo: the Python module: node table, a child forked onto a node with its output in a file
run "$PYTHON2" python/demo.py
