"""python3 -m tesra plot BASE OBJECT COUNTER [--key NAME=VALUE] [--from T] [--to T] -o FILE"""

from __future__ import annotations

import argparse
import sys

from ._errors import TesraError


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m tesra", description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser(
        "plot",
        help="draw one counter of an object over time",
        description="Draw one counter of an object over time: one line per instance (and per "
        "value of an array counter), time in UTC on the x axis.",
    )
    p.add_argument("base", metavar="BASE",
                   help="archive base path (or its .meta / .gz), or a directory of a node's archives")
    p.add_argument("object", metavar="OBJECT", help="object name")
    p.add_argument("counter", metavar="COUNTER", help="counter name")
    p.add_argument("--key", action="append", default=[], metavar="NAME=VALUE",
                   help="only instances whose key counter NAME holds VALUE (repeatable)")
    p.add_argument("--from", dest="start", metavar="T",
                   help="first time: ms or ISO 8601 UTC (default: archive start)")
    p.add_argument("--to", dest="end", metavar="T",
                   help="last time: ms or ISO 8601 UTC (default: archive end)")
    p.add_argument("--period", help="sampling period: ms or 60s, 5m, 1h (default: the shortest)")
    p.add_argument("-o", "--output", required=True, metavar="FILE",
                   help="image to write: .png or .svg (also .pdf)")
    return parser


def _time(text):
    if text is None:
        return None
    return int(text) if text.isdigit() else text


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    import matplotlib

    matplotlib.use("Agg")
    from ._plot import plot

    try:
        plot(args.base, args.object, args.counter, keys=args.key or None,
             start=_time(args.start), end=_time(args.end), period=args.period,
             output=args.output)
    except (TesraError, OSError) as e:
        print(f"tesra: {e}", file=sys.stderr)
        return 1
    except (TypeError, ValueError, LookupError) as e:
        print(f"tesra: {e}", file=sys.stderr)
        return 2
    print(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
