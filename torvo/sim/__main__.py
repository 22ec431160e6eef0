"""python -m torvo.sim: the simulated front on the command line."""

from __future__ import annotations

import argparse
import asyncio
import signal
import sys

from .server import Server
from .world import load_world


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m torvo.sim",
        description="A simulated trading front: log in with the demo account "
                    "(broker 9999, user demo, password demo-pass, app id torvo_sim_1.0, "
                    "auth code 0000000000000000) or the accounts of a world file.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=40205, help="port (0: any free port)")
    parser.add_argument("--world", help="world file (JSON); default: the demo world")
    parser.add_argument("--seed", type=int, default=0, help="seed of the market's random walk")
    parser.add_argument("--heartbeat", type=float, default=1.0, metavar="S",
                        help="heartbeat interval announced to the library, seconds (0: none)")
    parser.add_argument("--heartbeat-timeout", type=float, default=5.0, metavar="S",
                        help="silence after which the library drops the connection, seconds")
    args = parser.parse_args(argv)
    with_errors = getattr(sys.stdout, "reconfigure", None)
    if with_errors is not None:
        with_errors(errors="backslashreplace")
    try:
        world = load_world(args.world)
    except (OSError, ValueError) as exc:
        parser.error(str(exc))

    def line(text: str) -> None:
        print(text, flush=True)

    try:
        server = Server(world, seed=args.seed, log=line, heartbeat=args.heartbeat,
                        heartbeat_timeout=args.heartbeat_timeout)
    except ValueError as exc:
        parser.error(str(exc))
    # Ctrl-C ends the front, also when started by a shell that ignores it.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    async def run() -> None:
        await server.start(args.host, args.port)
        # SIGUSR1 freezes the front (as a hung process: sockets open, nothing
        # read or sent) until SIGUSR2 thaws it; both show in the log.
        loop = asyncio.get_running_loop()
        if hasattr(signal, "SIGUSR1"):
            loop.add_signal_handler(signal.SIGUSR1, server.freeze)
            loop.add_signal_handler(signal.SIGUSR2, server.thaw)
        try:
            line(f"listening on {server.url}")
            await asyncio.Event().wait()
        finally:
            await server.stop()

    try:
        asyncio.run(run())
    except KeyboardInterrupt:
        pass
    except OSError as exc:
        print(f"cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
