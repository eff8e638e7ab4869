"""Calibrate the camera and the laser plane on every development set of real photographs
found in DIR and print one Markdown table of the results.

  realsets DIR [--out WORK] [--keep] [--timeout S]

For each set whose folder exists under DIR, `torvel-rig calibrate-camera` and then
`torvel-rig calibrate-laser` run as subprocesses of this interpreter (the environment
passed through, so PYTHONPATH picks the torvel_rig that is run). Their outputs, reports and
logs go to WORK/<set>; WORK is a temporary folder, removed at the end unless --keep is given.
A refusal of either command is a row of the table, not a failure of this tool: the exit
status is 0 once any set ran, 2 when DIR is not a folder or holds none of the sets.

The sets (folders under DIR):
  red-small/1280, red-small/640, red-small/handheld   chessboard 9 x 6, 5 mm squares, red
      laser; the same frames serve as camera views and as laser frames
  mono-offon   chessboard 6 x 7, 30 mm; camera/checkerboard_NN.jpg the camera views,
      laser/laser_NN.jpg the laser frames with laser/checker_NN.jpg their laser-off frames
  green-wall   chessboard 8 x 6, 40 mm, green laser; the same frames serve for both
"""
import argparse
import csv
import json
import os
import pickle
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

IMAGE_EXTENSIONS = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff")
COLUMNS = ["set", "views with the pattern (of total)", "camera RMS px",
           "laser frames used of frames with the pattern", "points", "RMS to the plane mm",
           "median held-out mm", "worst held-out mm (frame)", "time s", "outcome"]
OUTCOME_WIDTH = 80
CAMERA_LINE = re.compile(r"calibrated (\d+) x (\d+) from (\d+) of (\d+) views: RMS ([0-9.]+) px")


def natural_key(path):
    """im2 before im10."""
    name = os.path.basename(path)
    return [int(t) if t.isdigit() else t.lower() for t in re.split(r"(\d+)", name)]


def images_in(folder, prefix=""):
    """The image files of `folder` whose names start with `prefix`, in natural order
    (other files, such as data.txt, are left out)."""
    if not os.path.isdir(folder):
        return []
    names = [n for n in os.listdir(folder)
             if n.startswith(prefix) and n.lower().endswith(IMAGE_EXTENSIONS)]
    return sorted((os.path.join(folder, n) for n in names), key=natural_key)


def same_frames(folder):
    """Sets whose frames serve as camera views and as laser frames alike."""
    frames = images_in(folder)
    return frames, frames, None, []


def mono_offon(folder):
    """Camera views in camera/, laser-on frames in laser/ paired with the laser-off frames of
    the same pose by their number NN."""
    views = images_in(os.path.join(folder, "camera"), "checkerboard_")
    laser_dir = os.path.join(folder, "laser")
    on = {_number(p): p for p in images_in(laser_dir, "laser_")}
    off = {_number(p): p for p in images_in(laser_dir, "checker_")}
    # A laser frame without its laser-off frame (or the reverse) cannot be paired: leave it
    # out, and say so, rather than shift every later pair by one.
    paired = sorted(set(on) & set(off), key=lambda k: natural_key(on[k]))
    notes = [f"{os.path.basename(p)} has no laser-off frame, left out"
             for k, p in sorted(on.items()) if k not in off]
    notes += [f"{os.path.basename(p)} has no laser frame, left out"
              for k, p in sorted(off.items()) if k not in on]
    return views, [on[k] for k in paired], [off[k] for k in paired], notes


def _number(path):
    m = re.search(r"(\d+)\D*$", os.path.basename(path))
    return m.group(1) if m else os.path.basename(path)


# name, folder under DIR, cols, rows, square (mm), laser, the set's files
SETS = [
    ("red-small/1280", "red-small/1280", 9, 6, 5.0, "red", same_frames),
    ("red-small/640", "red-small/640", 9, 6, 5.0, "red", same_frames),
    ("red-small/handheld", "red-small/handheld", 9, 6, 5.0, "red", same_frames),
    ("mono-offon", "mono-offon", 6, 7, 30.0, "gray", mono_offon),
    ("green-wall", "green-wall", 8, 6, 40.0, "green", same_frames),
]


def run_rig(args, log_path, timeout):
    """Run `torvel-rig ARGS` with this interpreter; (exit status, stdout, stderr, seconds).
    Both streams are also written to `log_path` to be read later."""
    cmd = [sys.executable, "-m", "torvel_rig"] + [str(a) for a in args]
    start = time.perf_counter()
    try:
        p = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           errors="replace", timeout=timeout)
        status, out, err = p.returncode, p.stdout, p.stderr
    except subprocess.TimeoutExpired as e:
        status = None
        out = _text(e.stdout)
        err = _text(e.stderr) + f"\ntimed out after {timeout:g} s\n"
    seconds = time.perf_counter() - start
    with open(log_path, "w", encoding="utf-8") as f:
        f.write("$ " + " ".join(cmd) + "\n")
        f.write(f"# exit status {status}, {seconds:.1f} s\n# stdout\n{out}\n# stderr\n{err}")
    return status, out, err, seconds


