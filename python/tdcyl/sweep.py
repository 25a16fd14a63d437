"""`python3 -m tdcyl.sweep ...`: the former name of `python3 -m tdcyl sweep ...` (see tdcyl.__main__).

Only run as a command; the package's `tdcyl.sweep` is the function of tdcyl.batch.
"""
if __name__ == "__main__":
    import sys

    from tdcyl.__main__ import main
    sys.exit(main(["sweep", *sys.argv[1:]]))
