# Helpers shared by the artifact checks. The caller sets `file` and `fail`.
sorted() { tr ' ' '\n' | sed '/^$/d' | sort; }
compare() { # what expected actual
  if [ "$2" != "$3" ]; then
    echo "FAIL $1 of $file"
    diff <(echo "$2") <(echo "$3") | sed 's/^/    /'
    fail=1
  else
    echo "ok   $1: $(echo $3)"
  fi
}
