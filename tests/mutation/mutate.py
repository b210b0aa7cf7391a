#!/usr/bin/env python3
"""Mutation testing of kq5's host build: plain faults put into chosen source files, one at a time,
each built and run against the fast host tests (kq5_tests); a fault the tests do not notice is a
survivor.

The sources are never touched: each run copies src/ into its work folder and mutates the copy.
Each mutant recompiles only the objects of the host build that read the mutated file (their
commands taken from the build's ninja files, pointed at the copy), swaps them into copies of
their libraries and links its own kq5_tests; the host build's folder is only read. So it can run
beside another build or test of the same tree.

    mutate.py --source DIR --build DIR --work DIR [--full | --budget FIXED,COMMIT] [--commit ID]
              [--file PATH]... [--jobs N] [--list] [--keep-going]

Exit status: 0 when every mutant is killed, not built or listed as equivalent
(tests/mutation/equivalent.txt); 1 when one survived unexplained; 2 on a usage or set-up error.
"""

import argparse
import concurrent.futures
import dataclasses
import hashlib
import os
import queue
import re
import shlex
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT_FLOOR = 60  # seconds a test run may take before the mutant counts as hanging (killed)
WHOLE_FILTER = "-Scenarios/*"  # every test but the two slow sweeps of every scenario


@dataclasses.dataclass
class Mutant:
    file: str  # relative to the source folder
    op: str
    line: int  # 1-based, for the report only
    before: str  # the mutated line, stripped
    after: str  # the same line in the mutant, stripped ("(removed)" when deleted)
    start: int  # offsets into the file's text of the replaced span
    end: int
    text: str  # the replacement
    key: str = ""


# --- Reading C++ well enough to mutate it -------------------------------------------------------


def code_mask(text):
    """The text with comments, string and character literals blanked (newlines kept), so that
    the operators below only ever match code."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == "R" and text.startswith('"', i + 1) and (i == 0 or not is_word(text[i - 1])):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            close = ")" + m.group(1) + '"'
            j = text.find(close, i + m.end())
            j = n if j < 0 else j + len(close)
            blank(i + 1, j)
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # a digit separator
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, min(j, n))
            i = j + 1
        else:
            i += 1
    return "".join(out)


def is_word(c):
    return c.isalnum() or c == "_"


def line_bounds(text, offset):
    start = text.rfind("\n", 0, offset) + 1
    end = text.find("\n", offset)
    return start, (len(text) if end < 0 else end)


def skipped_line(mask, offset):
    """Lines no mutant is made on: the preprocessor's and static assertions."""
    start, end = line_bounds(mask, offset)
    line = mask[start:end].strip()
    return line.startswith("#") or "static_assert" in line


def matching_paren(mask, open_at):
    depth = 0
    for k in range(open_at, len(mask)):
        if mask[k] == "(":
            depth += 1
        elif mask[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


# --- The operators ------------------------------------------------------------------------------

COMPARISONS = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ", " == ": " != ",
               " != ": " == "}
LOGIC = {" && ": " || ", " || ": " && "}


def op_swap(mask, table):
    # Binary operators are spaced by clang-format; templates' angle brackets are not.
    pattern = re.compile("|".join(re.escape(k) for k in sorted(table, key=len, reverse=True)))
    for m in pattern.finditer(mask):
        yield m.start(), m.end(), table[m.group(0)]


def op_constant(mask):
    for m in re.finditer(r"(?<![\w.])(\d+)([uUlL]*)(?![\w.'])", mask):
        yield m.start(1), m.end(1), str(int(m.group(1)) + 1)


def op_negate(mask):
    for m in re.finditer(r"\b(if|while)\s*\(", mask):
        open_at = m.end() - 1
        close = matching_paren(mask, open_at)
        if close < 0:
            continue
        inner = mask[open_at + 1:close]
        if ";" in inner:  # an if with an initializer: leave it
            continue
        yield open_at + 1, close, "!(" + "\0" + ")"  # \0: the original condition goes here


