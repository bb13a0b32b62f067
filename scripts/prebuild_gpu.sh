#!/usr/bin/env bash
# Builds every module and test-only module on this machine for the Python and PyTorch of a
# Hopper machine, so that scripts/gpu_check.sh and scripts/gpu_bench.sh there can skip their
# build (KESTROVANE_PREBUILT=FOLDER):
#
#   bash scripts/prebuild_gpu.sh [FOLDER]     (FOLDER: default prebuilt-gpu)
#
# FOLDER receives only the modules (.so) and build-stamp.txt: the Python major.minor, the
# PyTorch release (without +cuXXX) and the fingerprint of the build inputs it was built from.
# The objects stay in .prebuild/, so a second run rebuilds only what changed.
#
#   KESTROVANE_PREBUILT_PYTHON  the interpreter to build for (default: a venv in .prebuild/ of
#                               pyenv's Python 3.12.1 with torch==2.11.0 from the package index)
#   KESTROVANE_PREBUILD_JOBS    make's parallel jobs (default 2)
# Exit status: 0 built; 1 the build failed or the sources changed while it ran.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/gpu_common.sh
source "$root/scripts/gpu_common.sh"
folder="$(realpath -m "${1:-$root/prebuilt-gpu}")"
cd "$root" || exit 1
say() { printf '%s\n' "$*"; }

PYENV_PYTHON=3.12.1
TORCH_RELEASE=2.11.0
work="$root/.prebuild"

# prebuild_python: the interpreter to build for; creates the default venv when it is missing.
prebuild_python() {
  if [ -n "${KESTROVANE_PREBUILT_PYTHON:-}" ]; then
    echo "$KESTROVANE_PREBUILT_PYTHON"
    return
  fi
  local venv="$work/venv-$PYENV_PYTHON-torch-$TORCH_RELEASE" base
  if [ ! -x "$venv/bin/python" ]; then
    base=$(PYENV_VERSION=$PYENV_PYTHON pyenv which python) || return 1
    "$base" -m venv "$venv" >&2 || return 1
  fi
  if ! "$venv/bin/python" -c "import torch" 2>/dev/null; then
    "$venv/bin/python" -m pip install "torch==$TORCH_RELEASE" numpy >&2 || return 1
  fi
  echo "$venv/bin/python"
}

py=$(prebuild_python) || { say "prebuild: no interpreter to build for"; exit 1; }
read -r py_version torch_version < <("$py" -c \
  'import sys, torch; print(f"{sys.version_info[0]}.{sys.version_info[1]}", torch.__version__.split("+")[0])') \
  || { say "prebuild: $py cannot import torch"; exit 1; }
objects="$work/build-python$py_version-torch$torch_version"
fingerprint=$(build_fingerprint "$root")
say "prebuild: python $py_version, torch $torch_version ($py) -> $folder (objects in $objects)"

if ! make -C "$root" -k -j"${KESTROVANE_PREBUILD_JOBS:-2}" PYTHON="$py" BUILD="$objects" all; then
  say "prebuild: the build failed; $folder left as it was"
  exit 1
fi
if [ "$(build_fingerprint "$root")" != "$fingerprint" ]; then
  say "prebuild: the build inputs changed while it ran; run it again"
  exit 1
fi

mkdir -p "$folder"
rm -f "$folder"/*.so "$folder/$STAMP_NAME"
cp "$objects"/*.so "$folder"/
printf 'python %s\ntorch %s\nfingerprint %s\n' "$py_version" "$torch_version" "$fingerprint" > "$folder/$STAMP_NAME"
say "prebuild: $(find "$folder" -maxdepth 1 -name '*.so' | wc -l) modules, $(du -sh "$folder" | cut -f 1), stamp:"
sed 's/^/  /' "$folder/$STAMP_NAME"