def _text(data):
    if data is None:
        return ""
    return data.decode(errors="replace") if isinstance(data, bytes) else data


def failure(what, status, err):
    """One short line for a command that did not succeed: the refusal's own line for exit
    status 2, otherwise the status (a crash must not pass for a refusal)."""
    lines = [ln.strip() for ln in err.splitlines() if ln.strip()]
    last = lines[-1] if lines else "(nothing on stderr)"
    if last.startswith("torvel-rig: "):
        last = last[len("torvel-rig: "):]
    if status is None or status == 2:   # a timeout says so in its own line
        text = f"{what}: {last}"
    else:
        text = f"{what} exit status {status}: {last}"
    return shorten(text)


def shorten(text, width=OUTCOME_WIDTH):
    return text if len(text) <= width else text[:width - 3].rstrip() + "..."


def clear_outputs(folder):
    """Outputs of an earlier run into the same --out folder must not be read as this run's."""
    for name in ("calib.pkl", "plane.json", "camera.log", "laser.log"):
        path = os.path.join(folder, name)
        if os.path.lexists(path):
            os.remove(path)
    for name in ("camera-report", "laser-report"):
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            shutil.rmtree(path)


def read_camera(calib_path, stdout):
    """(views used, views given, RMS px) from the calibration file's "param" record, or from
    calibrate-camera's printed line; None where unknown."""
    try:
        with open(calib_path, "rb") as f:
            param = pickle.load(f).get("param", {})
        used, rejected = param.get("views_used"), param.get("views_rejected")
        total = len(used) + len(rejected) if used is not None and rejected is not None else None
        rms = param.get("rms")
        return (len(used) if used is not None else None, total,
                float(rms) if rms is not None else None)
    except (OSError, EOFError, pickle.UnpicklingError, AttributeError, TypeError):
        pass  # no file, not a pickle, not a dict: fall back to the printed line
    m = CAMERA_LINE.search(stdout or "")
    if m:
        return int(m.group(3)), int(m.group(4)), float(m.group(5))
    return None, None, None


def read_plane(path):
    try:
        with open(path, encoding="utf-8") as f:
            rec = json.load(f)
        return rec if isinstance(rec, dict) else {}
    except (OSError, ValueError):
        return {}


def frames_with_pattern(report):
    """Rows of the laser report's frames.csv whose pattern_found is true, or None when the
    table (or the column) is not there."""
    path = os.path.join(report, "frames.csv")
    try:
        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
    except (OSError, csv.Error, UnicodeDecodeError):
        return None
    if rows and "pattern_found" not in rows[0]:
        return None
    return sum(str(r.get("pattern_found", "")).strip().lower() in ("true", "1", "yes")
               for r in rows)


def number(value):
    try:
        v = float(value)
    except (TypeError, ValueError):
        return None
    return v if v == v else None  # NaN (written as null) is unknown too


def fmt(value, digits):
    v = number(value)
    return "-" if v is None else f"{v:.{digits}f}"


def held_out(plane):
    """(median, "worst (frame)") of the plane file's held-out validation, "-" when absent."""
    validation = plane.get("validation")
    if not isinstance(validation, dict):
        return "-", "-"
    per_frame = validation.get("held_out_rms_mm")
    values = {}
    if isinstance(per_frame, dict):
        values = {os.path.basename(str(k)): number(v) for k, v in per_frame.items()}
        values = {k: v for k, v in values.items() if v is not None}
    median = validation.get("median_mm")
    if number(median) is None and values:
        median = statistics.median(values.values())
    worst = "-"
    if values:
        frame = max(values, key=values.get)
        worst = f"{values[frame]:.3f} ({frame})"
    return fmt(median, 3), worst


