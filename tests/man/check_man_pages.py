#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks the built man pages (the gzipped files that are installed):

  render   groff prints no warning for any page (groff -man -ww -z), each
           page's .TH names its file, has the sections of its kind, and every
           page of ours that it refers to exists;
  help     every option, sub-command, KEY= word and exit status that a
           program's --help (and `mpioctl help COMMAND`, `powermt-sim control
           help`) prints is in the program's man page: options and
           sub-commands as entries of their own;
  examples the C examples of the section 3 pages compile against the header.
"""
import argparse
import gzip
import os
import re
import subprocess
import sys
import tempfile

failures = []


def fail(message):
    failures.append(message)


def read_page(path):
    with gzip.open(path, "rt", encoding="utf-8") as f:
        return f.read()


def groff(source, *options):
    return subprocess.run(["groff", "-man", "-Tutf8", *options], input=source, capture_output=True,
                          text=True, check=False)


def rendered(source):
    """The page as plain text, one paragraph per line, nothing hyphenated."""
    result = groff(source, "-rLL=2000n", "-rHY=0", "-P-c", "-P-b", "-P-u")
    return result.stdout


def sections(text):
    """Rendered text by section heading: the upper-case lines in column 0
    (the page's header and footer lines hold parentheses)."""
    found = {}
    current = None
    for line in text.splitlines():
        if re.fullmatch(r"[A-Z][A-Z0-9 -]*", line):
            current = line
            found[current] = ""
        elif current is not None:
            found[current] += line + "\n"
    return found


REQUIRED_SECTIONS = {
    "1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "SEE ALSO"],
    "3": ["NAME", "LIBRARY", "SYNOPSIS", "DESCRIPTION", "SEE ALSO"],
    "5": ["NAME", "DESCRIPTION", "SEE ALSO"],
}
# What the page of an entry point has besides.
ENTRY_POINT_SECTIONS = ["ARGUMENTS", "RETURN VALUE", "ERRORS", "COMMANDS", "EXAMPLES"]


def entry_points(exports_map):
    """The plain names of the version script: the C entry points."""
    with open(exports_map, encoding="utf-8") as f:
        return set(re.findall(r"^\s+([a-z]\w*);", f.read(), re.M))


def check_page(path, names, entries):
    base = os.path.basename(path)[: -len(".gz")]
    name, section = base.rsplit(".", 1)
    source = read_page(path)
    warnings = groff(source, "-ww", "-z").stderr.strip()
    if warnings:
        fail(f"{base}: groff warns:\n{warnings}")
    if re.search(r"@[A-Z_]+@", source):
        fail(f"{base}: an unconfigured @VARIABLE@")
    th = re.search(r"^\.TH (\S+) (\S+)", source, re.M)
    if not th or th.group(1).upper() != name.upper() or th.group(2) != section:
        fail(f"{base}: .TH does not name {name}({section}): {th.group(0) if th else 'none'}")
    text = rendered(source)
    present = sections(text)
    wanted = REQUIRED_SECTIONS.get(section[0], []) + (ENTRY_POINT_SECTIONS if name in entries else [])
    for heading in wanted:
        if heading not in present:
            fail(f"{base}: no {heading} section")
    # Every page of our own sections and programs that the body names (not
    # the header and footer lines, in column 0) must exist.
    body = "\n".join(line for line in text.splitlines() if line[:1].isspace())
    for ref, ref_section in re.findall(r"([A-Za-z_][\w.-]*)\((\w+)\)", body):
        ours = ref_section.endswith("tmmpio") or ref.startswith(("mpio", "powermt", "tmmpio"))
        if ours and (ref, ref_section) not in names:
            fail(f"{base}: refers to {ref}({ref_section}), which is not among the pages")
    return text


OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)")
KEY = re.compile(r"(?<![\w-])([a-z][\w-]*)=")


def run(argv):
    result = subprocess.run(argv, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        fail(f"{' '.join(argv)} exits with {result.returncode}: {result.stderr.strip()}")
    return result.stdout


def entry_pattern(words):
    """A rendered line that starts with words (None: any placeholder word): an
    entry of the page's lists, possibly after other options of the same entry
    ("-h, --help") or after "powermt"."""
    parts = [r"\S+" if word is None else re.escape(word) for word in words]
    return re.compile(r"^\s+(?:(?:powermt|-[\w-]+(?:\s+[A-Z]+)?),?\s+)*" + r"\s+".join(parts)
                      + r"(?![\w-])", re.M)


def check_entries(page, text, kind, items):
    """items: texts, or tuples of words with None for a placeholder. The
    synopsis and the examples do not count as entries."""
    text = "".join(body for heading, body in sections(text).items() if heading not in ("SYNOPSIS", "EXAMPLES"))
    for item in sorted(items, key=str):
        words = item.split() if isinstance(item, str) else item
        if not entry_pattern(words).search(text):
            shown = " ".join(word or "ARG" for word in words)
            fail(f"{page}: {kind} '{shown}' has no entry of its own")


def check_words(page, text, kind, words, suffix=""):
    for word in sorted(words):
        if not re.search(r"(?<![\w-])" + re.escape(word + suffix), text):
            fail(f"{page}: {kind} '{word}{suffix}' is not mentioned")


def exit_statuses(help_text):
    block = re.search(r"Exit status:(.*?)(?:\n\n|\Z)", help_text, re.S)
    return set(re.findall(r"(?<![\w+-])(\d+)(?![\w-])", block.group(1))) if block else set()


def usage_commands(help_text):
    """The sub-commands of powermt's usage lines, as the words after
    'powermt' up to the first optional part, alternative or KEY= (None for a
    placeholder such as SD), and every literal word of the lines."""
    commands, words = set(), set()
    for line in help_text.splitlines():
        m = re.match(r"\s*(?:[Uu]sage:|or:)?\s*powermt\s+(.*)", line)
        if not m:
            continue
        tokens = m.group(1).split()
        lead = []
        for token in tokens:
            if re.fullmatch(r"[a-z]+", token):
                lead.append(token)
            elif re.fullmatch(r"[A-Z]+", token) and lead:
                lead.append(None)
            else:
                break
        while lead and lead[-1] is None:
            lead.pop()
        if lead:
            commands.add(tuple(lead))
        for token in tokens:
            for part in re.split(r"[|\[\]<>{}]", token):
                if re.fullmatch(r"[a-z]+", part):
                    words.add(part)
    return commands, words


def check_help(programs, texts):
    mpioctl = programs["mpioctl"]
    text = texts["mpioctl.1"]
    top = run([mpioctl, "--help"])
    listing = re.search(r"^Commands:\n(.*?)\n\n", top, re.S | re.M).group(1)
    commands = set(re.findall(r"^  (\S+)", listing, re.M))
    if "help" not in commands:
        fail("mpioctl --help lists no help command")
    helps = [top] + [run([mpioctl, "help", command]) for command in sorted(commands)]
    check_entries("mpioctl.1", text, "sub-command", commands)
    check_entries("mpioctl.1", text, "option", {o for h in helps for o in OPTION.findall(h)})
    check_words("mpioctl.1", sections(text).get("EXIT STATUS", ""), "exit status",
                {s for h in helps for s in exit_statuses(h)})

    sandbox = run([programs["mpio-sandbox"], "--help"])
    text = texts["mpio-sandbox.1"]
    check_entries("mpio-sandbox.1", text, "option", set(OPTION.findall(sandbox)))
    check_words("mpio-sandbox.1", text, "key", set(KEY.findall(sandbox)), "=")
    check_words("mpio-sandbox.1", sections(text).get("EXIT STATUS", ""), "exit status",
                exit_statuses(sandbox))

    powermt = run([programs["powermt-sim"], "--help"]) + run([programs["powermt-sim"], "control", "help"])
    text = texts["powermt-sim.1"]
    commands, words = usage_commands(powermt)
    check_entries("powermt-sim.1", text, "sub-command", commands)
    check_words("powermt-sim.1", text, "word", words)
    check_words("powermt-sim.1", text, "key", set(KEY.findall(powermt)), "=")
    check_entries("powermt-sim.1", text, "option", set(OPTION.findall(powermt)))


def unescaped(roff):
    """The text of an example: roff escapes made plain again."""
    text = re.sub(r"\\f[BIRP]", "", roff)
    for escape, plain in ((r"\-", "-"), (r"\(aq", "'"), (r"\(dq", '"'), (r"\e", "\\"), (r"\&", "")):
        text = text.replace(escape, plain)
    return text


def check_examples(pages, include, compiler):
    for path in pages:
        base = os.path.basename(path)[: -len(".gz")]
        for number, block in enumerate(re.findall(r"^\.EX\n(.*?)^\.EE", read_page(path), re.S | re.M)):
            if "#include" not in block:
                continue
            with tempfile.NamedTemporaryFile("w", suffix=".c") as source:
                source.write(unescaped(block))
                source.flush()
                result = subprocess.run([compiler, "-std=gnu11", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                                         "-I", include, source.name], capture_output=True, text=True, check=False)
            if result.returncode != 0:
                fail(f"{base}: example {number + 1} does not compile:\n{result.stderr.strip()}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pages", required=True, nargs="+", help="the gzipped pages")
    parser.add_argument("--program", action="append", default=[], metavar="NAME=PATH")
    parser.add_argument("--include", help="directory of the plug-in's header, to compile the examples")
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--exports", help="the plug-in's version script: each entry point needs a page")
    parser.add_argument("check", choices=["pages", "examples"])
    args = parser.parse_args()

    pages = sorted(args.pages)
    if args.check == "examples":
        check_examples([p for p in pages if ".3" in os.path.basename(p)], args.include, args.cc)
    else:
        names = {tuple(os.path.basename(p)[: -len(".gz")].rsplit(".", 1)) for p in pages}
        entries = entry_points(args.exports) if args.exports else set()
        for entry in sorted(entries - {name for name, _ in names}):
            fail(f"the entry point {entry} has no page")
        texts = {os.path.basename(p)[: -len(".gz")]: check_page(p, names, entries) for p in pages}
        programs = dict(p.split("=", 1) for p in args.program)
        if programs:
            check_help(programs, texts)
    for message in failures:
        print(message, file=sys.stderr)
    print(f"{len(pages)} pages, {len(failures)} faults")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
