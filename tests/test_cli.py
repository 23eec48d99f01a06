"""The tag tool's command line: each command's module declares the command's
arguments and is loaded only when that command runs; every command's help,
and every option of it reachable from the help and the completion scripts."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from tagtool import cli, main

pytestmark = pytest.mark.filterwarnings("error")

ROOT = Path(__file__).resolve().parents[1]


def whole_parser():
    """The tool's parser with every command's arguments declared, as
    completion makes it: (parser, its Commands)."""
    parser = cli.build_parser()
    commands = cli.commands_of(parser)
    for module, _ in cli.COMMANDS.values():
        commands.load(module)
    return parser, commands


@pytest.mark.parametrize("name", cli.COMMANDS)
def test_each_command_is_declared_by_its_module(capsys, name):
    # The help that the command line gives, loading the command's module
    # alone, is the help of the whole parser, and names every option.
    _, commands = whole_parser()
    parser = commands.choices[name]
    module = cli.COMMANDS[name][0]
    assert parser.get_default("run").__module__ == f"tagtool.{module}"
    assert main([name, "--help"]) == 0
    help = capsys.readouterr().out
    assert help == parser.format_help()
    assert help.startswith(f"usage: tagtool {name} ") and f"\n\nexample:\n  tagtool {name}" in help
    options = [option for action in parser._actions for option in action.option_strings]
    assert options and all(option in help for option in options)


@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_completion_covers_every_command(capsys, shell):
    assert main(["--print-completion", shell]) == 0
    script = capsys.readouterr().out
    _, commands = whole_parser()
    for name, parser in commands.choices.items():
        for action in parser._actions:
            assert all(option in script for option in action.option_strings), (name, action)
    if shell == "bash":
        # Files and folders complete as such, whichever module declares them.
        for name in ("_shtab_tagtool_export___into_COMPGEN=_shtab_compgen_files",
                     "_shtab_tagtool_zones_pos_2_COMPGEN=_shtab_compgen_files",
                     "_shtab_tagtool_map___style_COMPGEN=_shtab_compgen_files",
                     "_shtab_tagtool___data_dir_COMPGEN=_shtab_compgen_dirs"):
            assert name in script


@pytest.mark.parametrize("name", cli.COMMANDS)
def test_a_command_loads_no_other_command_module(tmp_path, name):
    # Starting, the tool loads no command's module; running a command, none
    # but its own and what that imports.
    module = cli.COMMANDS[name][0]
    code = ("import sys, tagtool.cli as cli\n"
            "modules = {'tagtool.' + m for m, _ in cli.COMMANDS.values()}\n"
            "print(sorted(modules & set(sys.modules)), file=sys.stderr)\n"
            f"import tagtool.{module}\n"
            "before = set(sys.modules)\n"
            f"cli.main([{name!r}, '--help'])\n"
            "print(sorted(m for m in set(sys.modules) - before if m.startswith(('tagtool', 'api'))),"
            " file=sys.stderr)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(ROOT)))
    assert done.stderr == "[]\n[]\n"