STATEMENT = re.compile(
    r"^(?:break|continue"
    r"|[A-Za-z_][\w]*(?:(?:\.|->|::)[A-Za-z_]\w*|\[[^\]]*\])*"  # an object, member or element
    r"\s*(?:=[^=]|[-+*/|&^]=|<<=|>>=|\+\+|--|\()"  # assigned, changed or called
    r"|(?:\+\+|--)[A-Za-z_])")


def op_remove(mask):
    """Whole statements on one line: calls, assignments, increments, break and continue."""
    pos = 0
    previous = ";"
    for line in mask.split("\n"):
        stripped = line.strip()
        begins_statement = previous.endswith((";", "{", "}", ":")) or previous == ""
        if (begins_statement and stripped.endswith(";") and STATEMENT.match(stripped)
                and stripped.count("(") == stripped.count(")")
                and not stripped.startswith(("return", "case", "default"))):
            yield pos, pos + len(line), ""
        if stripped:
            previous = stripped
        pos += len(line) + 1


# Returns that "{}" would not change: the value-initialised value spelled out. The empty string
# literal is among them (the mask keeps a literal's quotes and blanks its text, so only a truly
# empty one reads ""): "" and {} are the same std::string, the way kq5 returns "nothing to say";
# a const char* function that returns "" loses that one mutant.
ZERO_VALUES = {"{}", "", '""', "nullptr", "NULL", "NO_ERROR", "ERROR_SUCCESS", "FALSE", "S_OK"}


def op_return(mask):
    for m in re.finditer(r"\breturn\s+([^;]*);", mask):
        value = m.group(1).strip()
        if value == "true":
            yield m.start(1), m.end(1), "false"
        elif value == "false":
            yield m.start(1), m.end(1), "true"
        elif value not in ZERO_VALUES and not re.fullmatch(r"-?\d+[uUlL]*", value):
            yield m.start(1), m.end(1), "{}"


OPERATORS = [
    ("comparison", lambda mask: op_swap(mask, COMPARISONS)),
    ("logic", lambda mask: op_swap(mask, LOGIC)),
    ("constant", op_constant),
    ("negate", op_negate),
    ("remove", op_remove),
    ("return", op_return),
]


def mutants_of(source, rel):
    with open(os.path.join(source, rel), encoding="utf-8") as f:
        text = f.read()
    mask = code_mask(text)
    found = []
    for op, generate in OPERATORS:
        for start, end, replacement in generate(mask):
            if skipped_line(mask, start):
                continue
            replacement = replacement.replace("\0", text[start:end])
            mutated = text[:start] + replacement + text[end:]
            ls, le = line_bounds(text, start)
            before = text[ls:le].strip()
            ms, me = line_bounds(mutated, start if start > ls else ls)
            after = mutated[ms:me].strip() or "(removed)"
            if op == "remove":
                after = "(removed)"
            found.append(Mutant(rel, op, text.count("\n", 0, start) + 1, before, after, start,
                                end, replacement))
    name_keys(found)
    return text, found


def name_keys(mutants):
    """A mutant's key: file, operator, the line and its mutant, not the line number (lines move);
    '#2', '#3' tell apart the same change on identical lines of one file."""
    seen = {}
    for m in sorted(mutants, key=lambda m: (m.start, m.op, m.text)):
        base = f"{m.file} | {m.op} | {m.before} | {m.after}"
        seen[base] = seen.get(base, 0) + 1
        m.key = base if seen[base] == 1 else f"{base} | #{seen[base]}"


# --- Which mutants run ---------------------------------------------------------------------------


def digest(salt, key):
    return hashlib.sha1((salt + "\n" + key).encode()).hexdigest()


def budget_pick(mutants, fixed, from_commit, commit):
    """A fixed set (the same while the mutated lines stand) and a sample derived from the commit
    under test (new for each commit), as the swarm picks its seeds."""
    by_fixed = sorted(mutants, key=lambda m: digest("fixed", m.key))
    chosen = by_fixed[:fixed]
    rest = [m for m in mutants if m not in chosen]
    chosen += sorted(rest, key=lambda m: digest(commit, m.key))[:from_commit]
    return sorted(chosen, key=lambda m: (m.file, m.start, m.op))


