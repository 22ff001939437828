#!/usr/bin/env python3
"""Measures the test suite: makes one-line mutants of the tool by rule, builds
each, runs the whole suite on it, and reports which mutants no test killed.

Usage: tools/mutate.py [--list] [--every K] [--only LINE ...]   (from anywhere in the repo)

A mutant whose binary is byte for byte the original's is equivalent and is not
run. A mutant that passes the suite is run through it once more built with
the address and undefined-behaviour sanitizers, as CI runs it, since an out
of bounds access may not change the output. Every other survivor is printed
with its change, to be read by hand: it is either a fault the tests miss or a
change that cannot alter what the tool does. Not part of CI; every second
mutant (--every 2) takes about an hour on two cores.
"""
import argparse
import hashlib
import pathlib
import re
import resource
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = "src/nodalwrangler.cpp"


def bump(match, step):
    text = match.group(0)
    value = int(text, 16 if text.lower().startswith("0x") else 10) + step
    if value < 0:
        return None
    return hex(value) if text.lower().startswith("0x") else str(value)


# Each rule: a name, a pattern, and the replacement (a string, or a function of
# the match that returns the new text or None for no mutant). Every match of a
# pattern in a line makes its own mutant.
RULES = [
    ("<= to <", r"<=", "<"),
    ("< to <=", r"(?<![<\w])<(?![<=])(?=\s)", "<="),
    (">= to >", r">=", ">"),
    ("> to >=", r"(?<![->\w])>(?![>=])(?=\s)", ">="),
    ("== to !=", r"==", "!="),
    ("!= to ==", r"!=", "=="),
    ("&& to ||", r"&&", "||"),
    ("|| to &&", r"\|\|", "&&"),
    ("+ to -", r"(?<= )\+(?= )", "-"),
    ("- to +", r"(?<= )-(?= )", "+"),
    ("* to /", r"(?<= )\*(?= )", "/"),
    ("/ to *", r"(?<= )/(?= )", "*"),
    ("% to /", r"(?<= )%(?= )", "/"),
    ("++ to --", r"\+\+", "--"),
    ("constant + 1", r"\b(0x[0-9a-fA-F]+|\d+)\b(?![.'])", lambda m: bump(m, 1)),
    ("constant - 1", r"\b(0x[0-9a-fA-F]+|\d+)\b(?![.'])", lambda m: bump(m, -1)),
    ("true/false", r"\b(true|false)\b", lambda m: "false" if m.group(0) == "true" else "true"),
    ("min/max", r"std::(min|max)\b", lambda m: "std::max" if m.group(1) == "min" else "std::min"),
    ("continue to break", r"\bcontinue\b", "break"),
    ("negate", r"(?<=[(=] )(\w[\w:.]*\()", r"!\1"),
    ("char changed", r"'(\\?[^'\\])'", lambda m: "'#'" if m.group(1) != "#" else "'@'"),
    ("escape changed", r'"\\\\([nt\\])"', lambda m: '"\\\\' + {"n": "r", "t": "v", "\\": "/"}[m.group(1)] + '"'),
    ("string shortened", r'"((?:[^"\\]|\\.)+)"', lambda m: '"' + m.group(1)[:-1] + '"'),
]
# A whole statement removed, chosen by its shape, whatever the names in it: a
# call (a check among them), a call whose result is cast away, a return, or an
# assignment.
DROP = re.compile(r"^\s*([\w:]+(<[^<>]*>)?\(|\(void\)|return\b|[\w.\[\]*+]+\s*[-+*/]?=[^=])")
SKIP = re.compile(r"^\s*($|//|#|static_assert|namespace|}|{$)")


