"""The ``karvex`` command line: a volume file or a field in, a mesh file out.

    karvex volume scan.tif --level 300 --inside above --spacing 0.5 0.5 1 -o bone.stl
    karvex field shapes.py:part --bounds -1 -1 -1 1 1 1 --depth 7 -o part.ply

Progress goes to standard error and a one-line summary to standard output.
A user error (a missing file, a bad argument, a field that returns nonsense)
is reported as one line saying what to change, without a traceback.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import inspect
import math
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np

import karvex
from karvex._conversions import installed
from karvex._default_depth import sample_depth
from karvex._grid import GridField

__all__ = ["main"]

# Exit codes; documented in --help and on the command line page.
EXIT_OK = 0
EXIT_FAILURE = 1  # the run failed: unreadable input, missing package, failing field, ...
EXIT_USAGE = 2  # the command line is wrong: fix the arguments and run again
EXIT_INTERRUPTED = 130  # Ctrl-C, as shells report SIGINT

# karvex.mesh's default, lowered to --depth for shallower meshes.
DEFAULT_MIN_DEPTH = inspect.signature(karvex.mesh).parameters["min_depth"].default
OUTPUT_SUFFIXES = (".stl", ".ply", ".obj", ".glb")
# Volume formats: suffix -> (reader package, the extra that installs it).
VOLUME_READERS = {
    ".npy": (None, None),
    ".tif": ("tifffile", "volumes"),
    ".tiff": ("tifffile", "volumes"),
    ".nii": ("nibabel", "volumes"),
    ".nii.gz": ("nibabel", "volumes"),
}

_EPILOG = """\
exit status:
  0  the mesh was written
  1  the run failed: the input could not be read, a package is missing, the
     field raised, the surface does not cross the box, or the output could
     not be written
  2  the command line is wrong (unknown option, bad number, missing file,
     unsupported file type)
  130  interrupted (Ctrl-C)
"""


class UsageError(Exception):
    """The command line is wrong; the message says what to change."""


class RunError(Exception):
    """The run failed for a reason the user can act on; the message says how."""


class _Parser(argparse.ArgumentParser):
    """argparse, with its errors raised as one line instead of a usage dump."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


def _suffix(path: Path) -> str:
    name = path.name.lower()
    return ".nii.gz" if name.endswith(".nii.gz") else path.suffix.lower()


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="karvex",
        description="Mesh an implicit surface by Dual Contouring on an adaptive octree.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"karvex {karvex.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)

    volume = commands.add_parser(
        "volume",
        help="mesh a level of a 3-D array of samples (.npy, .tif/.tiff, .nii/.nii.gz)",
        description="Mesh the surface where a volume of samples crosses --level.",
        epilog=_EPILOG
        + "\naxes: a .npy array is indexed [x, y, z]; a TIFF stack [z, y, x] (its pages are"
        "\nslices) and is transposed; a NIfTI image is placed by its affine (millimetres)"
        "\nunless --spacing or --origin is given.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    volume.add_argument("path", type=Path, metavar="PATH", help="the volume file")
    volume.add_argument("--level", type=float, required=True, metavar="L",
                        help="the sample value on the surface")
    volume.add_argument("--inside", choices=("below", "above"), default="below",
                        help="which side of the level is the solid: below (distance fields,"
                        " the default) or above (CT scans, masks, densities)")
    volume.add_argument("--spacing", type=float, nargs=3, metavar=("SX", "SY", "SZ"),
                        help="distance between samples along x, y, z (default 1 1 1)")
    volume.add_argument("--origin", type=float, nargs=3, metavar=("X", "Y", "Z"),
                        help="position of the first sample (default 0 0 0)")
    volume.add_argument("--depth", type=int, metavar="D",
                        help="octree depth (default: cells as small as the sample spacing)")
    _add_common(volume)

    field = commands.add_parser(
        "field",
        help="mesh a field defined in Python (MODULE:NAME or FILE.py:NAME)",
        description="Mesh the surface where a Python field equals --level. NAME is a\n"
        "callable taking (N, 3) points and returning (values, gradients or None),\n"
        "such as a karvex.sdf shape.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    field.add_argument("target", metavar="MODULE:NAME",
                       help="where the field is: an importable module or a .py file, and a name in it")
    field.add_argument("--bounds", type=float, nargs=6, metavar=("X0", "Y0", "Z0", "X1", "Y1", "Z1"),
                       help="the box to mesh in (default: the field's own bounds attribute)")
    field.add_argument("--depth", type=int, required=True, metavar="D", help="octree depth, up to 2**D cells per side")
    field.add_argument("--level", type=float, default=0.0, metavar="L", help="the field value on the surface (default 0)")
    _add_common(field)
    return parser


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="OUT",
                        help="the mesh file to write: " + ", ".join(OUTPUT_SUFFIXES))
    parser.add_argument("--simplify", type=float, metavar="T",
                        help="merge cells while the surface stays within T of the exact one")
    parser.add_argument("--keep", choices=("all", "largest"), default="all",
                        help="keep every piece (default) or only the largest")
    parser.add_argument("--min-depth", type=int, metavar="D",
                        help=f"depth of the starting grid (default {DEFAULT_MIN_DEPTH}, or --depth if smaller)")
    parser.add_argument("--sharp-angle", type=float, default=30.0, metavar="DEG",
                        help="angle in degrees that counts as a sharp edge (default 30)")
    parser.add_argument("--adaptive", action="store_true",
                        help="keep flat parts coarse (fewer triangles)")
    parser.add_argument("--workers", type=int, metavar="N", help="worker threads (default: every CPU)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")
    parser.add_argument("--traceback", action="store_true",
                        help="show the full traceback of a failure (for bug reports)")