def read_targets(path, budget):
    """tests/mutation/targets.txt: a source file, the tests to run first for its mutants, and
    'full-only' for a file left out of the budget (its survivors not yet all accounted for)."""
    targets = []
    with open(path, encoding="utf-8") as f:
        for raw in f:
            parts = raw.split("#", 1)[0].split()
            if parts and not (budget and "full-only" in parts[2:]):
                targets.append((parts[0], parts[1] if len(parts) > 1 else WHOLE_FILTER))
    return targets


def read_equivalent(path):
    """tests/mutation/equivalent.txt: blocks of 'file:', 'operator:', 'line:', 'mutant:' and
    'why:' lines, one block per equivalent mutant; '#' lines are comments."""
    entries, block = {}, {}

    def close():
        if block:
            key = " | ".join(block.get(k, "") for k in ("file", "operator", "line", "mutant"))
            if block.get("occurrence"):
                key += " | #" + block["occurrence"]
            if not block.get("why"):
                raise SystemExit(f"equivalent.txt: no reason given for {key}")
            entries[key] = block["why"]
            block.clear()

    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                close()
                continue
            field, _, value = line.partition(":")
            field = field.strip()
            if field in ("file", "operator", "line", "mutant", "why", "occurrence"):
                block[field] = value.strip()
            elif field == "" or line.startswith(" "):
                block["why"] = (block.get("why", "") + " " + line.strip()).strip()
    close()
    return entries


def read_known(path):
    """tests/mutation/known-survivors.txt: survivors not yet killed by a test nor shown
    equivalent, one key a line; reported, they do not fail the run (the debt to pay off)."""
    if not os.path.exists(path):
        return set()
    with open(path, encoding="utf-8") as f:
        return {l.rstrip("\n") for l in f if l.strip() and not l.startswith("#")}


def write_known(path, known, survivors, targets, full):
    """The known survivors of the files not run in full kept, this run's put in."""
    ran = {rel for rel, _ in targets} if full else set()
    keep = {k for k in known if k.split(" | ")[0] not in ran}
    lines = sorted(keep | {m.key for m in survivors})
    with open(path, "w", encoding="utf-8") as f:
        f.write("# Survivors of the full mutation run that no test kills yet and that are not shown\n"
                "# equivalent: tests owed. Written by mutate.py --full --write-known.\n")
        f.writelines(l + "\n" for l in lines)


# --- Building a mutant beside the host build -----------------------------------------------------


