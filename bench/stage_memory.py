"""Peak memory per stage of one mesh: the process's peak resident set size
(VmHWM, reset after every reading) read at every progress report and around
every eval_fn call, charged to the stage open at the time or to the field
call, and the overall peak. Each field runs in a
child process of its own, so that peaks do not carry over.

    python bench/stage_memory.py [--module-dir DIR] [--depth 9] [--fields rotated_box gyroid]
                                 [--values-only]

The fields are those of the peer benchmark (bench/peers/fields.py), with
analytic gradients unless --values-only. Needs karvex._native (the progress
hook) from the module directory.
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import glob, importlib.util, json, os, sys
sys.path[:0] = [{src!r}, {peers!r}]
import fields
# karvex._native from the module directory (the source tree's package has none).
path = glob.glob(os.path.join({module_dir!r}, "karvex", "_native*.so"))[0]
found = importlib.util.spec_from_file_location("karvex._native", path)
_native = importlib.util.module_from_spec(found)
found.loader.exec_module(_native)

PAGE = os.sysconf("SC_PAGE_SIZE")
statm = open("/proc/self/statm", "rb")

def rss_mb():
    statm.seek(0)
    return int(statm.read().split()[1]) * PAGE / 2**20

peaks = {{}}
order = []
stage = ["start"]
clear_refs = open("/proc/self/clear_refs", "w")
status = open("/proc/self/status", "rb")

def hwm_mb():
    status.seek(0)
    for line in status.read().splitlines():
        if line.startswith(b"VmHWM"):
            return int(line.split()[1]) / 1024

def reset_hwm():
    # Writing 5 resets the peak to the current size (Linux 4.0 and later).
    clear_refs.write("5")
    clear_refs.flush()

def note(where=None):
    # The peak since the last note, charged to the stage (or the field call).
    where = where or stage[0]
    r = max(rss_mb(), hwm_mb())
    if where not in peaks:
        order.append(where)
        peaks[where] = r
    elif r > peaks[where]:
        peaks[where] = r
    reset_hwm()

def progress(name, done, total):
    # Passes of one kind share a line ("balancing pass 3" -> "balancing pass").
    name = name.rstrip("0123456789 ") or name
    if name != stage[0]:
        note()
        stage[0] = name
    note()

field = fields.make({field!r})
fn = field.with_gradients if {gradients!r} else (lambda p, v=field.values: (v(p), None))

def wrapped(p):
    note()
    out = fn(p)
    note("eval_fn during " + stage[0])
    return out

v, f = _native.extract_mesh(wrapped, (fields.LOW,) * 3, (fields.HIGH,) * 3, min_depth=4,
                            max_depth={depth}, progress=progress)
note()
hwm = max(peaks.values()) * 1024
print(json.dumps({{"stages": [[s, peaks[s]] for s in order], "hwm_mb": int(hwm) / 1024,
                  "triangles": len(f)}}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", default=os.environ.get("KARVEX_MODULE_DIR", "build"))
    parser.add_argument("--depth", type=int, default=9)
    parser.add_argument("--fields", nargs="+", default=["rotated_box", "gyroid"])
    parser.add_argument("--values-only", action="store_true")
    args = parser.parse_args()
    for name in args.fields:
        code = CHILD.format(module_dir=os.path.abspath(args.module_dir),
                            src=os.path.join(HERE, "..", "src"), peers=os.path.join(HERE, "peers"),
                            field=name, gradients=not args.values_only, depth=args.depth)
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"{name}: the child failed:\n{done.stderr[-3000:]}")
        result = json.loads(done.stdout.strip().splitlines()[-1])
        print(f"## {name}, depth {args.depth}, "
              f"{'values only' if args.values_only else 'analytic gradients'}: "
              f"peak (VmHWM) {result['hwm_mb']:.0f} MB, {result['triangles']} triangles")
        print("| stage | peak RSS MB |\n|---|---|")
        for stage, mb in result["stages"]:
            print(f"| {stage} | {mb:.0f} |")
        print()


if __name__ == "__main__":
    main()
