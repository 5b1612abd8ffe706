# demo: the Python module under Python 3 (and Python 2 where pyenv has it): node table, a child forked onto a node with its output in a file
run "$PYTHON3" python/demo.py
if [ -x "$PYTHON2" ] && [ -e "$VORN_BUILD/lib/vornmodule.so" ]; then
    say "the same under Python 2"
    run "$PYTHON2" python/demo.py
fi