class Builder:
    def __init__(self, source, build, work):
        self.source, self.build, self.work = source, build, work
        self.copy = os.path.join(work, "src")
        commands = subprocess.run(["ninja", "-C", build, "-t", "commands", "tests/kq5_tests"],
                                  check=True, capture_output=True, text=True).stdout.splitlines()
        self.compiles = {}  # object (relative to the build) -> its compile command
        for command in commands:
            m = re.search(r"\s-o\s+(\S+)\s+-c\s+(\S+)$", command)
            if m:
                self.compiles[m.group(1)] = command
        link = [c for c in commands if re.search(r"\s-o\s+tests/kq5_tests\s", c)][-1]
        link = link.removeprefix(": && ")
        self.link = link.split(" && cd ", 1)[0]
        self.deps = self.read_deps()

    def read_deps(self):
        out = subprocess.run(["ninja", "-C", self.build, "-t", "deps"], check=True,
                             capture_output=True, text=True).stdout
        deps, current = {}, None
        for line in out.splitlines():
            if line and not line.startswith(" "):
                current = line.split(":", 1)[0]
            elif line.strip() and current in self.compiles:
                deps.setdefault(os.path.realpath(os.path.join(self.build, line.strip())),
                              []).append(current)
        return deps

    def objects_reading(self, rel):
        return sorted(self.deps.get(os.path.realpath(os.path.join(self.source, rel)), []))

    def fresh_copy(self):
        shutil.rmtree(self.copy, ignore_errors=True)
        shutil.copytree(os.path.join(self.source, "src"), self.copy)

    def compile_in_copy(self, obj, out):
        """The object's command, reading the copy of src/ in place of src/, writing to out."""
        src = os.path.join(self.source, "src")
        words = shlex.split(self.compiles[obj])
        result = []
        skip = 0
        for i, word in enumerate(words):
            if skip:
                skip -= 1
                continue
            if word in ("-MT", "-MF"):
                skip = 1
                continue
            if word in ("-MD", "-Werror"):  # a mutant that only warns is still a mutant
                continue
            if word == "-o":
                result += ["-o", out]
                skip = 1
                continue
            if word.startswith("-I") and os.path.realpath(word[2:]) == os.path.realpath(src):
                word = "-I" + self.copy
            if not word.startswith("-") and os.path.realpath(word).startswith(
                    os.path.realpath(src) + os.sep):
                word = os.path.join(self.copy, os.path.relpath(os.path.realpath(word),
                                                               os.path.realpath(src)))
            result.append(word)
        return result

    def build_mutant(self, rel):
        """Recompiles the objects reading the (mutated) copy of rel, links kq5_tests; returns the
        binary, or None with the compiler's complaint."""
        out = os.path.join(self.work, "mutant")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        link = shlex.split(self.link)
        libs = {}
        for k, obj in enumerate(self.objects_reading(rel)):
            target = os.path.join(out, f"{k}-{os.path.basename(obj)}")
            run = subprocess.run(self.compile_in_copy(obj, target), cwd=self.build,
                                 capture_output=True, text=True)
            if run.returncode != 0:
                return None, run.stderr
            if obj in link:
                link = [target if w == obj else w for w in link]
                continue
            lib = self.library_of(obj, link)
            if lib not in libs:
                libs[lib] = os.path.join(out, f"lib{len(libs)}-{os.path.basename(lib)}")
                shutil.copyfile(os.path.join(self.build, lib), libs[lib])
            member = os.path.join(out, os.path.basename(obj))
            shutil.copyfile(target, member)
            subprocess.run(["ar", "r", libs[lib], member], check=True, capture_output=True)
        link = [libs.get(w, w) for w in link]
        binary = os.path.join(out, "kq5_tests")
        if shutil.which("ld.lld"):  # links in a quarter of the time of ld.bfd
            link.insert(1, "-fuse-ld=lld")
        o = link.index("-o")
        link[o + 1] = binary
        run = subprocess.run(link, cwd=self.build, capture_output=True, text=True)
        if run.returncode != 0:
            return None, run.stderr
        return binary, ""

    def library_of(self, obj, link):
        """The static library of the link line that holds obj (by its target's folder)."""
        target = re.search(r"CMakeFiles/([^/]+)\.dir/", obj).group(1)
        for word in link:
            if os.path.basename(word) == f"lib{target}.a":
                return word
        raise SystemExit(f"no library for {obj} on the link line of kq5_tests")


def run_tests(binary, gtest_filter, timeout, cwd):
    """True when the tests fail (or hang, or crash): the mutant is killed. In a folder and with
    a TMPDIR of this run's own, beside any other run of the tests."""
    tmp = os.path.join(cwd, "tmp")
    os.makedirs(tmp, exist_ok=True)
    try:
        run = subprocess.run([binary, f"--gtest_filter={gtest_filter}", "--gtest_brief=1",
                              "--gtest_fail_fast=1"],
                             cwd=cwd, capture_output=True, timeout=timeout,
                             env=dict(os.environ, TMPDIR=tmp))
    except subprocess.TimeoutExpired:
        return True, "timeout"
    return run.returncode != 0, "failed" if run.returncode else ""


# --- The run --------------------------------------------------------------------------------------


