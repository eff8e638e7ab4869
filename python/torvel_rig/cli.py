"""The `torvel-rig` command line: one subcommand per module, each exposing
`add_arguments(parser)` and `run(args) -> int`."""
import argparse
import importlib
import sys

from .errors import RigError

# subcommand -> (module, one-line help)
COMMANDS = {
    "calibrate-camera": ("calibrate_camera", "calibrate the camera from pattern views; "
                                             "writes the calibration file"),
    "calibrate-laser": ("calibrate_laser", "calibrate the laser plane from frames of a "
                                           "pattern crossed by the stripe; writes plane.json"),
    "measure": ("measure", "measure the object's axes in millimetres over frames"),
    "calibrate-turntable": ("calibrate_turntable", "calibrate a turntable's axis from frames of "
                                                   "a pattern on it; writes turntable.json"),
    "scan": ("scan", "turn stripe frames and a known motion into a point cloud (PLY)"),
}


def build_parser():
    parser = argparse.ArgumentParser(prog="torvel-rig", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (module, help_text) in COMMANDS.items():
        mod = importlib.import_module(f"{__package__}.{module}")
        p = sub.add_parser(name, help=help_text, description=help_text)
        mod.add_arguments(p)
        p.set_defaults(_run=mod.run)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args._run(args)
    except RigError as e:
        print(f"torvel-rig: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("torvel-rig: interrupted", file=sys.stderr)
        return 130
