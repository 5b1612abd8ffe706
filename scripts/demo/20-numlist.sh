# demo: node-list expressions
say "str2numlist turns node-list expressions into node numbers (master is -1)"
run vorn-numlist-demo master all 1-3 n5,.7 0x6 6- -1-1
say "nodes 2 and 5 go down; the state filters see it once the table is fetched again"
run vorn-numlist-demo -s 2 down -s 5 down alldown allnotdown allup,master
say "a malformed item stops the parse; the items before it stay"
run vorn-numlist-demo 1,2,x || true
vorn-numlist-demo -s 2 up -s 5 up >/dev/null