# -- inputs -------------------------------------------------------------------


def _load_volume(path: Path) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any] | None]:
    """The samples indexed [x, y, z] and, for NIfTI, the voxel-to-world affine."""
    suffix = _suffix(path)
    package, extra = VOLUME_READERS[suffix]
    if package is not None and not installed(package):
        raise RunError(f"reading {suffix} files needs {package}; install it with: pip install karvex[{extra}]")
    affine = None
    try:
        if suffix == ".npy":
            volume = np.load(path, allow_pickle=False)
        elif package == "tifffile":
            volume = np.asarray(importlib.import_module("tifffile").imread(path))
            volume = np.squeeze(volume)
            if volume.ndim == 3:
                volume = volume.transpose(2, 1, 0)  # pages are z slices of (y, x) images
        else:
            image = importlib.import_module("nibabel").load(path)
            volume = np.asarray(image.dataobj)
            affine = np.asarray(image.affine, dtype=np.float64)
    except Exception as error:  # each reader has its own errors for a damaged file
        raise RunError(f"cannot read {path}: {error}") from error
    if volume.ndim > 3:
        volume = volume.reshape(volume.shape[:3]) if math.prod(volume.shape[3:]) == 1 else volume
    if volume.ndim != 3:
        raise RunError(f"{path} holds an array of shape {volume.shape}; a volume must be 3-D")
    if volume.dtype == np.bool_:
        volume = volume.astype(np.uint8)  # a mask: 1 inside, 0 outside
    return volume, affine


def _load_field(target: str) -> Callable[..., Any]:
    module_name, sep, name = target.rpartition(":")
    if not sep or not module_name or not name:
        raise UsageError(f"the field must be given as MODULE:NAME or FILE.py:NAME, got {target!r}")
    try:
        if module_name.endswith(".py") or "/" in module_name:
            file = Path(module_name)
            if not file.is_file():
                raise UsageError(f"no such file: {file}")
            module_spec = importlib.util.spec_from_file_location(file.stem, file)
            assert module_spec is not None and module_spec.loader is not None
            module = importlib.util.module_from_spec(module_spec)
            _add_to_path(str(file.resolve().parent))  # for its sibling imports
            module_spec.loader.exec_module(module)
        else:
            _add_to_path("")  # modules in the working directory, as python -m finds them
            module = importlib.import_module(module_name)
    except ModuleNotFoundError as error:
        if error.name != module_name:  # the module exists but needs something missing
            raise RunError(f"{module_name} cannot be imported: {error}") from error
        raise UsageError(f"cannot import {module_name!r}: {error}") from error
    try:
        field = getattr(module, name)
    except AttributeError:
        raise UsageError(f"{module_name} has no name {name!r}") from None
    if not callable(field):
        raise UsageError(f"{target} is a {type(field).__name__}, not a field (a callable)")
    return field  # type: ignore[no-any-return]