def diff_of(m, text):
    """The lines of the mutated span, before and after."""
    ls = line_bounds(text, m.start)[0]
    mutated = text[:m.start] + m.text + text[m.end:]
    old = text[ls:line_bounds(text, max(m.end - 1, m.start))[1]].split("\n")
    new = [] if m.op == "remove" else mutated[ls:line_bounds(
        mutated, max(m.start + len(m.text) - 1, m.start))[1]].split("\n")
    return "\n".join([f"    --- {m.file}:{m.line}"] + [f"    -{l}" for l in old] +
                     [f"    +{l}" for l in new])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True, help="the host build (Ninja) with kq5_tests")
    parser.add_argument("--work", required=True, help="a folder of this run's own")
    parser.add_argument("--full", action="store_true", help="every mutant of every target")
    parser.add_argument("--budget", default="10,10",
                        help="FIXED,COMMIT: mutants of the fixed set and of the commit's sample")
    parser.add_argument("--commit", help="default: the source folder's HEAD")
    parser.add_argument("--file", action="append", help="only this target (repeatable)")
    parser.add_argument("--jobs", type=int, default=1,
                        help="mutants built and run at once, each in its own folder (default 1)")
    parser.add_argument("--list", action="store_true", help="print the chosen mutants, run none")
    parser.add_argument("--keys", help="only the mutants whose keys this file lists (one a line; "
                        "a run's 'key:' lines will do), e.g. the survivors of an earlier run")
    parser.add_argument("--targets", default=os.path.join(HERE, "targets.txt"))
    parser.add_argument("--equivalent", default=os.path.join(HERE, "equivalent.txt"))
    parser.add_argument("--known", default=os.path.join(HERE, "known-survivors.txt"))
    parser.add_argument("--write-known", action="store_true",
                        help="write this run's unexplained survivors to the --known file")
    args = parser.parse_args()
    source, build = os.path.abspath(args.source), os.path.abspath(args.build)
    work = os.path.abspath(args.work)
    if not args.commit:
        head = subprocess.run(["git", "-C", source, "rev-parse", "HEAD"], capture_output=True,
                              text=True)
        args.commit = head.stdout.strip() if head.returncode == 0 else "no-commit"

    targets = read_targets(args.targets, budget=not (args.full or args.file or args.keys))
    if args.file:
        listed = dict(targets)
        targets = [(f, listed.get(f, WHOLE_FILTER)) for f in args.file]
    equivalent = read_equivalent(args.equivalent)
    known = read_known(args.known)
    filters = dict(targets)
    texts, mutants = {}, []
    for rel, _ in targets:
        if not os.path.exists(os.path.join(source, rel)):
            print(f"no such file: {rel}", file=sys.stderr)
            return 2
        texts[rel], found = mutants_of(source, rel)
        mutants += found
    if args.keys:
        with open(args.keys, encoding="utf-8") as f:
            wanted = {l.strip().removeprefix("key: ") for l in f if l.strip()}
        mutants = [m for m in mutants if m.key in wanted]
    elif not args.full:
        fixed, from_commit = (int(x) for x in args.budget.split(","))
        mutants = budget_pick(mutants, fixed, from_commit, args.commit)
        print(f"commit {args.commit}: {fixed} fixed and {from_commit} commit-derived mutants")
    if args.jobs < 1:
        parser.error("--jobs takes a whole number from 1")
    if args.list:
        for m in mutants:
            print(f"{m.file}:{m.line} {m.op}: {m.before}  =>  {m.after}")
            print(f"    key: {m.key}")
        print(f"{len(mutants)} mutants")
        return 0
    return run(args, source, build, work, targets, filters, texts, mutants, equivalent, known)


