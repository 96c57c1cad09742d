#!/usr/bin/env python3
"""Manual page and shell completions of one of our programs, made from the
program's own --help (the help its option parser prints), so that they follow
every change of its options and subcommands.

  cli-docs.py PROGRAM NAME VERSION SUMMARY OUTDIR

writes OUTDIR/man1/NAME.1 (through help2man), OUTDIR/bash-completion/NAME
and OUTDIR/zsh/_NAME.
"""

import os
import re
import subprocess
import sys
import tempfile

# "  -p, --port <port number>   text", "  --server TEXT   text", "  module   text"
ENTRY = re.compile(r"^ {2}(\S.*?)(?: {2,}(.*))?$")
SECTION = re.compile(r"^(\w[\w ]*):\s*$")
OPTION_NAME = re.compile(r"^--?[A-Za-z][\w-]*$")


def help_text(program, path):
    run = subprocess.run([program, *path, "--help"], capture_output=True, text=True, check=False)
    if run.returncode != 0 or not run.stdout:
        sys.exit(f"cli-docs: {program} {' '.join(path)} --help failed ({run.returncode}): {run.stderr}")
    return run.stdout


def parse(text):
    """Options (name -> takes an argument) and subcommands of one help text."""
    options, commands, section = {}, [], None
    for line in text.splitlines():
        heading = SECTION.match(line)
        if heading:
            section = heading.group(1)
            continue
        entry = ENTRY.match(line)
        if not entry or not section:
            continue
        first = entry.group(1).strip()
        if section == "Options" and first.startswith("-"):
            tokens = [t.strip(",") for t in re.split(r"[\s,]+", first) if t.strip(",")]
            names = [t for t in tokens if OPTION_NAME.match(t)]
            takes_argument = len(tokens) > len(names)
            for name in names:
                options[name] = takes_argument
        elif section == "Subcommands":
            commands.append(first.split()[0])
    return options, commands


def walk(program, path=()):
    """Every command path with its help text, options and subcommands."""
    text = help_text(program, list(path))
    options, commands = parse(text)
    yield path, text, options, commands
    for command in commands:
        yield from walk(program, (*path, command))


def case_table(tree):
    lines = []
    for path, _, options, commands in tree:
        words = " ".join([*commands, *sorted(options)])
        lines.append(f'        "{" ".join(path)}") REPLY="{words}" ;;')
    return "\n".join(lines)


def argument_options(tree):
    names = sorted({name for _, _, options, _ in tree for name, takes in options.items() if takes})
    return " ".join(names)


# Shared by both shells: the command path typed so far (option arguments
# skipped), then the words that may follow it.
WALKER = """\
_{fn}_words() {{
    case "$1" in
{table}
        *) REPLY="" ;;
    esac
}}

# The deepest command path among words 2..(current - 1); sets REPLY_PATH.
_{fn}_path() {{
    local typed="" word skip=0
    for word in "$@"; do
        if (( skip )); then skip=0; continue; fi
        case " {argopts} " in *" $word "*) skip=1; continue ;; esac
        [[ $word == -* ]] && continue
        _{fn}_words "$typed"
        case " $REPLY " in *" $word "*) typed="${{typed:+$typed }}$word" ;; esac
    done
    REPLY_PATH=$typed
}}
"""

BASH = """\
# bash completion for {name}; generated from `{name} --help` at build time.
{walker}
_{fn}() {{
    local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD-1]}} REPLY REPLY_PATH
    case " {argopts} " in *" $prev "*) COMPREPLY=($(compgen -f -- "$cur")); return ;; esac
    _{fn}_path "${{COMP_WORDS[@]:1:COMP_CWORD-1}}"
    _{fn}_words "$REPLY_PATH"
    COMPREPLY=($(compgen -W "$REPLY" -- "$cur"))
    [[ ${{#COMPREPLY[@]}} -eq 0 && $cur != -* ]] && COMPREPLY=($(compgen -f -- "$cur"))
}}
complete -F _{fn} {name}
"""

ZSH = """\
#compdef {name}
# zsh completion for {name}; generated from `{name} --help` at build time.
{walker}
_{fn}() {{
    local REPLY REPLY_PATH prev=${{words[CURRENT-1]}}
    case " {argopts} " in *" $prev "*) _files; return ;; esac
    _{fn}_path "${{(@)words[2,CURRENT-1]}}"
    _{fn}_words "$REPLY_PATH"
    local -a candidates
    candidates=(${{=REPLY}})
    compadd -a candidates || _files
}}

_{fn} "$@"
"""


def man_include(tree):
    """The help of every subcommand, for a COMMANDS section of the manual page."""
    parts = []
    for path, text, _, _ in tree[1:]:
        lines = (line.replace("\\", "\\e") for line in text.splitlines())
        body = "\n".join(("\\&" + line) if line.startswith((".", "'")) else line for line in lines)
        parts.append(f".SS \"{' '.join(path)}\"\n.nf\n{body}\n.fi")
    return "[COMMANDS]\n" + "\n".join(parts) + "\n" if parts else ""


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    os.chmod(path, mode)


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    program, name, version, summary, outdir = sys.argv[1:]
    tree = list(walk(program))
    fn = re.sub(r"\W", "_", name)
    fields = dict(name=name, fn=fn, argopts=argument_options(tree))
    walker = WALKER.format(table=case_table(tree), **fields)
    write(os.path.join(outdir, "bash-completion", name), BASH.format(walker=walker, **fields))
    write(os.path.join(outdir, "zsh", "_" + name), ZSH.format(walker=walker, **fields))

    man = os.path.join(outdir, "man1", name + ".1")
    os.makedirs(os.path.dirname(man), exist_ok=True)
    command = ["help2man", "--no-info", f"--version-string={version}", f"--name={summary}", f"--output={man}"]
    include = man_include(tree)
    with tempfile.NamedTemporaryFile("w", suffix=".h2m") as extra:
        if include:
            extra.write(include)
            extra.flush()
            command.append(f"--include={extra.name}")
        subprocess.run([*command, program], check=True)

if __name__ == "__main__":
    main()