def _add_to_path(folder: str) -> None:
    if folder not in sys.path:
        sys.path.insert(0, folder)


# -- the run ------------------------------------------------------------------


def _check_output(path: Path) -> None:
    if _suffix(path) not in OUTPUT_SUFFIXES:
        raise UsageError(f"cannot write {path.name!r}: name the output with one of "
                         + ", ".join(OUTPUT_SUFFIXES))
    if not path.parent.is_dir():
        raise UsageError(f"the output folder {path.parent} does not exist")
    if not installed("trimesh"):
        raise RunError("writing mesh files needs trimesh; install it with: pip install karvex[io]")


def _mesh_options(args: argparse.Namespace) -> dict[str, Any]:
    return {
        "min_depth": min(DEFAULT_MIN_DEPTH, args.depth) if args.min_depth is None else args.min_depth,
        "max_depth": args.depth,
        "sharp_angle": args.sharp_angle,
        "adaptive": args.adaptive,
        "simplify": args.simplify,
        "keep": args.keep,
        "workers": args.workers,
        "progress": not args.quiet,
    }


def _run_volume(args: argparse.Namespace) -> tuple[karvex.Mesh, str]:
    if not args.path.is_file():
        raise UsageError(f"no such file: {args.path}")
    if _suffix(args.path) not in VOLUME_READERS:
        raise UsageError(f"cannot read {args.path.name!r}: volumes are "
                         + ", ".join(VOLUME_READERS) + " files")
    if args.spacing is not None and not all(math.isfinite(s) and s > 0 for s in args.spacing):
        raise UsageError(f"--spacing must be three positive distances, got {' '.join(map(str, args.spacing))}")
    if args.origin is not None and not all(map(math.isfinite, args.origin)):
        raise UsageError(f"--origin must be three finite numbers, got {' '.join(map(str, args.origin))}")
    _check_output(args.output)
    volume, affine = _load_volume(args.path)
    if args.spacing is not None or args.origin is not None:
        affine = None  # the caller places the samples
    spacing = (1.0, 1.0, 1.0) if args.spacing is None or affine is not None else args.spacing
    origin = (0.0, 0.0, 0.0) if args.origin is None or affine is not None else args.origin
    try:
        # The samples as they were read, in their own dtype: bright-inside
        # scans are meshed with inside="above", never negated into a copy.
        grid = karvex.grid_field(volume, spacing, origin, inside=args.inside)
    except (TypeError, ValueError) as error:
        raise RunError(f"{args.path}: {error}") from error
    low, high = float(volume.min()), float(volume.max())
    if not low < args.level < high:
        raise UsageError(f"--level {args.level:g} is outside the samples' range {low:g} to {high:g};"
                         " pick a level between them")
    if args.depth is None:
        extent = (np.array(volume.shape) - 1.0) * np.asarray(spacing)
        args.depth = sample_depth(float(extent.max()), float(min(spacing)))
    args.suggest_inside = None
    if _border_mostly_inside(volume, args.level, args.inside):
        args.suggest_inside = "below" if args.inside == "above" else "above"
    result = _mesh(grid, grid.bounds, args.level, args)
    if affine is not None:
        result = _placed(result, affine)
    return result, "the volume"


def _border_mostly_inside(volume: np.ndarray[Any, Any], level: float, inside: str) -> bool:
    """Whether most samples on the volume's six faces count as inside. A scan
    read the wrong way round (bright inside, meshed with inside below the level)
    then gives the box with the object carved out of it: a closed solid, but the
    wrong one."""
    faces = [volume[0], volume[-1], volume[:, 0], volume[:, -1], volume[:, :, 0], volume[:, :, -1]]
    border = np.concatenate([np.ravel(face) for face in faces])
    count = np.count_nonzero(border > level if inside == "above" else border < level)
    return bool(2 * count > border.size)


def _placed(mesh: karvex.Mesh, affine: np.ndarray[Any, Any]) -> karvex.Mesh:
    """The mesh moved from sample indices to the image's world coordinates; a
    mirroring affine turns the triangles inside out, so they are rewound."""
    vertices = mesh.vertices @ affine[:3, :3].T + affine[:3, 3]
    faces = mesh.faces if np.linalg.det(affine[:3, :3]) > 0 else mesh.faces[:, ::-1]
    return karvex.Mesh(vertices, faces)