def code_of(line):
    """The line up to a trailing comment that is not inside a string."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"' and line[i - 1 : i] != "\\":
            quoted = not quoted
        if not quoted and line.startswith("//", i):
            return line[:i]
    return line


def mutants(lines):
    """Yields (line number, rule, new line) for every mutant of the source."""
    for number, line in enumerate(lines, 1):
        if SKIP.match(line):
            continue
        code = code_of(line)
        for name, pattern, replacement in RULES:
            for match in re.finditer(pattern, code):
                new = replacement(match) if callable(replacement) else match.expand(replacement)
                if new is not None and new != match.group(0):
                    yield number, name, line[: match.start()] + new + line[match.end() :]
        if DROP.match(line) and line.rstrip().endswith(";"):
            yield number, "statement removed", "\n"


def limit_child():
    # A mutant that loops or writes without end must not take the machine.
    resource.setrlimit(resource.RLIMIT_CPU, (60, 60))
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 20, 64 << 20))


def run(command, **options):
    return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **options).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--every", type=int, default=1, help="try only every K-th mutant")
    parser.add_argument("--only", type=int, nargs="+", help="try only the mutants of these lines")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    args = parser.parse_args()
    if args.list:
        for number, rule, new in mutants((ROOT / SOURCE).read_text().splitlines(keepends=True)):
            print(f"line {number:3} {rule:17} {new.strip()}")
        return
    if shutil.which("strace") is None:
        sys.exit("mutate: the fault rows need strace")

    work = pathlib.Path(tempfile.mkdtemp(prefix="nwmutate."))
    shutil.copytree(ROOT, work / "repo", ignore=shutil.ignore_patterns("build", ".git"))
    repo = work / "repo"
    build, sanitized = repo / "build" / "test", repo / "build" / "asan"
    source = repo / SOURCE
    original = source.read_text()
    lines = original.splitlines(keepends=True)
    # The builds CI tests, but a mutant that only draws a warning is still run.
    for preset, folder in (("test", build), ("asan", sanitized)):
        run(["cmake", "--preset", preset, "-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF"], cwd=repo)
        if run(["cmake", "--build", folder, "-j2"]) != 0 or run(["ctest", "--test-dir", folder, "-j2"]) != 0:
            sys.exit("mutate: the unchanged tool does not build or pass its tests")
    binary = build / "nodalwrangler"
    pristine = hashlib.sha256(binary.read_bytes()).hexdigest()

    def fails(folder):
        # The quick groups first: most mutants fall there in seconds.
        ctest = ["ctest", "--test-dir", folder, "-j2", "--stop-on-failure", "--timeout", "300"]
        slow = "random|edges|faults"
        return run(ctest + ["-E", slow], preexec_fn=limit_child) or run(ctest + ["-R", slow], preexec_fn=limit_child)

    chosen = [m for m in mutants(lines) if args.only is None or m[0] in args.only][:: args.every]
    counts = {"killed": 0, "killed by asan": 0, "survived": 0, "same binary": 0, "no build": 0}
    for index, (number, rule, new) in enumerate(chosen, 1):
        source.write_text("".join(lines[: number - 1] + [new] + lines[number:]))
        if run(["cmake", "--build", build, "--target", "nodalwrangler"]) != 0:
            result = "no build"
        elif hashlib.sha256(binary.read_bytes()).hexdigest() == pristine:
            result = "same binary"
        elif fails(build):
            result = "killed"
        elif run(["cmake", "--build", sanitized, "--target", "nodalwrangler"]) == 0 and fails(sanitized):
            result = "killed by asan"
        else:
            result = "survived"
        counts[result] += 1
        print(f"{index:4}/{len(chosen)} {result:14} line {number:3} {rule:17} {new.strip()}", flush=True)
    source.write_text(original)
    shutil.rmtree(work)

    tried = len(chosen)
    built = tried - counts["no build"]
    killed = counts["killed"] + counts["killed by asan"]
    print(f"tried {tried}, built {built}, same binary {counts['same binary']}, "
          f"killed {killed} ({counts['killed by asan']} of them only under the sanitizers), "
          f"survived {counts['survived']} ({100 * killed / max(killed + counts['survived'], 1):.1f} % of those run were killed)")


if __name__ == "__main__":
    main()