def run_set(name, folder, cols, rows, square, laser, files, work, timeout):
    """Both calibrations on one set; the table row (a dict by column) and notes."""
    views, frames, backgrounds, notes = files(folder)
    row = dict.fromkeys(COLUMNS, "-")
    row["set"] = name
    os.makedirs(work, exist_ok=True)
    clear_outputs(work)
    if not views or not frames:
        row["outcome"] = "no camera views" if not views else "no laser frames"
        return row, notes

    calib = os.path.join(work, "calib.pkl")
    plane = os.path.join(work, "plane.json")
    pattern_args = ["--cols", cols, "--rows", rows, "--square", f"{square:g}"]
    status, out, err, seconds = run_rig(
        ["calibrate-camera", *views, "--pattern", "chessboard", *pattern_args, "-o", calib,
         "--report", os.path.join(work, "camera-report"), "--quiet"],
        os.path.join(work, "camera.log"), timeout)
    total_time = seconds
    used, total, rms = read_camera(calib, out) if status == 0 else (None, None, None)
    row["views with the pattern (of total)"] = (
        f"{used if used is not None else '-'} of {total if total is not None else len(views)}")
    row["camera RMS px"] = fmt(rms, 3)
    if status != 0:
        row["outcome"] = failure("camera", status, err)
        row["time s"] = f"{total_time:.1f}"
        return row, notes
    if not os.path.exists(calib):
        row["outcome"] = "camera: exit status 0 but no calibration file written"
        row["time s"] = f"{total_time:.1f}"
        return row, notes

    report = os.path.join(work, "laser-report")
    extra = ["--background", *backgrounds] if backgrounds else []
    status, out, err, seconds = run_rig(
        ["calibrate-laser", *frames, "--calib", calib, *pattern_args, "--laser", laser,
         *extra, "-o", plane, "--report", report, "--quiet"],
        os.path.join(work, "laser.log"), timeout)
    total_time += seconds
    row["time s"] = f"{total_time:.1f}"
    rec = read_plane(plane) if status == 0 else {}
    per_frame = rec.get("points_per_frame")
    per_frame = per_frame if isinstance(per_frame, list) else None
    found = frames_with_pattern(report)
    used_frames = str(len(per_frame)) if per_frame is not None else "-"
    of = f"{found}" if found is not None else f"{len(frames)} given"
    row["laser frames used of frames with the pattern"] = f"{used_frames} of {of}"
    if per_frame is not None:
        points = [number(p.get("points")) if isinstance(p, dict) else None for p in per_frame]
        if all(p is not None for p in points):
            row["points"] = str(int(sum(points)))
    row["RMS to the plane mm"] = fmt(rec.get("rms_mm"), 3)
    row["median held-out mm"], row["worst held-out mm (frame)"] = held_out(rec)
    if status != 0:
        row["outcome"] = failure("laser", status, err)
    elif not rec:
        row["outcome"] = "laser: exit status 0 but no readable plane file written"
    else:
        row["outcome"] = "ok"
    return row, notes


def markdown(rows):
    def cell(text):
        return str(text).replace("|", "\\|").replace("\n", " ")
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "|".join("---" for _ in COLUMNS) + "|"]
    lines += ["| " + " | ".join(cell(r[c]) for c in COLUMNS) + " |" for r in rows]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("dir", metavar="DIR", help="the folder holding the restored sets")
    parser.add_argument("--out", metavar="WORK",
                        help="work folder for the outputs (default: a temporary folder)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary work folder (a folder given by --out is kept)")
    parser.add_argument("--timeout", type=float, default=1800.0, metavar="S",
                        help="seconds a command may take before it counts as failed "
                             "(default: 1800)")
    args = parser.parse_args(argv)

    root = os.path.abspath(args.dir)
    if not os.path.isdir(root):
        print(f"realsets: {args.dir} is not a folder", file=sys.stderr)
        return 2
    present = [s for s in SETS if os.path.isdir(os.path.join(root, s[1]))]
    if not present:
        print(f"realsets: none of the sets ({', '.join(s[0] for s in SETS)}) is in {root}",
              file=sys.stderr)
        return 2

    temporary = args.out is None
    work_root = tempfile.mkdtemp(prefix="realsets-") if temporary else os.path.abspath(args.out)
    os.makedirs(work_root, exist_ok=True)
    # Which torvel_rig the commands import (PYTHONPATH decides): the table is about that code.
    which = subprocess.run([sys.executable, "-c", "import torvel_rig; print(torvel_rig.__file__)"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    where = which.stdout.strip() or (which.stderr.strip().splitlines() or ["not importable"])[-1]
    print(f"torvel_rig: {where}")

    rows = []
    try:
        for name, sub, cols, rows_, square, laser, files in present:
            work = os.path.join(work_root, name.replace("/", "-"))
            print(f"{name}: running ...", file=sys.stderr, flush=True)
            row, notes = run_set(name, os.path.join(root, sub), cols, rows_, square, laser,
                                 files, work, args.timeout)
            rows.append(row)
            for note in notes:
                print(f"{name}: {note}")
            print(f"{name}: output in {work}")
        print()
        print(markdown(rows))
    finally:
        if temporary and not args.keep:
            shutil.rmtree(work_root, ignore_errors=True)
            print(f"\nwork folder {work_root} removed (--keep keeps it)")
        else:
            print(f"\nwork folder {work_root} kept")
    return 0


if __name__ == "__main__":
    sys.exit(main())
