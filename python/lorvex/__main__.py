"""python -m lorvex [VIDEO] [options]: load a video's frames, say how fast, and optionally save
them, draw a contact sheet of them or describe the video. `python -m lorvex --help` lists the
options."""
import sys

from lorvex.cli.main import main

if __name__ == "__main__":
    sys.exit(main())
