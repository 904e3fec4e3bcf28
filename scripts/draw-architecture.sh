#!/usr/bin/env bash
# Redraws docs/architecture.svg from docs/architecture.dot with Graphviz. Installs Graphviz first
# when dot is missing (apt-get, through sudo when not run as root, as scripts/setup.sh does).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

if ! command -v dot > /dev/null; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "Installing: graphviz"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends graphviz
fi
dot -Tsvg "$here/docs/architecture.dot" -o "$here/docs/architecture.svg"
echo "wrote docs/architecture.svg"