def run(args, source, build, work, targets, filters, texts, mutants, equivalent, known):
    os.makedirs(work, exist_ok=True)
    # One builder a job, each with its own copy of src/ and its own folder to run the tests in.
    builders = [Builder(source, build, os.path.join(work, f"job{k}")) for k in range(args.jobs)]
    for builder in builders:
        os.makedirs(builder.work, exist_ok=True)
        builder.fresh_copy()
    idle = queue.SimpleQueue()
    for builder in builders:
        idle.put(builder)
    original = os.path.join(build, "tests", "kq5_tests")
    # The tests must pass unmutated, and their time bounds a mutant's.
    started = time.monotonic()
    failed, _ = run_tests(original, WHOLE_FILTER, 600, work)
    if failed:
        print("the host tests fail without any mutant: fix them first", file=sys.stderr)
        return 2
    timeout = max(TIMEOUT_FLOOR, 5 * (time.monotonic() - started))
    score = {rel: {"killed": 0, "survived": 0, "equivalent": 0, "known": 0, "not built": 0,
                   "not host": 0} for rel, _ in targets}
    unexplained, survivors, mended = [], [], []

    def on_a_free_builder(m):
        builder = idle.get()
        try:
            return one_mutant(builder, m, texts[m.file], filters[m.file], timeout, original,
                              builder.work)
        finally:
            idle.put(builder)

    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {pool.submit(on_a_free_builder, m): m for m in mutants}
        for n, future in enumerate(concurrent.futures.as_completed(futures), 1):
            m = futures[future]
            state, detail = future.result()
            if state == "survived" and m.key in equivalent:
                state = "equivalent"
            if state == "survived":
                survivors.append(m)
            if state == "survived" and m.key in known:
                state = "known"
            if state == "killed" and m.key in known:
                mended.append(m)
            score[m.file][state] += 1
            head = f"[{n}/{len(mutants)}] {state:10} {m.file}:{m.line} {m.op}"
            print(head + (f" ({detail})" if detail else ""), flush=True)
            if state == "survived":
                unexplained.append(m)
                print(diff_of(m, texts[m.file]))
                print(f"    key: {m.key}", flush=True)
    survivors.sort(key=lambda m: (m.file, m.start))
    unexplained.sort(key=lambda m: (m.file, m.start))
    report(score, unexplained, args.full, equivalent, mutants)
    for m in mended:
        print(f"killed now, take it out of {os.path.basename(args.known)}: {m.key}")
    if args.write_known:
        write_known(args.known, known, survivors, targets, args.full)
        return 0
    return 1 if unexplained else 0


def one_mutant(builder, m, text, first_filter, timeout, original, cwd):
    copy = os.path.join(builder.copy, os.path.relpath(m.file, "src"))
    if not builder.objects_reading(m.file):
        return "not host", "not in the host build's kq5_tests"
    try:
        with open(copy, "w", encoding="utf-8") as f:
            f.write(text[:m.start] + m.text + text[m.end:])
        binary, complaint = builder.build_mutant(m.file)
    finally:
        with open(copy, "w", encoding="utf-8") as f:
            f.write(text)
    if binary is None:
        first = next((l for l in complaint.splitlines() if "error" in l), "")
        return "not built", first[-120:]
    for gtest_filter in dict.fromkeys([first_filter, WHOLE_FILTER]):
        killed, how = run_tests(binary, gtest_filter, timeout, cwd)
        if killed:
            return "killed", how if how == "timeout" else ""
    return "survived", ""


def report(score, unexplained, full, equivalent, mutants):
    print()
    print(f"{'file':44} {'mutants':>7} {'killed':>7} {'equiv':>6} {'survived':>8} "
          f"{'known':>6} {'unbuilt':>7} {'score':>6}")
    for rel, s in score.items():
        total = sum(s.values()) - s["not host"]
        if total == 0 and not s["not host"]:
            continue  # not chosen this run (--file, --keys)
        counted = s["killed"] + s["survived"] + s["known"]
        value = f"{s['killed'] / counted:.2f}" if counted else "-"
        note = "  (not in the host tests)" if s["not host"] else ""
        print(f"{rel:44} {total:7} {s['killed']:7} {s['equivalent']:6} {s['survived']:8} "
              f"{s['known']:6} {s['not built']:7} {value:>6}{note}")
    print("score: killed / (killed + survived + known); equivalent and unbuilt mutants left out")
    if full:
        present = {m.key for m in mutants}
        stale = [k for k in equivalent if k not in present and k.split(" | ")[0] in score]
        for key in stale:
            print(f"equivalent.txt names a mutant no longer made: {key}")
    if unexplained:
        print(f"{len(unexplained)} mutant(s) survived: kill each with a test, or list it in "
              "tests/mutation/equivalent.txt with the reason it changes nothing")
    else:
        print("every mutant killed, not built or explained")


if __name__ == "__main__":
    sys.exit(main())
