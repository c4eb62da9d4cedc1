#!/bin/sh
# What `make demo` runs: the `chopwise` command on the bundled sample and on any files given.
set -e
cd "$(dirname "$0")/.."
show() {
  echo "\$ $*"
  "$@"
  echo
}
for file in examples/sample.txt "$@"; do
  show chopwise stats "$file"
  show chopwise count --top 15 "$file"
done
echo "Tokens that show the rules: hyphens join words (also numbers), Ё is a Russian letter like any"
echo "other, and a decimal point is punctuation between two numbers."
line='Кто-то прислал e-mail: 123-456, ёлка и Ёж! Pi is 3.14'
echo "\$ echo '$line' | chopwise tokens -"
echo "$line" | chopwise tokens -
