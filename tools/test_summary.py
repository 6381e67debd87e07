#!/usr/bin/env python3
"""Lists every case that CTest's last run in a build folder skipped, with its reason, and fails when
disturbances skipped too many of the cases that judge recorded audio.

    python3 tools/test_summary.py BUILD_DIR [--ceiling 0.25]

It reads BUILD_DIR/Testing/Temporary/LastTest.log, which holds each case's output. A skip's reason
says what kind it is:
    "permanent: ..."   this configuration or server can never judge the case (listed apart)
    "disturbed: ..."   the machine stalled in each attempt (counted against the ceiling)
    anything else      a component that cannot run here
A case that judges audio prints "audio-judging case" (at a line's end); more disturbance skips than `ceiling` of those
fail the run (status 1), so a run that judged nothing cannot pass.
"""

import argparse
import os
import re
import sys

JUDGING = "audio-judging case"
# unittest -v: "test_x (module.Class.test_x) ... skipped 'reason'", also after a subtest's name, or
# on a line of its own after what the case printed.
UNITTEST_SKIP = re.compile(r"(?:^| \.\.\. )skipped (['\"])(.*)\1$")
GTEST_SKIP = re.compile(r"^.*:\d+: Skipped$")


def cases(log):
    """(name, output lines, whether CTest counted it skipped) for each case of the log."""
    name, output, inside = None, [], False
    for line in log.splitlines():
        match = re.match(r"^\d+/\d+ Testing: (.*)$", line)
        if match:
            name, output, inside = match.group(1).split("  # ")[0], [], False
        elif line == "Output:":
            inside = True
        elif line == "<end of output>":
            inside = False
        elif inside:
            output.append(line)
        elif name and line.startswith("Skip regular expression found in output"):
            yield name, output, True
            name = None
        elif name and line.startswith('"') and " end time: " in line:
            yield name, output, False
            name = None


def reasons(output):
    found = []
    for index, line in enumerate(output):
        match = UNITTEST_SKIP.search(line)
        if match:
            found.append(match.group(2))
        elif GTEST_SKIP.match(line):
            text = []
            for following in output[index + 1:]:
                if following.startswith("[  SKIPPED ]"):
                    break
                text.append(following)
            found.append(" ".join(text).strip())
    return list(dict.fromkeys(found)) or ["(no reason given)"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--ceiling", type=float, default=0.25)
    options = parser.parse_args()
    path = os.path.join(options.build, "Testing", "Temporary", "LastTest.log")
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            log = file.read()
    except OSError as error:
        print("no test log in %s: %s" % (options.build, error))
        return 1

    kinds = {"permanent": [], "disturbed": [], "other": []}
    judging = 0
    for name, output, skipped in cases(log):
        judging += any(line.rstrip().endswith(JUDGING) for line in output)
        if not skipped:
            continue
        for reason in reasons(output):
            kind = reason.split(":", 1)[0] if reason.startswith(("permanent:", "disturbed:")) else "other"
            kinds[kind].append((name, reason))

    titles = {"permanent": "permanent skips (never judged in this configuration)",
              "disturbed": "skipped because the machine disturbed each attempt",
              "other": "skipped because a component cannot run here"}
    print("== skipped cases in %s" % options.build)
    for kind in ("permanent", "disturbed", "other"):
        print("%s: %d" % (titles[kind], len(kinds[kind])))
        for name, reason in kinds[kind]:
            print("    %s: %s" % (name, reason))
    disturbed = len({name for name, _ in kinds["disturbed"]})
    print("disturbance skips: %d of %d audio-judging cases (ceiling: %g of them)"
          % (disturbed, judging, options.ceiling))
    if disturbed > options.ceiling * judging:
        print("FAILED: too many audio-judging cases were skipped for disturbance to call this run judged")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
