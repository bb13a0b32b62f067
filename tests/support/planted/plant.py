"""Planted faults in copies of the library's own kernels, for the tests of the execution model's
checks (tests/cpu/test_emulator_planted.py).

Each row of FAULTS names a real source file, a snippet that occurs exactly once in it and the
snippet's replacement, which makes the fault happen only while the runtime selector
`kestrovane_planted_fault` holds the row's number. The patched copies go to an overlay folder per
module folder; the planted variant of that folder's module is compiled with the overlay on the
include path before the repository root, so its kernel unit includes the patched copies and the
real sources stay as they are. With the selector at 0 every patch is inert.

  plant.py --folders               the module folders that have fault sites
  plant.py --sources FOLDER        the real files that FOLDER's rows patch
  plant.py FOLDER OVERLAY          writes FOLDER's patched copies under OVERLAY (a file is rewritten
                                   only when its text changes; stale copies are removed)
"""
import pathlib
import sys
from collections import namedtuple

ROOT = pathlib.Path(__file__).resolve().parents[3]

Fault = namedtuple("Fault", "number folder path snippet replacement")

# Declared at the top of every patched copy; defined (0: no fault) by the variant's selector unit.
DECLARATION = "extern int kestrovane_planted_fault;  // planted-fault variant: the selected fault, 0 for none\n"

FAULTS = [
    # 1. The barrier after the LayerNorm rows are staged into the shared tile: without it the
    #    projection's ldmatrix reads rows another warp is still writing.
    Fault(1, "trimul", "trimul/trimul_in_fwd.cuh",
          "    __syncthreads();\n\n    ProjectionAcc<kInFwdWeights> acc;",
          "    if (kestrovane_planted_fault != 1) __syncthreads();\n\n    ProjectionAcc<kInFwdWeights> acc;"),
    # 2. The proxy fence before wgmma reads the generically staged tiles of the warpgroup lane.
    Fault(2, "dq_dbias", "dq_dbias/dq_dbias_wg.cuh",
          "    ptx::fence_proxy_async_shared();\n    __syncthreads();",
          "    if (kestrovane_planted_fault != 2) ptx::fence_proxy_async_shared();\n    __syncthreads();"),
    # 3. The wait for the tile's cp.async group: the LayerNorm reads the tile before it lands.
    Fault(3, "trimul", "trimul/trimul_out_fwd.cuh",
          "    ptx::cp_async_wait<0>();\n    __syncthreads();\n\n    // LayerNorm",
          "    if (kestrovane_planted_fault != 3) ptx::cp_async_wait<0>();\n    __syncthreads();\n\n    // LayerNorm"),
    # 4. The tail guard of the d_proj5 stores: one row past the last is stored too.
    Fault(4, "trimul", "trimul/trimul_gate_split_bwd.cuh",
          "    if (r0 + row >= rows) continue;",
          "    if (r0 + row >= rows + (kestrovane_planted_fault == 4)) continue;"),
    # 5. The 16-byte g stores one element off their 16-byte boundary.
    Fault(5, "trimul", "trimul/trimul_in_fwd.cuh",
          "*reinterpret_cast<uint4*>(g + r * H + channel0 + group) =",
          "*reinterpret_cast<uint4*>(g + r * H + channel0 + group + (kestrovane_planted_fault == 5)) ="),
    # 6. The partials slot of a transposed LayerNorm tile without its tile term: every tile of a
    #    batch element folds into one slot.
    Fault(6, "trimul", "trimul/trimul_bwd_kernels.cuh",
          "    const int64_t chunk = b * gridDim.x + tile;",
          "    const int64_t chunk = b * gridDim.x + (kestrovane_planted_fault == 6 ? 0 : tile);"),
]


def folders():
    return sorted({f.folder for f in FAULTS})


def rows_of(folder):
    rows = [f for f in FAULTS if f.folder == folder]
    if not rows:
        raise SystemExit(f"plant.py: no fault sites in module folder {folder!r} (have: {', '.join(folders())})")
    return rows


def patched_texts(folder):
    """{relative path: patched text} of FOLDER's rows; exits naming the row whose snippet is not
    found exactly once."""
    texts = {}
    for fault in rows_of(folder):
        if fault.path not in texts:
            texts[fault.path] = (ROOT / fault.path).read_text()
        count = texts[fault.path].count(fault.snippet)
        if count != 1:
            raise SystemExit(f"plant.py: fault {fault.number}: the snippet {fault.snippet!r} occurs {count} times in "
                             f"{fault.path} (it must occur exactly once)")
        texts[fault.path] = texts[fault.path].replace(fault.snippet, fault.replacement)
    return {path: DECLARATION + text for path, text in texts.items()}


def write_overlay(folder, overlay):
    overlay = pathlib.Path(overlay)
    texts = patched_texts(folder)
    for path, text in texts.items():
        target = overlay / path
        if target.exists() and target.read_text() == text:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    # A copy left from an earlier table would still shadow its real file.
    if overlay.exists():
        for stale in overlay.rglob("*"):
            if stale.is_file() and stale.relative_to(overlay).as_posix() not in texts:
                stale.unlink()


def main(argv):
    numbers = [f.number for f in FAULTS]
    if len(set(numbers)) != len(numbers) or 0 in numbers:
        raise SystemExit("plant.py: fault numbers must be distinct and non-zero")
    if argv == ["--folders"]:
        print(" ".join(folders()))
    elif len(argv) == 2 and argv[0] == "--sources":
        print(" ".join(sorted({f.path for f in rows_of(argv[1])})))
    elif len(argv) == 2 and not argv[0].startswith("-"):
        write_overlay(*argv)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
