#!/usr/bin/env bash
# The command-line host: its command line, the request texts it makes, and
# its table output. Usage: query_test.sh [RUNNER... --] TOOL PLUGIN CANNED_PLUGIN
# (RUNNER: the command that runs a cross-built TOOL, such as Wine.)
set -u
runner=()
case " $* " in
  *" -- "*)
    while [ "$1" != "--" ]; do runner+=("$1"); shift; done
    shift ;;
esac
tool_path="$1" plugin="$2" canned="$3"
tool() { "${runner[@]}" "$tool_path" "$@"; }
failures=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

out="$(tool --help)"; check "help status" 0 $?
case "$out" in *"--plugin PATH"*"Examples:"*) ;; *) check "help text" "usage with examples" "$out" ;; esac
tool --cells B3 >/dev/null 2>&1; check "no plugin" 2 $?
tool --plugin "$plugin" >/dev/null 2>&1; check "no request" 2 $?
tool --plugin "$plugin" --bogus x >/dev/null 2>&1; check "unknown argument" 2 $?
tool --plugin /nonexistent/Tabulon.qdx --cells B3 >/dev/null 2>&1; check "library missing" 2 $?

# The real library, from a directory of its own with a configuration.
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cp "$plugin" "$dir/Tabulon.qdx"
printf '<config><data file="book.xls"><read domains="main" rooms="" nickNames="" /></data></config>' \
  >"$dir/Tabulon.qdx.config"
out="$(tool --plugin "$dir/Tabulon.qdx" --show-requests --domain other --room hall \
  --cells '1!B3 2!$A$1, c4' --range '3!A1:C4' --range 'B2' --multi '<r/>')"
check "requests and raw answers" 1 $?
check "request texts" \
'<cells><c sheet="1" cell="B3"/><c sheet="2" cell="$A$1"/><c sheet="1" cell="c4"/></cells>
<result state="error"><error>The xls file was not found</error></result>
<range><r sheet="3" cellMin="A1" cellMax="C4"/></range>
<result state="error"><error>The xls file was not found</error></result>
<range><r sheet="1" cellMin="B2" cellMax="B2"/></range>
<result state="error"><error>The xls file was not found</error></result>
<r/>
<result state="error"><error>The xls file was not found</error></result>' "$out"
printf 'stand-in' >"$dir/book.xls"
out="$(tool --plugin "$dir/Tabulon.qdx" --table --domain other --room hall --nick bob --cells B3)"
check "caller refused" "error: You do not have the necessary rights to use this function" "$out"

# Table output of canned answers.
out="$(tool --plugin "$canned" --table --cells B3 --range A1:B2)"
check "table status" 1 $?
check "table" \
'sheet  cell  value
1      B3    2.5
12     "x&   a]]>b
1      C4    
1      D5    € line\nnext
error: Bad <thing> & "more"' "$out"
out="$(tool --plugin "$canned" --nick none --cells B3)"
check "null answer" "(no answer)" "$out"
out="$(tool --plugin "$canned" --table --cells B3)"; check "ok status" 0 $?

[ "$failures" -eq 0 ] && echo "all checks passed"
exit "$failures"
