#!/usr/bin/env python3
"""Checks that the manual page and the shell completion of norvale-cli name every command and
option the program itself knows.

The commands, their options and positionals, and the values of --mode and --type are read from
the built program's --help. Each is looked for:
  - in the manual page, in the part that describes its command: a command's part is every .SS
    whose heading names it ("norvale-cli recover ...", "Options of scan, list and recover"), an
    option must be the tag of a .TP item there, a --mode value the tag of an item, a --type
    value a word of the text; -h/--help and the global options are items of OPTIONS;
  - in the bash completion, by completing "norvale-cli CMD -" (and the values after --mode and
    --type) with the completion function itself;
  - in the zsh completion, by loading it with _arguments and _describe replaced by functions
    that print what they were given, so each command's option definitions are seen (skipped with a
    note when zsh is missing).
The .TH line of each page must carry the program's version.

Usage: check_cli_docs.py --cli NORVALE_CLI --man norvale-cli.1 --bash norvale-cli.bash
                         --zsh _norvale-cli [--desktop-man norvale.1]
Prints one line per problem and exits with 1 when there is any.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys


def run(args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def help_sections(text):
    """{'Options': [line, ...], 'Subcommands': [...], 'Positionals': [...]} of a CLI11 help."""
    sections, current = {}, None
    for line in text.splitlines():
        heading = re.match(r"^(\w+):$", line)
        if heading:
            current = sections.setdefault(heading.group(1), [])
        elif current is not None and line.startswith("  ") and not line.startswith("   "):
            current.append(line.strip())
    return sections


def describe(line):
    """('--mode TEXT', 'deleted: ...') of a help line: its name column and its description."""
    parts = re.split(r"\s{2,}", line, maxsplit=1)
    return parts[0], parts[1] if len(parts) > 1 else ""


class Command:
    def __init__(self, name, help_text):
        self.name = name
        self.options, self.positionals = [], []
        self.modes, self.kinds = [], []
        sections = help_sections(help_text)
        for line in sections.get("Options", []):
            column, text = describe(line)
            names = column.split()[0].split(",")
            self.options += names
            if "--mode" in names:
                self.modes = re.findall(r"(?:^|;\s*)(\w+):", text)
            if "--type" in names:
                self.kinds = text.rsplit(":", 1)[1].strip().split(",")
        for line in sections.get("Positionals", []):
            self.positionals.append(line.split()[0])


def read_program(cli):
    main = run([cli, "--help"])
    version = run([cli, "--version"]).split()[-1]
    top = Command("", main)
    names = [describe(line)[0] for line in help_sections(main).get("Subcommands", [])]
    return version, top, [Command(name, run([cli, name, "--help"])) for name in names]


# --- Manual page ---

def roff_text(line):
    """Plain text of a roff line: fonts, escapes and the macro name removed."""
    line = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", line)
    line = line.replace("\\-", "-").replace("\\%", "").replace("\\&", "").replace("\\~", " ")
    line = re.sub(r"^\.[A-Za-z]+\s*", "", line)
    return line.replace('"', "")


def words(text):
    return re.findall(r"(?<![\w-])-{0,2}\w[\w-]*", text)


class ManualPage:
    def __init__(self, path):
        self.path = os.path.basename(path)
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.th = next((line for line in lines if line.startswith(".TH ")), "")
        # Parts: (section, heading, item tags, text), one per .SH and per .SS.
        self.parts = []
        section, after_tp = "", False
        for line in lines:
            if line.startswith(".SH "):
                section = roff_text(line).strip()
                self.parts.append((section, "", [], []))
            elif line.startswith(".SS "):
                self.parts.append((section, roff_text(line).strip(), [], []))
            elif self.parts and not line.startswith('.\\"'):
                tags, text = self.parts[-1][2], self.parts[-1][3]
                if after_tp:
                    tags.append(roff_text(line))
                text.append(roff_text(line))
            after_tp = line.startswith(".TP")

    def parts_of(self, command):
        return [p for p in self.parts if p[0] == "COMMANDS" and command in words(p[1])]

    def section(self, name):
        return [p for p in self.parts if p[0] == name and not p[1]]


def check_version(page, version, problems):
    if not re.search(r"(?<![\w.])" + re.escape(version) + r"(?![\w.])", roff_text(page.th)):
        problems.append(f"{page.path}: the .TH line does not carry the version {version}")


def check_manual(page, version, top, commands, problems):
    check_version(page, version, problems)
    global_tags = [w for p in page.section("OPTIONS") for t in p[2] for w in words(t)]
    for option in top.options:
        if option not in global_tags:
            problems.append(f"{page.path}: the option {option} is not an item of OPTIONS")
    for command in commands:
        parts = page.parts_of(command.name)
        if not parts:
            problems.append(f"{page.path}: no part of COMMANDS describes {command.name}")
            continue
        tags = [w for p in parts for t in p[2] for w in words(t)]
        text = [w for p in parts for t in p[3] for w in words(t)]
        headings = [w for p in parts for w in words(p[1])]
        for option in command.options:
            if option not in ("-h", "--help") and option not in tags:
                problems.append(f"{page.path}: {command.name} {option} is not described "
                                f"in the part of {command.name}")
        for positional in command.positionals:
            if positional not in headings:
                problems.append(f"{page.path}: {command.name}'s {positional} is not in the "
                                f"heading of its part")
        for mode in command.modes:
            if mode not in tags:
                problems.append(f"{page.path}: {command.name} --mode {mode} is not described")
        for kind in command.kinds:
            if kind not in text:
                problems.append(f"{page.path}: {command.name} --type {kind} is not named")


def check_desktop_manual(page, version, problems):
    check_version(page, version, problems)
    tags = [w for p in page.section("OPTIONS") for t in p[2] for w in words(t)]
    for option in ("--help", "--version"):
        if option not in tags:
            problems.append(f"{page.path}: the option {option} is not an item of OPTIONS")


# --- Completion ---

def completions(output):
    """{key: [words]} of the '@@ key' blocks a shell printed."""
    found, key = {}, None
    for line in output.splitlines():
        if line.startswith("@@ "):
            key = line[3:]
            found[key] = []
        elif key is not None:
            found[key].append(line)
    return found


def cases(commands):
    """(key, words to complete) of every question put to a completion."""
    yield "commands", [""]
    yield "options:", ["-"]
    for command in commands:
        yield f"options:{command.name}", [command.name, "-"]
        if command.modes:
            yield f"mode:{command.name}", [command.name, "--mode", ""]
        if command.kinds:
            yield f"type:{command.name}", [command.name, "--type", ""]


def shell_quote(word):
    return "'" + word.replace("'", "'\\''") + "'"


def bash_completions(path, commands):
    script = ["source /usr/share/bash-completion/bash_completion 2>/dev/null || true",
              f"source {shell_quote(path)}"]
    for key, typed in cases(commands):
        line = " ".join(["norvale-cli"] + typed)
        script += [f"COMP_WORDS=(norvale-cli {' '.join(shell_quote(w) for w in typed)})",
                   f"COMP_CWORD={len(typed)} COMP_LINE={shell_quote(line)} "
                   f"COMP_POINT={len(line)} COMPREPLY=()",
                   "_norvale_cli", f"echo {shell_quote('@@ ' + key)}",
                   "printf '%s\\n' \"${COMPREPLY[@]}\""]
    return completions(run(["bash", "--norc", "--noprofile", "-c", "\n".join(script)]))


def zsh_completions(path, commands):
    """Option definitions per command as _arguments receives them, and the commands."""
    script = [f"fpath=({shell_quote(os.path.dirname(os.path.abspath(path)))} $fpath)",
              "autoload -Uz _norvale-cli",
              "_arguments() { print -rl -- \"$@\" }",
              "_describe() { print -rl -- ${(P)${@[-1]}} }",
              "words=(norvale-cli ''); CURRENT=2; print -r -- '@@ options:'; _norvale-cli",
              "print -r -- '@@ commands'; _norvale_cli_commands"]
    for command in commands:
        script += [f"words=(norvale-cli {command.name} ''); CURRENT=3",
                   f"print -r -- '@@ options:{command.name}'; _norvale-cli"]
    found = completions(run(["zsh", "-f", "-c", "\n".join(script)]))
    found["commands"] = [entry.split(":", 1)[0] for entry in found.get("commands", [])]
    definitions = {}
    for key in [k for k in found if k.startswith("options:")]:
        names = []
        for definition in found[key]:
            m = re.match(r"^(?:\([^)]*\))?\*?(-{1,2}[A-Za-z0-9][A-Za-z0-9-]*)", definition)
            if m:
                names.append(m.group(1))
                definitions[(key[len("options:"):], m.group(1))] = definition
        found[key] = names
    for command in commands:
        for option, values in (("--mode", command.modes), ("--type", command.kinds)):
            if values:
                key = f"{option[2:]}:{command.name}"
                found[key] = words(definitions.get((command.name, option), ""))
    return found


def check_completion(what, found, top, commands, problems):
    def expect(key, names, label):
        missing = [n for n in names if n not in found.get(key, [])]
        for name in missing:
            problems.append(f"{what}: {label}{name} is not completed")

    expect("commands", [c.name for c in commands], "the command ")
    expect("options:", top.options, "the option ")
    for command in commands:
        expect(f"options:{command.name}", command.options, f"{command.name} ")
        expect(f"mode:{command.name}", command.modes, f"{command.name} --mode ")
        expect(f"type:{command.name}", command.kinds, f"{command.name} --type ")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--man", required=True)
    parser.add_argument("--bash", required=True)
    parser.add_argument("--zsh", required=True)
    parser.add_argument("--desktop-man")
    args = parser.parse_args()

    version, top, commands = read_program(args.cli)
    if not commands:
        print(f"{args.cli} --help lists no commands")
        return 1
    problems = []
    check_manual(ManualPage(args.man), version, top, commands, problems)
    if args.desktop_man:
        check_desktop_manual(ManualPage(args.desktop_man), version, problems)
    check_completion("bash completion", bash_completions(args.bash, commands), top, commands,
                     problems)
    if shutil.which("zsh"):
        check_completion("zsh completion", zsh_completions(args.zsh, commands), top, commands,
                         problems)
    else:
        print("zsh not found: the zsh completion is not checked")
    for problem in problems:
        print(problem)
    checked = sum(len(c.options) + len(c.modes) + len(c.kinds) for c in commands)
    if problems:
        print(f"documentation check failed: {len(problems)} problem(s)")
        return 1
    print(f"{len(commands)} commands and {checked} options and values of {version} are "
          f"described and completed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