def _run_field(args: argparse.Namespace) -> tuple[karvex.Mesh, str]:
    _check_output(args.output)
    field = _load_field(args.target)
    if args.bounds is not None:
        bounds: Any = (args.bounds[:3], args.bounds[3:])
    elif getattr(field, "bounds", None) is not None:
        bounds = field.bounds  # type: ignore[attr-defined]
    else:
        raise UsageError(f"{args.target} has no bounds attribute: give the box with"
                         " --bounds X0 Y0 Z0 X1 Y1 Z1")
    return _mesh(field, bounds, args.level, args), "the box"


# The mesh call's argument names, as the command line spells them.
_OPTION_NAMES = {"max_depth": "--depth", "min_depth": "--min-depth", "sharp_angle": "--sharp-angle",
                 "simplify": "--simplify", "workers": "--workers", "bounds": "--bounds"}


def _mesh(field: Callable[..., Any], bounds: Any, level: float, args: argparse.Namespace) -> karvex.Mesh:
    """karvex.mesh with the command line's options. A TypeError or ValueError
    raised before the field was first called is about the options (a usage
    error, named as the command line spells them); one raised later came from
    the field itself and propagates."""
    called = False

    def watched(points: Any) -> Any:
        nonlocal called
        called = True
        return field(points)

    # A volume is sampled natively (no Python call at all): it goes to the
    # mesher as it is, so that the mesher recognises it.
    target = field if isinstance(field, GridField) else watched
    try:
        return karvex.mesh(target, bounds, level=level, **_mesh_options(args))
    except karvex.FieldError as error:
        raise RunError(f"the field returned something unusable: {error}") from error
    except (TypeError, ValueError) as error:
        if called:
            raise
        message = str(error)
        for name, option in _OPTION_NAMES.items():
            message = message.replace(name, option)
        raise UsageError(message) from error


def _summary(mesh: karvex.Mesh, output: Path, suggest_inside: str | None = None) -> str:
    pieces = len(mesh.components())
    text = (f"{output}: {len(mesh.faces):,} triangles, {pieces} piece{'s' if pieces != 1 else ''}, ")
    if not mesh.is_closed:
        return text + "open (cut by the box or thinner than a cell), no volume"
    volume = mesh.volume
    text += f"closed, volume {volume:.6g}"
    if suggest_inside is not None:
        text += (f" (most of the volume's border counts as inside, so this is probably the box with"
                 f" the object carved out; try --inside {suggest_inside})")
    elif volume < 0:
        text += " (negative: the solid is on the other side of the level; try --inside above)"
    return text


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``) and
    return the exit status."""
    parser = _build_parser()
    args: argparse.Namespace | None = None
    try:
        args = parser.parse_args(argv)
        if getattr(args, "depth", None) is not None and args.depth < 0:
            raise UsageError(f"--depth must be 0 or more, got {args.depth}")
        mesh, where = (_run_volume if args.command == "volume" else _run_field)(args)
        if len(mesh.faces) == 0:
            raise RunError(f"the surface at level {args.level:g} does not cross {where}: nothing written")
        mesh.export(args.output)
    except UsageError as error:
        return _fail(EXIT_USAGE, f"error: {error}")
    except KeyboardInterrupt:
        return _fail(EXIT_INTERRUPTED, "interrupted")
    except SystemExit as done:  # --help, --version
        return done.code if isinstance(done.code, int) else EXIT_OK
    except Exception as error:
        if args is not None and args.traceback:
            raise
        return _fail(EXIT_FAILURE, f"error: {_describe(error)}")
    print(_summary(mesh, args.output, getattr(args, "suggest_inside", None)))
    return EXIT_OK


def _describe(error: Exception) -> str:
    if isinstance(error, (RunError, karvex.FieldError)):
        return str(error)
    if isinstance(error, ImportError):
        return str(error)
    if isinstance(error, OSError):
        return f"{error.strerror or error}: {error.filename}" if error.filename else str(error)
    if isinstance(error, karvex.MeshingError):
        return f"internal failure ({error}); please report it, with --traceback"
    return f"{type(error).__name__}: {error} (rerun with --traceback for details)"


def _fail(code: int, message: str) -> int:
    print(f"karvex: {message}", file=sys.stderr)
    return code


def run() -> NoReturn:
    """The console script's entry point."""
    sys.exit(main())

