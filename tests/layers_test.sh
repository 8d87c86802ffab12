#!/usr/bin/env bash
# Layers point one way: a product folder includes only itself and folders of a lower
# rank (an upward need becomes a small interface in core/). Usage: layers_test.sh [BUILD_DIR]
set -u
cd "$(dirname "$0")/.."

declare -A rank=(
  [platform]=0 [core]=1 [tcpcore]=2 [cache]=2 [mib]=2 [registry]=3 [device]=4
  [box]=5 [document]=6 [settings]=7 [root]=8 [tools]=9
)

bad=0
for folder in "${!rank[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file line text; do
    target=${text#*\"}
    target=${target%%/*}
    [ "$target" = "$folder" ] && continue
    if [ -z "${rank[$target]+set}" ]; then
      echo "$file:$line: includes '$target', a folder without a rank here"
      bad=1
    elif [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
      echo "$file:$line: $folder (rank ${rank[$folder]}) includes $target (rank ${rank[$target]})"
      bad=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z0-9_]+/' "$folder" \
             --include='*.h' --include='*.cpp' --include='*.hpp')
done

# The check must see the tree: a rename of the folders would otherwise pass silently.
for folder in platform core device box document root; do
  [ -d "$folder" ] || { echo "missing folder $folder"; bad=1; }
done
[ "$bad" -eq 0 ] && echo "layers: every include points down"
exit "$bad"
