# demo: the Python module under Python 3 (and Python 2 where pyenv has it): node table, a child forked onto a node with its output in a file
run "$PYTHON3" python/demo.py
if [ -x "$PYTHON2" ] && [ -e "$VORN_BUILD/lib/vornmodule.so" ]; then
    say "the same under Python 2"
    run "$PYTHON2" python/demo.py
fi
say "one module file for every Python 3 from 3.7 (stable ABI): $(cd "$VORN_BUILD/lib" && ls vorn*.abi3.so)"
for v in 3.7 3.13; do
    py=$(pyenv prefix "$(pyenv versions --bare 2>/dev/null | grep "^$v\." | head -n 1)" 2>/dev/null)/bin/python$v
    [ -x "$py" ] || continue
    run "$py" -c 'import sys, vorn; print("Python %d.%d: vorn %s, %d nodes, %s" % (sys.version_info[:2] + (vorn.__version__, vorn.numnodes(), vorn.__file__.rsplit("/", 1)[-1])))'
done
