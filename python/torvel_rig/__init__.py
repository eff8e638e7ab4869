"""torvel-rig: from a real camera-and-laser rig to millimetres.

Camera calibration (writes the calibration file torvel reads), laser-plane calibration
(writes plane.json) and measuring over frames, on top of `torvel.torvel_class`."""
__all__ = ["main"]


def main(argv=None):
    from .cli import main as _main
    return _main(argv)
