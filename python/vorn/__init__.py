"""The `vorn` command: run, inspect and convert OpenQASM files from the shell.

A thin layer over `vorn_python`; `vorn --help` lists the subcommands.
"""
